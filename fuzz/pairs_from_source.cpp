// Compiled once per source type, with TOLVANE_FUZZ_SOURCE_INDEX set to its
// index, so that the 121 pairs build in parallel.
#include "pair_checks.hpp"

template void tolvane::fuzz::fuzz_from_source<TOLVANE_FUZZ_SOURCE_INDEX>(size_t, ByteReader&);
