#include "function_table.hpp"

#include "bodies.hpp"

namespace xt {

DefaultConstants default_constants{};

namespace {

// `None` has a fixed address, so a default of None can be given statically.
PyObject* const none_default = Py_None;

constexpr const char* parse_cell_locals[] = {"cell_str", "match"};
constexpr const char* read_excel_locals[] = {
    "file_path", "cell_mapping", "cols", "rows", "names", "name", "cell",
    "col", "row", "start_row", "skip_rows", "use_cols", "df", "e"};
constexpr const char* col_str_locals[] = {"col_str", "idx", "char"};
constexpr const char* read_csv_locals[] = {
    "file_path", "cell_mapping", "df_raw", "encodings", "enc", "e", "result_dict",
    "name", "cell", "col_str", "row_num", "col_idx", "start_idx", "result_df"};
// `k` stands twice: two comprehensions each have their own loop variable.
constexpr const char* merge_locals[] = {
    "df_left", "df_right", "str_keys", "num_keys", "how", "suffixes", "merge_keys", "df_l",
    "df_r", "key", "missing_l", "missing_r", "result_df", "k", "k"};
constexpr const char* format_locals[] = {
    "worksheet", "header_font", "header_fill", "cell_font", "center_aligned", "thin_border",
    "row_idx", "row", "cell", "col", "max_length", "col_letter"};
constexpr const char* write_locals[] = {
    "file_path", "sheets_data", "auto_format", "writer", "sheet_name", "data", "item", "df", "e"};

template <std::size_t N>
constexpr std::size_t count_of(const char* const (&)[N])
{
    return N;
}

constexpr ParamSpec required(const char* name, ArgCheck check, const char* annotation)
{
    return ParamSpec{name, check, nullptr, annotation};
}

constexpr ParamSpec optional(const char* name, ArgCheck check, PyObject* const* value,
                             const char* annotation)
{
    return ParamSpec{name, check, value, annotation};
}

PyObject* const true_default = Py_True;

}  // namespace

bool make_default_constants() noexcept
{
    if (default_constants.suffixes != nullptr) {
        return true;
    }
    PyObject* inner = PyUnicode_InternFromString("inner");
    PyObject* suffixes = inner ? Py_BuildValue("(ss)", "_x", "_y") : nullptr;
    if (suffixes == nullptr) {
        Py_XDECREF(inner);
        return false;
    }
    default_constants = DefaultConstants{inner, suffixes};
    return true;
}

const std::array<FunctionSpec, function_count> function_table = {{
    {
        .name = "parse_cell",
        .qualified_name = "vorlatek.excelTools.parse_cell",
        .first_line = 11,
        .doc = "\n    解析 Excel 儲存格，例如 'F3' -> ('F', 3)\n    ",
        .param_count = 1,
        .required_count = 1,
        .params = {{required("cell_str", ArgCheck::any, nullptr)}},
        .return_annotation = nullptr,
        .locals = parse_cell_locals,
        .local_count = count_of(parse_cell_locals),
        .body = parse_cell_body,
    },
    {
        .name = "read_excel_by_cells",
        .qualified_name = "vorlatek.excelTools.read_excel_by_cells",
        .first_line = 20,
        .doc = "\n    依照指定的 cell 位置讀取 Excel 檔案，並給予對應的欄位名稱。\n    ",
        .param_count = 2,
        .required_count = 2,
        .params = {{required("file_path", ArgCheck::exact_str, "str"),
                    required("cell_mapping", ArgCheck::exact_dict, "dict")}},
        .return_annotation = "pd.DataFrame",
        .locals = read_excel_locals,
        .local_count = count_of(read_excel_locals),
        .body = read_excel_by_cells_body,
    },
    {
        .name = "col_str_to_index",
        .qualified_name = "vorlatek.excelTools.col_str_to_index",
        .first_line = 64,
        .doc = "\n    將 Excel 欄位英文字母轉為 Index (A=0, B=1, Z=25, AA=26)\n    ",
        .param_count = 1,
        .required_count = 1,
        .params = {{required("col_str", ArgCheck::exact_str, "str")}},
        .return_annotation = "int",
        .locals = col_str_locals,
        .local_count = count_of(col_str_locals),
        .body = col_str_to_index_body,
    },
    {
        .name = "read_csv_by_cells",
        .qualified_name = "vorlatek.excelTools.read_csv_by_cells",
        .first_line = 75,
        .doc = "\n    依照指定的 cell 位置讀取 CSV 檔案，並給予對應的欄位名稱。\n"
               "    (不依賴 title 列，直接依照絕對的欄與列來切割資料)\n    ",
        .param_count = 2,
        .required_count = 2,
        .params = {{required("file_path", ArgCheck::exact_str, "str"),
                    required("cell_mapping", ArgCheck::exact_dict, "dict")}},
        .return_annotation = "pd.DataFrame",
        .locals = read_csv_locals,
        .local_count = count_of(read_csv_locals),
        .body = read_csv_by_cells_body,
    },
    {
        .name = "merge_exact_match",
        .qualified_name = "vorlatek.excelTools.merge_exact_match",
        .first_line = 129,
        .doc = "\n    將兩個 DataFrame 進行合併，並自動處理「多對多」造成的笛卡兒積問題（強制轉為一對一配對）。\n"
               "    \n"
               "    :param df_left: 左表 (例如 System Data)\n"
               "    :param df_right: 右表 (例如 Customer Data)\n"
               "    :param str_keys: 需作為比對條件的字串欄位列表 (會自動轉字串並去空白)\n"
               "    :param num_keys: 需作為比對條件的數值欄位列表 (會自動轉數值)\n"
               "    :param how: 合併方式 (inner, left, right, outer)\n"
               "    :param suffixes: 重複欄位的後綴名稱\n"
               "    :return: 合併後的 DataFrame\n    ",
        .param_count = 6,
        .required_count = 2,
        .params = {{required("df_left", ArgCheck::any, "pd.DataFrame"),
                    required("df_right", ArgCheck::any, "pd.DataFrame"),
                    optional("str_keys", ArgCheck::list_or_none, &none_default, "list"),
                    optional("num_keys", ArgCheck::list_or_none, &none_default, "list"),
                    optional("how", ArgCheck::exact_str, &default_constants.inner, "str"),
                    optional("suffixes", ArgCheck::exact_tuple, &default_constants.suffixes,
                             "tuple")}},
        .return_annotation = "pd.DataFrame",
        .locals = merge_locals,
        .local_count = count_of(merge_locals),
        .body = merge_exact_match_body,
    },
    {
        .name = "format_excel_sheet",
        .qualified_name = "vorlatek.excelTools.format_excel_sheet",
        .first_line = 203,
        .doc = "\n    設定 Excel 工作表的字型、顏色、框線與自動調整欄寬\n"
               "    \n"
               "    :param worksheet: openpyxl 的 worksheet 物件\n    ",
        .param_count = 1,
        .required_count = 1,
        .params = {{required("worksheet", ArgCheck::any, nullptr)}},
        .return_annotation = nullptr,
        .locals = format_locals,
        .local_count = count_of(format_locals),
        .body = format_excel_sheet_body,
    },
    {
        .name = "write_formatted_excel",
        .qualified_name = "vorlatek.excelTools.write_formatted_excel",
        .first_line = 247,
        .doc = "\n    通用的 Excel 寫入工具，支援多 Sheet 輸出、同 Sheet 多個 DataFrame（並排顯示）以及自動美化。\n"
               "    \n"
               "    :param file_path: 輸出的 Excel 檔案路徑\n"
               "    :param sheets_data: 字典格式，定義要寫入的資料。\n"
               "        - Key: Sheet 名稱 (str)\n"
               "        - Value: \n"
               "            - 單一 pd.DataFrame (最簡單用法)\n"
               "            - 或 List[dict] (進階用法，用於同一個 Sheet 寫入多張表，例如:\n"
               "              [{\"df\": df1, \"startcol\": 0, \"index\": False}, \n"
               "               {\"df\": df2, \"startcol\": 5, \"index\": True}])\n"
               "    :param auto_format: 是否自動套用 format_excel_sheet 進行美化\n"
               "    :return: 是否成功寫入\n    ",
        .param_count = 3,
        .required_count = 2,
        .params = {{required("file_path", ArgCheck::exact_str, "str"),
                    required("sheets_data", ArgCheck::exact_dict, "dict"),
                    optional("auto_format", ArgCheck::truth, &true_default, "bool")}},
        .return_annotation = "bool",
        .locals = write_locals,
        .local_count = count_of(write_locals),
        .body = write_formatted_excel_body,
    },
}};

}  // namespace xt
