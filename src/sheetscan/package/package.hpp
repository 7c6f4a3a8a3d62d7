// The parts of a workbook package that say where everything is: the package
// relationships lead to the workbook part, whose relationships lead to the
// worksheets, the shared strings and the styles; the workbook part gives the
// sheets' names and order and the date system.
#pragma once

#include "sheetscan/zip/zip_archive.hpp"

#include <string>
#include <vector>

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

}  // namespace sheetscan
