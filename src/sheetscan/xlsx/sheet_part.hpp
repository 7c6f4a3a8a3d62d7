// One streaming pass over an XML worksheet part, giving its rows as
// rows/cell.hpp describes them. A cell is empty when it has no value, an
// empty value, an empty (shared or inline) string, or a formula without a
// cached value. What openpyxl would reject (values that do not convert, a
// shared string index out of range) is refused; so are rows beyond
// XFD1048576 and layouts that openpyxl reads in ways this pass does not
// reproduce (cells out of column order, ISO dates, unusual number
// spellings), which the caller then leaves to openpyxl.
#pragma once

#include "sheetscan/zip/zip_archive.hpp"

#include <string>

#include "sheetscan/package/shared_strings.hpp"
#include "sheetscan/rows/cell.hpp"

namespace sheetscan {
namespace xlsx {

bool scan_sheet(const ZipArchive& archive, const std::string& part, const std::string& sheet_name,
                const std::string& main_namespace, const SharedStrings& strings, RowSink* sink);

}  // namespace xlsx
}  // namespace sheetscan
