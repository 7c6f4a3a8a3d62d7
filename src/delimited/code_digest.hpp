// A digest of what the interpreter runs of some code objects: their bytecode,
// exception table, argument counts and flags, constants (nested code objects
// included, digested alike) and names; not their line tables or file names.
// The same source compiled by the same compiler gives the same digest, on
// every platform; other code, almost surely, another one.
#pragma once

#include "base.hpp"

#include <cstdint>

namespace delimited {

// The digest of the code objects in the tuple `codes`, in their order: a
// 64-bit FNV-1a hash over a framed listing of each one's parts. False, with
// an error set, when a part cannot be read.
bool digest_of_codes(PyObject* codes, uint64_t& digest);

}  // namespace delimited
