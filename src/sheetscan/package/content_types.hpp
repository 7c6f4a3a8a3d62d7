// The parts that the package's content types ("[Content_Types].xml") name,
// as openpyxl finds them there: the workbook part (the first override of the
// template, macro-enabled and plain workbook types, in that order, else
// "xl/workbook.xml" when a default gives a workbook type) and the shared
// strings (the first override of their type). The scanner finds the same
// parts through relationships; where the two disagree, openpyxl's answer
// would differ from the scanner's.
#pragma once

#include "sheetscan/zip/zip_archive.hpp"

#include <string>

namespace sheetscan {

struct ContentTypes {
  bool present = false;             // the archive holds the part
  std::string workbook_part;        // a member name; empty when none is named
  std::string shared_strings_part;  // a member name; empty when none is named
};

bool read_content_types(const ZipArchive& archive, ContentTypes* types);

}  // namespace sheetscan
