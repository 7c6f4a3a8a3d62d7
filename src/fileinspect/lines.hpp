// The source lines that traceback entries name, one constant per step,
// grouped per function in the order of the steps.
//
// The module's source is `veltrane/corvalest/datareader/fileInspect`; an
// exception that leaves a function carries an entry for the line of the
// statement that failed, so each step that can fail is tied to one line here.
#pragma once

namespace fileinspect {

enum class Function { init, getfiletype, getDataFileRanges, inspectFile };

// A place in the module's source: the function and the line.
struct Line {
  Function function;
  int number;
};

// The module body, run at the first import.
namespace init_line {
constexpr Line setup{Function::init, 1};  // module object, sys.modules, built-ins
constexpr Line import_os{Function::init, 25};
constexpr Line magic_failed{Function::init, 30};  // KOmagic = True
constexpr Line import_excelsource{Function::init, 31};
constexpr Line import_excelutils{Function::init, 32};
constexpr Line def_getfiletype{Function::init, 34};
constexpr Line def_getDataFileRanges{Function::init, 72};
constexpr Line def_inspectFile{Function::init, 82};
}  // namespace init_line

// getfiletype(filename)
namespace getfiletype_line {
constexpr Function f = Function::getfiletype;
constexpr Line test_KOmagic{f, 36};
constexpr Line mime_type{f, 44};  // res = magic.from_file(filename, True)
constexpr Line split_mime{f, 45};
constexpr Line test_text_plain{f, 46};
constexpr Line open_file{f, 47};  // with open(filename, "r") as f
constexpr Line read_l1{f, 48};
constexpr Line read_l2{f, 49};
// Both lines split at a separator and their field counts compared.
struct FieldSplit {
  Line split_l1, split_l2, compare_counts;
};
constexpr FieldSplit semicolon_split{{f, 50}, {f, 51}, {f, 52}};
constexpr FieldSplit tab_split{{f, 54}, {f, 55}, {f, 56}};
constexpr Line test_application{f, 58};
constexpr Line split_subtype{f, 59};
constexpr Line test_vnd{f, 60};
constexpr Line test_ms_excel{f, 61};
constexpr Line test_openxml{f, 63};
}  // namespace getfiletype_line

// getDataFileRanges(filename, ftype="")
namespace ranges_line {
constexpr Function f = Function::getDataFileRanges;
constexpr Line bind{f, 72};
constexpr Line test_ftype{f, 73};
constexpr Line detect{f, 74};
constexpr Line test_delimited{f, 75};
constexpr Line new_list{f, 76};
constexpr Line test_workbook{f, 77};
constexpr Line getranges{f, 78};
}  // namespace ranges_line

// inspectFile(filename, ftype="", arange="", forceTitles=False)
namespace inspect_line {
constexpr Function f = Function::inspectFile;
constexpr Line bind{f, 82};
constexpr Line import_csv{f, 83};
constexpr Line new_titles{f, 85};
constexpr Line test_ftype{f, 86};
constexpr Line detect{f, 87};
constexpr Line test_unknown{f, 88};
constexpr Line print_debug{f, 89};
constexpr Line test_delimited{f, 92};  // ftype in simpleRangeType
// The delimited-text branch; the with-block's own line stands for opening,
// entering and leaving it.
constexpr Line with_open{f, 96};
constexpr Line read_sample{f, 97};
constexpr Line rewind{f, 98};
constexpr Line has_header{f, 99};
constexpr Line sniff{f, 100};
constexpr Line test_delimiter{f, 101};
constexpr Line new_reader{f, 105};
constexpr Line row_loop{f, 106};
constexpr Line test_title_row{f, 107};
constexpr Line test_row{f, 109};
constexpr Line test_title_first{f, 112};
// The workbook branch.
constexpr Line test_workbook{f, 114};
constexpr Line test_arange{f, 115};
constexpr Line analyse_range{f, 116};
constexpr Line list_ranges{f, 118};
constexpr Line new_lst{f, 120};
constexpr Line range_loop{f, 121};
constexpr Line nested_inspect{f, 122};
constexpr Line replace_item{f, 123};
constexpr Line append_entry{f, 124};
constexpr Line workbook_result{f, 125};
// The inspection result of every other path.
constexpr Line result{f, 127};
}  // namespace inspect_line

}  // namespace fileinspect
