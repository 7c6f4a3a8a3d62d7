// The parts of a workbook package that say where everything is: the package
// relationships lead to the workbook part, whose relationships lead to the
// worksheets, the shared strings and the styles; the workbook part gives the
// sheets' names and order and the date system; the styles give each cell
// format's number format.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sheetscan/zip/zip_archive.hpp"

namespace sheetscan {

struct SheetPart {
  std::string name;
  std::string part;  // member name in the archive
};

struct Package {
  bool binary = false;                // a binary workbook (.xlsb): parts of records, not XML
  std::string main_namespace;         // of SpreadsheetML: transitional or strict
  std::vector<SheetPart> worksheets;  // in workbook order; chart sheets left out
  bool date1904 = false;
  std::string shared_strings_part;  // empty when the workbook has none
  std::string styles_part;          // empty when the workbook has none
};

bool read_package(const ZipArchive& archive, Package* package);

struct NumberFormats {
  std::vector<long> style_format_ids;  // numFmtId of each cell format (cellXfs), in order
  std::vector<std::pair<long, std::string>> custom;  // numFmtId and format code, in file order
};

bool read_number_formats(const ZipArchive& archive, const Package& package, NumberFormats* formats);

}  // namespace sheetscan
