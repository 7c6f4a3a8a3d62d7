// The parts of an XML workbook (.xlsx, .xlsm, transitional or strict) that
// hold no cells: the workbook part, the styles' number formats and the shared
// string table.
#pragma once

#include "sheetscan/zip/zip_archive.hpp"

#include <string>

#include "sheetscan/package/part_contents.hpp"

namespace sheetscan {
namespace xlsx {

// Refuses a workbook part that is not SpreadsheetML.
bool read_workbook(const ZipArchive& archive, const std::string& part, WorkbookContents* workbook);

bool read_number_formats(const ZipArchive& archive, const std::string& part,
                         NumberFormats* formats);

// Leaves to openpyxl (Unreadable, false) a part whose root element is in
// another namespace than the workbook part's: openpyxl reads each part in
// the namespace it finds there, the scanner in the workbook's.
bool other_namespace(ScanContext& context);

// Visits each entry of the table, its text as openpyxl reads it.
bool read_strings(const ZipArchive& archive, const std::string& part,
                  const std::string& main_namespace, const StringVisitor& visit);

}  // namespace xlsx
}  // namespace sheetscan
