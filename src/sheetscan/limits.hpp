// How much of a workbook the scanner reads before it refuses the file. Every
// table whose size a file sets is checked against its limit as it grows, so
// that a small file cannot make a pass slow or large; a file beyond a limit
// raises Rejected (final), its message naming the limit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sheetscan {

// The size of a worksheet in the format: rows 1 to 1048576, columns A to XFD.
constexpr uint64_t kMaxRows = 1048576;
constexpr uint64_t kMaxColumns = 16384;
// Entries of the styles part (spreadsheet programs write at most 64,000 cell formats).
constexpr size_t kMaxCellFormats = 65536;
constexpr size_t kMaxNumberFormats = 65536;
// Entries of the shared string table.
constexpr size_t kMaxSharedStrings = size_t{1} << 24;
// Sheets of the workbook, relationships of one part, members of the archive.
constexpr size_t kMaxSheets = 32768;
constexpr size_t kMaxRelationships = 65536;
constexpr size_t kMaxParts = 65535;
// A cell's text holds at most 32,767 characters in the format: of any text
// (a value, an inline or shared string) at most that many characters' worth
// of UTF-8 is kept. A longer one is not judged on the part that was kept: a
// value whose text or spelling is needed is left to the other reader.
constexpr size_t kMaxTextBytes = 4 * 32767;
// The texts of the first rows that one scan hands over, all together.
constexpr size_t kMaxKeptTextBytes = size_t{32} << 20;
// The texts kept of the entries of one part: sheet names and relationship
// ids, relationships' types and targets, number format codes.
constexpr size_t kMaxEntryTextBytes = size_t{16} << 20;
// XML that reaches the parser without a single element or text coming out of
// it: expat holds a tag (with its attributes) or a comment whole, however long.
constexpr size_t kMaxXmlTokenBytes = size_t{16} << 20;
// A workbook that the scanner leaves to openpyxl is handed over only when the
// sizes its archive declares for its members add up to at most this: the
// other reader holds whole parts in memory and has no limits of its own.
constexpr uint64_t kMaxFallbackBytes = uint64_t{64} << 20;

}  // namespace sheetscan
