// The parts of a binary workbook (.xlsb) that hold no cells: the workbook
// part (sheet names, their relationship ids, the date system), the shared
// string table and the styles' number formats, read from their records.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sheetscan/package/package.hpp"

namespace sheetscan {

struct BinarySheetEntry {
  std::string name;
  std::string relationship_id;
};

bool read_binary_workbook(const ZipArchive& archive, const std::string& part,
                          std::vector<BinarySheetEntry>* sheets, bool* date1904);

// Calls entry(text) for each string of the table, in order; stops when it returns false.
bool read_binary_strings(const ZipArchive& archive, const std::string& part,
                         const std::function<bool(const std::string&)>& entry);

bool read_binary_number_formats(const ZipArchive& archive, const std::string& part,
                                NumberFormats* formats);

}  // namespace sheetscan
