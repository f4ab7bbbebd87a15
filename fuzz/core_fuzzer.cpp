// Coverage-guided fuzzer of the conversion kernels (libFuzzer).
//
// An input decodes into a (source, target) pair of the eleven element types,
// a scalar map of up to five entries, a source buffer and the shape of the
// destination; the pair's kernel then runs under every rounding mode and
// out-of-range policy its family reads. Every kernel call is checked three ways:
//   - against the independent model in reference.hpp, element by element,
//     error included;
//   - with maps of one and of five entries that never match, which run the
//     mapped block loops, so that the whole-slice loops and vector paths
//     meet the loops they stand in for;
//   - the vector operations are also called directly, on buffers of exactly
//     n elements, with the written prefix their contract allows; they and
//     the kernel run once on every instruction set the processor offers.
// Destinations carry guard elements past n and source slices may be shorter
// than destination slices (or longer): nothing may be written past n.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "byte_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    using namespace tolvane::fuzz;
    ByteReader in(bytes, size);
    const size_t source_index = in.byte() % kElementTypeCount;
    const size_t target_index = in.byte() % kElementTypeCount;
    [&]<size_t... I>(std::index_sequence<I...>) {
        ((source_index == I ? (fuzz_from_source<I>(target_index, in), 0) : 0), ...);
    }(std::make_index_sequence<kElementTypeCount>{});
    return 0;
}
