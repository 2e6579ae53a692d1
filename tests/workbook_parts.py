"""Workbooks assembled part by part, for the shapes no writer makes: sheets
listed in another order than their files, rows and cells without addresses,
inline and rich strings, odd number formats, a missing style part."""
import zipfile

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
RELS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PACKAGE = "http://schemas.openxmlformats.org/package/2006/relationships"
TYPES = "http://schemas.openxmlformats.org/package/2006/content-types"
SHEET_TYPES = "application/vnd.openxmlformats-officedocument.spreadsheetml"
DECLARATION = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'

# Cell styles by index (the `s` attribute): number format ids, built in
# (14 date, 22 date and time, 20 time, 45-47 minutes and durations, 10
# percent, 49 text, 31 and 57 the East Asian dates that have no built-in
# code) and custom ones from 164 on.
CUSTOM_FORMATS = {
    164: "yyyy-mm-dd",
    165: "[h]:mm:ss",
    166: 'yyyy"年"m"月"d"日"',
    167: '0 "days"',
    168: "[$-409]mmmm d, yyyy;@",
    169: "mm:ss.0",
    170: "[Red]#,##0.00",
    171: "\\d0",
    172: "General;[h]:mm",
    173: "[mm]:ss",
    174: "yyyy-mm-dd",  # the same code as 164 under another id
    175: "m/d/yy h:mm",  # a built-in code under a custom id
}
STYLE_FORMATS = [0, 14, 22, 20, 45, 46, 47, 10, 49, 31, 57, 164, 165, 166, 167, 168, 169, 170,
                 171, 172, 173, 174, 175]
STYLE = {fmt: index for index, fmt in enumerate(STYLE_FORMATS)}


def styles_xml(formats=STYLE_FORMATS, custom=CUSTOM_FORMATS):
    numfmts = "".join(f'<numFmt numFmtId="{k}" formatCode="{_attr(v)}"/>' for k, v in custom.items())
    xfs = "".join(f'<xf numFmtId="{f}" fontId="0" fillId="0" borderId="0" xfId="0"'
                  f'{" applyNumberFormat=" + chr(34) + "1" + chr(34) if f else ""}/>' for f in formats)
    return (DECLARATION + f'<styleSheet xmlns="{MAIN}">'
            f'<numFmts count="{len(custom)}">{numfmts}</numFmts>'
            '<fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
            '<fills count="2"><fill><patternFill patternType="none"/></fill>'
            '<fill><patternFill patternType="gray125"/></fill></fills>'
            '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>'
            '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
            f'<cellXfs count="{len(formats)}">{xfs}</cellXfs>'
            '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>'
            "</styleSheet>")


def _attr(text):
    return text.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;")


def text(value):
    return value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def sheet_xml(rows, dimension="", before="", after="", root=f'<worksheet xmlns="{MAIN}">',
              end="</worksheet>", data=("<sheetData>", "</sheetData>")):
    dim = f'<dimension ref="{dimension}"/>' if dimension else ""
    return DECLARATION + root + dim + before + data[0] + rows + data[1] + after + end


def strings_xml(items):
    """items: the inner XML of each <si>."""
    return (DECLARATION + f'<sst xmlns="{MAIN}" count="{len(items)}" uniqueCount="{len(items)}">'
            + "".join(f"<si>{item}</si>" for item in items) + "</sst>")


def package(sheets, strings=None, styles=None, workbook_pr="", extra=None):
    """The parts of a workbook. sheets: (name, part file name, XML, state)
    in workbook order; the XML None leaves the part out of the archive.
    strings: the shared-string part's XML (None: no such part); styles:
    the style part's XML (None: no such part)."""
    overrides = [f'<Override PartName="/xl/workbook.xml" ContentType="{SHEET_TYPES}.sheet.main+xml"/>']
    sheet_entries, rels, parts = [], [], {}
    for k, (name, file_name, xml, state) in enumerate(sheets, start=1):
        kind = "chartsheet" if file_name.startswith("chartsheets/") else "worksheet"
        overrides.append(f'<Override PartName="/xl/{file_name}" ContentType="{SHEET_TYPES}.{kind}+xml"/>')
        state_attr = f' state="{state}"' if state else ""
        sheet_entries.append(f'<sheet name="{name}" sheetId="{k}"{state_attr} r:id="rId{k}"/>')
        rels.append(f'<Relationship Id="rId{k}" Type="{RELS}/{kind}" Target="{file_name}"/>')
        if xml is not None:
            parts[f"xl/{file_name}"] = xml
    if strings is not None:
        overrides.append(f'<Override PartName="/xl/sharedStrings.xml" ContentType="{SHEET_TYPES}.sharedStrings+xml"/>')
        rels.append(f'<Relationship Id="rIdS" Type="{RELS}/sharedStrings" Target="sharedStrings.xml"/>')
        parts["xl/sharedStrings.xml"] = strings
    if styles is not None:
        overrides.append(f'<Override PartName="/xl/styles.xml" ContentType="{SHEET_TYPES}.styles+xml"/>')
        rels.append(f'<Relationship Id="rIdT" Type="{RELS}/styles" Target="styles.xml"/>')
        parts["xl/styles.xml"] = styles
    parts["[Content_Types].xml"] = (
        DECLARATION + f'<Types xmlns="{TYPES}">'
        '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
        '<Default Extension="xml" ContentType="application/xml"/>' + "".join(overrides) + "</Types>")
    parts["_rels/.rels"] = (
        DECLARATION + f'<Relationships xmlns="{PACKAGE}">'
        f'<Relationship Id="rId1" Type="{RELS}/officeDocument" Target="xl/workbook.xml"/></Relationships>')
    parts["xl/workbook.xml"] = (
        DECLARATION + f'<workbook xmlns="{MAIN}" xmlns:r="{RELS}">{workbook_pr}'
        f'<sheets>{"".join(sheet_entries)}</sheets></workbook>')
    parts["xl/_rels/workbook.xml.rels"] = (
        DECLARATION + f'<Relationships xmlns="{PACKAGE}">{"".join(rels)}</Relationships>')
    parts.update(extra or {})
    return parts


def save(path, parts):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, content in parts.items():
            archive.writestr(name, content)
    return str(path)
