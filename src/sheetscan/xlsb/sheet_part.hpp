// One streaming pass over a worksheet of a binary workbook (.xlsb), giving its
// rows as the XML pass gives those of an .xlsx (rows/cell.hpp): its row
// headers and cell records, numbers written out so that they read back as the
// same value, errors as their text, strings resolved or inline.
#pragma once

#include "sheetscan/zip/zip_archive.hpp"

#include <string>

#include "sheetscan/package/shared_strings.hpp"
#include "sheetscan/rows/cell.hpp"

namespace sheetscan {
namespace xlsb {

bool scan_sheet(const ZipArchive& archive, const std::string& part, const std::string& sheet_name,
                const SharedStrings& strings, RowSink* sink);

}  // namespace xlsb
}  // namespace sheetscan
