// The fuzzer's input reader, and the entry points of the pair checks: one
// per source type, each compiled in a translation unit of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tolvane::fuzz {

// Reads the input from the front; an exhausted input reads as zeros.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t remaining() const { return size_ - position_; }
    uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    void read(void* out, size_t count) {
        const size_t take = std::min(count, remaining());
        std::memset(out, 0, count);
        if (take > 0) std::memcpy(out, data_ + position_, take);
        position_ += take;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

inline constexpr size_t kElementTypeCount = 11;

// Decodes the rest of the input for the source type of index SourceIndex
// and the target type of index target_index, and checks every kernel call.
template <size_t SourceIndex>
void fuzz_from_source(size_t target_index, ByteReader& in);

}  // namespace tolvane::fuzz
