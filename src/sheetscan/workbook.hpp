// One workbook as a call of the scanner reads it: the archive, what its
// package says, and what the scan needs of its shared strings.
#pragma once

#include "sheetscan/scan_context.hpp"

#include "sheetscan/area_scan.hpp"
#include "sheetscan/package/package.hpp"
#include "sheetscan/package/part_contents.hpp"
#include "sheetscan/package/shared_strings.hpp"
#include "sheetscan/zip/zip_archive.hpp"

namespace sheetscan {

struct Workbook {
  explicit Workbook(ScanContext& context) : archive(context) {}

  // Reads the archive in the open file `fd` and its package.
  bool open(int fd);
  bool read_shared_strings();
  // One pass over `sheet`, its rows handed to `sink`.
  bool scan(const SheetPart& sheet, RowSink* sink) const;
  bool read_number_formats(NumberFormats* formats) const;
  // The texts of the shared strings that the first rows of `scan` use.
  bool shared_texts(const AreaScan& scan, SharedTexts* texts) const;
  // After a failure: a refusal that would hand the file to another reader
  // becomes final when the archive declares more than that reader may read.
  void keep_fallback_within_budget() const;

  ZipArchive archive;
  Package package;
  SharedStrings strings;
};

}  // namespace sheetscan
