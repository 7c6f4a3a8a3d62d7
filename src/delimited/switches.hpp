// The fast paths' switches and counters, in one struct: the private knobs
// module (knobs.cpp) sets the switches and reads the counters, so that the
// tests and the benchmarks can compare each fast path with the plain path and
// see which one ran. Nothing else sets them.
#pragma once

#include <cstddef>

namespace delimited {

struct Switches {
  // The native row count: on or off, its portable scanner even where SSE2
  // exists, and the bytes it reads at a time (0 for the default).
  bool count_natively = true;
  bool scalar_only = false;
  std::size_t block_size = 0;
  // The native sniff: on or off.
  bool sniff_natively = true;

  struct CountCounters {
    unsigned long long counted = 0;    // rows counted natively
    unsigned long long declined = 0;   // the reader or the file was not one the scanner reproduces
    unsigned long long fell_back = 0;  // the scan met something it does not reproduce
  } count;
  struct SniffCounters {
    unsigned long long native = 0;    // samples answered natively
    unsigned long long fallback = 0;  // samples left to the sniffer
  } sniff;
};

// For the life of the process; read and written with the interpreter lock held.
inline Switches switches;

}  // namespace delimited
