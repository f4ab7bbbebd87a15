// Conversion speed against the memory-bandwidth limit: bytes moved per second
// (source plus destination bytes) of the kernels' commonest whole-slice
// conversions, next to memcpy of the source array's size timed in the same
// rounds, for source arrays of 1 MiB, 16 MiB and 256 MiB.
//
//   bandwidth [--sizes 1,16,256] [--rounds N] [--target none|sse4.1|avx2|advanced-simd]
//
// Each round times every row once (repeating a row within the round until it
// has run for at least 20 ms); a row's figure is its median over the rounds.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "float_to_float.hpp"
#include "float_to_int.hpp"
#include "int_to_float.hpp"
#include "int_to_int.hpp"
#include "simd/targets.hpp"

namespace tolvane {
namespace {

using Clock = std::chrono::steady_clock;

// Page-aligned, pre-faulted storage, so that no row pays for first touches.
template <class T>
class Buffer {
public:
    explicit Buffer(size_t count) : count_(count) {
        const size_t bytes = std::max<size_t>(count * sizeof(T), 1);
        data_ = static_cast<T*>(std::aligned_alloc(4096, (bytes + 4095) / 4096 * 4096));
        if (data_ == nullptr) {
            std::fprintf(stderr, "bandwidth: out of memory\n");
            std::exit(1);
        }
        std::memset(static_cast<void*>(data_), 0, bytes);
    }
    ~Buffer() { std::free(data_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    std::span<T> span() { return {data_, count_}; }
    std::span<const T> const_span() const { return {data_, count_}; }
    size_t bytes() const { return count_ * sizeof(T); }

private:
    T* data_;
    size_t count_;
};

struct Row {
    std::string name;
    bool fast_path;  // held to the 0.7-of-memcpy target
    size_t bytes_moved;
    std::function<bool()> run;  // false when the conversion failed
};

template <class S, class D>
struct Conversion {
    Buffer<S> src;
    Buffer<D> dst;
    explicit Conversion(size_t source_bytes)
        : src(source_bytes / sizeof(S)), dst(source_bytes / sizeof(S)) {}
};

// The source values: realistic data that never fails, so that every row
// converts the whole slice.
template <class S, class Draw>
void fill(std::span<S> values, Draw draw) {
    std::mt19937_64 rng(42);
    for (S& x : values) x = draw(rng);
}

double uniform(std::mt19937_64& rng, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

template <class S, class D>
Row conversion_row(std::string name, bool fast_path, size_t source_bytes, CastConfig<S, D> config,
                   std::function<S(std::mt19937_64&)> draw,
                   std::vector<std::shared_ptr<void>>& keep) {
    auto buffers = std::make_shared<Conversion<S, D>>(source_bytes);
    fill(buffers->src.span(), draw);
    keep.push_back(buffers);
    Row row{std::move(name), fast_path, buffers->src.bytes() + buffers->dst.bytes(), {}};
    row.run = [buffers, config = std::move(config)] {
        if constexpr (IntegerElement<S> && IntegerElement<D>) {
            return !convert_slice_int_to_int<S, D>(buffers->src.const_span(), buffers->dst.span(),
                                                   config);
        } else if constexpr (IntegerElement<S>) {
            return !convert_slice_int_to_float<S, D>(buffers->src.const_span(),
                                                     buffers->dst.span(), config);
        } else if constexpr (IntegerElement<D>) {
            return !convert_slice_float_to_int<S, D>(buffers->src.const_span(),
                                                     buffers->dst.span(), config);
        } else {
            return !convert_slice_float_to_float<S, D>(buffers->src.const_span(),
                                                       buffers->dst.span(), config);
        }
    };
    return row;
}

std::vector<Row> rows_for(size_t source_bytes, std::vector<std::shared_ptr<void>>& keep) {
    const RoundingMode nearest = RoundingMode::NearestEven;
    const OutOfRangePolicy clamp = OutOfRangeMode::Clamp;
    std::vector<Row> rows;

    auto copy = std::make_shared<std::pair<Buffer<char>, Buffer<char>>>(source_bytes, source_bytes);
    fill(copy->first.span(), [](std::mt19937_64& rng) { return static_cast<char>(rng()); });
    keep.push_back(copy);
    rows.push_back({"memcpy", false, 2 * source_bytes, [copy] {
                        std::memcpy(copy->second.span().data(), copy->first.span().data(),
                                    copy->first.bytes());
                        return true;
                    }});

    rows.push_back(conversion_row<float, uint8_t>(
        "float32 -> uint8 clamp", true, source_bytes, {{}, clamp, nearest},
        [](std::mt19937_64& rng) { return static_cast<float>(uniform(rng, -20.0, 275.0)); },
        keep));
    rows.push_back(conversion_row<double, uint8_t>(
        "float64 -> uint8 clamp", true, source_bytes, {{}, clamp, nearest},
        [](std::mt19937_64& rng) { return uniform(rng, -20.0, 275.0); }, keep));
    rows.push_back(conversion_row<double, int32_t>(
        "float64 -> int32 clamp", true, source_bytes, {{}, clamp, nearest},
        [](std::mt19937_64& rng) { return uniform(rng, -3e9, 3e9); }, keep));
    rows.push_back(conversion_row<double, int32_t>(
        "float64 -> int32 checked", true, source_bytes, {{}, std::nullopt, nearest},
        [](std::mt19937_64& rng) { return uniform(rng, -2e9, 2e9); }, keep));
    rows.push_back(conversion_row<double, float>(
        "float64 -> float32 nearest", true, source_bytes, {{}, std::nullopt, nearest},
        [](std::mt19937_64& rng) { return uniform(rng, -1e30, 1e30); }, keep));
    rows.push_back(conversion_row<int64_t, int32_t>(
        "int64 -> int32 clamp", false, source_bytes, {{}, clamp},
        [](std::mt19937_64& rng) { return static_cast<int64_t>(rng()) >> (rng() % 40); }, keep));
    rows.push_back(conversion_row<int64_t, int32_t>(
        "int64 -> int32 checked", true, source_bytes, {{}, std::nullopt},
        [](std::mt19937_64& rng) { return static_cast<int64_t>(static_cast<int32_t>(rng())); },
        keep));
    rows.push_back(conversion_row<int32_t, uint8_t>(
        "int32 -> uint8 wrap", false, source_bytes, {{}, OutOfRangeMode::Wrap},
        [](std::mt19937_64& rng) { return static_cast<int32_t>(rng()); }, keep));
    rows.push_back(conversion_row<int32_t, float>(
        "int32 -> float32 nearest", false, source_bytes, {{}, nearest},
        [](std::mt19937_64& rng) { return static_cast<int32_t>(rng()); }, keep));
    rows.push_back(conversion_row<float, float16>(
        "float32 -> float16 nearest", true, source_bytes, {{}, clamp, nearest},
        [](std::mt19937_64& rng) { return static_cast<float>(uniform(rng, -70000.0, 70000.0)); },
        keep));
    rows.push_back(conversion_row<float, float16>(
        "float32 -> float16 to zero", true, source_bytes,
        {{}, std::nullopt, RoundingMode::TowardsZero},
        [](std::mt19937_64& rng) { return static_cast<float>(uniform(rng, -70000.0, 70000.0)); },
        keep));
    rows.push_back(conversion_row<double, float16>(
        "float64 -> float16 checked", true, source_bytes, {{}, std::nullopt, nearest},
        [](std::mt19937_64& rng) { return uniform(rng, -60000.0, 60000.0); }, keep));
    rows.push_back(conversion_row<float16, float>(
        "float16 -> float32", true, source_bytes, {{}, clamp, nearest},
        [](std::mt19937_64& rng) {
            return float32_to_float16(static_cast<float>(uniform(rng, -6e4, 6e4)));
        },
        keep));
    return rows;
}

// Seconds per run of `row`, averaged over enough runs to fill 20 ms.
double time_once(const Row& row) {
    const auto start = Clock::now();
    size_t runs = 0;
    double elapsed = 0.0;
    do {
        if (!row.run()) {
            std::fprintf(stderr, "bandwidth: %s failed\n", row.name.c_str());
            std::exit(1);
        }
        ++runs;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < 0.02);
    return elapsed / static_cast<double>(runs);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

void measure(size_t mebibytes, int rounds) {
    std::vector<std::shared_ptr<void>> keep;
    const std::vector<Row> rows = rows_for(mebibytes << 20, keep);
    std::vector<std::vector<double>> seconds(rows.size());
    for (const Row& row : rows) time_once(row);  // warm-up: caches, branch predictors, clocks
    for (int r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < rows.size(); ++i) seconds[i].push_back(time_once(rows[i]));
    }
    const double memcpy_rate = static_cast<double>(rows[0].bytes_moved) / median(seconds[0]);
    std::printf("\nsource arrays of %zu MiB (%d rounds; memcpy of %zu MiB moves %zu MiB)\n",
                mebibytes, rounds, mebibytes, 2 * mebibytes);
    std::printf("%-28s %12s %10s %8s\n", "row", "MiB moved", "GB/s", "ratio");
    for (size_t i = 0; i < rows.size(); ++i) {
        const double rate = static_cast<double>(rows[i].bytes_moved) / median(seconds[i]);
        const double ratio = rate / memcpy_rate;
        const bool short_of_target = rows[i].fast_path && mebibytes >= 16 && ratio < 0.7;
        std::printf("%-28s %12.1f %10.2f %8.2f%s\n", rows[i].name.c_str(),
                    static_cast<double>(rows[i].bytes_moved) / (1 << 20), rate / 1e9, ratio,
                    short_of_target ? "  below 0.7" : "");
    }
}

std::vector<size_t> parse_sizes(std::string_view text) {
    std::vector<size_t> sizes;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        sizes.push_back(std::stoul(std::string(text.substr(0, comma))));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return sizes;
}

int run(int argc, char** argv) {
    std::vector<size_t> sizes = {1, 16, 256};
    int rounds = 11;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--sizes") {
            sizes = parse_sizes(argv[i + 1]);
        } else if (option == "--rounds") {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        } else if (option == "--target") {
            const std::span<const simd::Target> supported = simd::supported_targets();
            const auto found = std::find_if(supported.begin(), supported.end(), [&](simd::Target t) {
                return simd::target_name(t) == argv[i + 1];
            });
            if (found == supported.end() || !simd::set_target_override(*found)) {
                std::fprintf(stderr, "bandwidth: target %s is not supported here\n", argv[i + 1]);
                return 2;
            }
        } else {
            std::fprintf(stderr, "usage: %s [--sizes 1,16,256] [--rounds N] [--target NAME]\n",
                         argv[0]);
            return 2;
        }
    }
    std::printf("vector target: %s\n",
                std::string(simd::target_name(simd::active_target())).c_str());
    for (const size_t mebibytes : sizes) measure(mebibytes, rounds);
    return 0;
}

}  // namespace
}  // namespace tolvane

int main(int argc, char** argv) { return tolvane::run(argc, argv); }
