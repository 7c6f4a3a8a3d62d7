// The Python objects that the module's functions return (see module.cpp).
#pragma once

#include "common/pyref.hpp"

#include <cstdint>
#include <string>

#include "sheetscan/area_scan.hpp"
#include "sheetscan/package/part_contents.hpp"
#include "sheetscan/package/shared_strings.hpp"

namespace sheetscan {

// (first row, first column, last row, last column) of the used cells that `scan` saw.
common::Ref used_area_object(const AreaScan& scan);

// (non-empty rows, first column, last column, first rows) of what `scan` saw;
// `shared` holds the texts of the shared strings its first rows use.
common::Ref analysis_object(const AreaScan& scan, const SharedTexts& shared);

// (date1904, number format id per cell format, [(custom id, code)]).
common::Ref styles_object(bool date1904, const NumberFormats& formats);

// A text of UTF-8 as a str.
common::Ref text_object(const std::string& text);

}  // namespace sheetscan
