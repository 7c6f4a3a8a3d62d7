// A 64-bit digest of a file's whole content, read in blocks through the
// descriptor: with the file's status it tells an unchanged file from one
// rewritten within a timestamp tick, so that excelsource can reuse the
// analysis of a workbook it has just read. The construction is XXH64's
// (seed 0), which reads several gigabytes a second.
#pragma once

#include "sheetscan/xls/problem.hpp"

#include <cstdint>

namespace sheetscan::xls {

bool file_digest(int fd, uint64_t* digest, Problem* problem);

}  // namespace sheetscan::xls
