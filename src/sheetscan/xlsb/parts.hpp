// The parts of a binary workbook (.xlsb) that hold no cells: the workbook
// part (sheet names, their relationship ids, the date system), the shared
// string table and the styles' number formats, read from their records.
#pragma once

#include "sheetscan/zip/zip_archive.hpp"

#include <string>

#include "sheetscan/package/part_contents.hpp"

namespace sheetscan {
namespace xlsb {

bool read_workbook(const ZipArchive& archive, const std::string& part, WorkbookContents* workbook);

bool read_number_formats(const ZipArchive& archive, const std::string& part,
                         NumberFormats* formats);

bool read_strings(const ZipArchive& archive, const std::string& part, const StringVisitor& visit);

}  // namespace xlsb
}  // namespace sheetscan
