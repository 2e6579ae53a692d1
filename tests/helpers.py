"""Shared helpers for the test modules."""
import gc
import sys
import traceback

import pandas as pd

MODULE_FILE = "vorlatek/excelTools"
LOGGER = "vorlatek.excelTools"


def module_entries(exc):
    """(name, line) of each traceback entry the module added to `exc`."""
    return [
        (frame.name, frame.lineno)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename == MODULE_FILE
    ]


def growing_parse_cell(mapping):
    """A parse_cell stand-in that adds an entry to the mapping it walks."""

    def fake(cell):
        mapping["added" + str(len(mapping))] = "A1"
        return ("A", 1)

    return fake


def allocation_growth(action, repeat=2000, warm_up=200):
    """Blocks gained over `repeat` calls after `warm_up` calls; the smaller of
    two rounds, so caches pandas fills on first use do not count, while a leak
    of even one block per call shows in both."""
    for _ in range(warm_up):
        action()
    growth = []
    for _ in range(2):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(repeat):
            action()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    return min(growth)


def records(caplog):
    out = []
    for record in caplog.records:
        if record.name == LOGGER:
            assert record.args == ()  # one finished text, no formatting arguments
            out.append((record.levelname, record.msg))
    return out


def table(df):
    """Index, column labels and values (missing values as None) of a frame."""
    return (
        list(df.index),
        list(df.columns),
        {c: [None if pd.isna(v) else v for v in df[c]] for c in df.columns},
    )


def assert_empty_result(df):
    assert type(df) is pd.DataFrame
    assert df.shape == (0, 0)


def our_entries(exc):
    return [
        (entry.filename, entry.name, entry.lineno)
        for entry in traceback.extract_tb(exc.__traceback__)
        if entry.filename == "vorlatek/excelTools"
    ]


# --- hand-written workbook files ------------------------------------------------

MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"


def sheet_xml(rows, before="", after="", root_attributes=""):
    """A worksheet part: `rows` is the sheetData content as written."""
    return (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            f'<worksheet xmlns="{MAIN_NS}" xmlns:r="{REL_NS}"{root_attributes}>{before}'
            f'<sheetData>{rows}</sheetData>{after}</worksheet>')


def write_raw_book(path, sheets, shared=None, styles=None, date1904=False, extra=None):
    """A workbook file written part by part, so that every byte of its XML is
    the test's choice. `sheets` are worksheet parts in workbook order,
    `shared` the sharedStrings part, `styles` the styles part (all as text or
    bytes); `extra` maps further member names to their content."""
    import zipfile
    overrides = ['<Override PartName="/xl/workbook.xml" ContentType="application/'
                 'vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>']
    rels, entries = [], []
    for k, _ in enumerate(sheets, 1):
        overrides.append(f'<Override PartName="/xl/worksheets/sheet{k}.xml" ContentType="application/'
                         f'vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>')
        rels.append(f'<Relationship Id="rId{k}" Type="{REL_NS}/worksheet" Target="worksheets/sheet{k}.xml"/>')
        entries.append(f'<sheet name="Sheet{k}" sheetId="{k}" r:id="rId{k}"/>')
    if shared is not None:
        overrides.append('<Override PartName="/xl/sharedStrings.xml" ContentType="application/'
                         'vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/>')
        rels.append(f'<Relationship Id="rIdS" Type="{REL_NS}/sharedStrings" Target="sharedStrings.xml"/>')
    if styles is not None:
        overrides.append('<Override PartName="/xl/styles.xml" ContentType="application/'
                         'vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"/>')
        rels.append(f'<Relationship Id="rIdT" Type="{REL_NS}/styles" Target="styles.xml"/>')
    pr = '<workbookPr date1904="1"/>' if date1904 else ""
    parts = {
        "[Content_Types].xml": '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.'
        'openxmlformats.org/package/2006/content-types"><Default Extension="rels" ContentType="application/'
        'vnd.openxmlformats-package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/>'
        + "".join(overrides) + "</Types>",
        "_rels/.rels": '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.'
        'openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.'
        'openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/>'
        "</Relationships>",
        "xl/workbook.xml": f'<?xml version="1.0" encoding="UTF-8"?><workbook xmlns="{MAIN_NS}" '
        f'xmlns:r="{REL_NS}">{pr}<sheets>{"".join(entries)}</sheets></workbook>',
        "xl/_rels/workbook.xml.rels": '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://'
        'schemas.openxmlformats.org/package/2006/relationships">' + "".join(rels) + "</Relationships>",
    }
    for k, sheet in enumerate(sheets, 1):
        parts[f"xl/worksheets/sheet{k}.xml"] = sheet
    if shared is not None:
        parts["xl/sharedStrings.xml"] = shared
    if styles is not None:
        parts["xl/styles.xml"] = styles
    parts.update(extra or {})
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, content in parts.items():
            archive.writestr(name, content)
    return path


def shared_xml(items):
    """A sharedStrings part of `si` contents written as given."""
    return (f'<?xml version="1.0" encoding="UTF-8"?><sst xmlns="{MAIN_NS}" count="{len(items)}">'
            + "".join(f"<si>{item}</si>" for item in items) + "</sst>")


def styles_xml(formats, custom=()):
    """A styles part whose cellXfs use the number formats `formats` (ids);
    `custom` are (id, code) pairs of numFmt entries."""
    fmts = "".join(f'<numFmt numFmtId="{i}" formatCode="{code}"/>' for i, code in custom)
    xfs = "".join(f'<xf numFmtId="{f}" fontId="0" fillId="0" borderId="0" xfId="0"/>' for f in formats)
    return (f'<?xml version="1.0" encoding="UTF-8"?><styleSheet xmlns="{MAIN_NS}">'
            f'<numFmts count="{len(custom)}">{fmts}</numFmts>'
            '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
            '<fills count="1"><fill><patternFill patternType="none"/></fill></fills>'
            '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>'
            '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
            f'<cellXfs count="{len(formats)}">{xfs}</cellXfs>'
            '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>'
            '</styleSheet>')
