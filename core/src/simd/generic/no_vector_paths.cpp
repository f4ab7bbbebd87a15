// Processors without vector paths of their own: every operation declines and
// the kernels' scalar loops do the work.
#include "../simd.hpp"
#include "../targets.hpp"

namespace tolvane::simd {

namespace {

constexpr Target no_targets[] = {Target::None};

}  // namespace

std::span<const Target> supported_targets() { return no_targets; }

FastPathOutcome try_f32_to_u8_clamp(std::span<const float>, std::span<uint8_t>, RoundingMode) {
    return {};
}
FastPathOutcome try_f64_to_u8_clamp(std::span<const double>, std::span<uint8_t>, RoundingMode) {
    return {};
}
FastPathOutcome try_f64_to_i32_clamp(std::span<const double>, std::span<int32_t>, RoundingMode) {
    return {};
}
FastPathOutcome try_f64_to_i32_check(std::span<const double>, std::span<int32_t>, RoundingMode) {
    return {};
}
FastPathOutcome try_f64_to_f32_nearest(std::span<const double>, std::span<float>, bool) {
    return {};
}
FastPathOutcome try_f32_to_i32_clamp(std::span<const float>, std::span<int32_t>, RoundingMode) {
    return {};
}
FastPathOutcome try_f32_to_u32_clamp(std::span<const float>, std::span<uint32_t>, RoundingMode) {
    return {};
}
std::optional<size_t> try_f32_to_u8_clamp_mapped(std::span<const float>, std::span<uint8_t>,
                                                 RoundingMode, const StandInMap<float>&) {
    return std::nullopt;
}
std::optional<size_t> try_f64_to_u8_clamp_mapped(std::span<const double>, std::span<uint8_t>,
                                                 RoundingMode, const StandInMap<double>&) {
    return std::nullopt;
}
std::optional<size_t> try_f64_to_i32_clamp_mapped(std::span<const double>, std::span<int32_t>,
                                                  RoundingMode, const StandInMap<double>&) {
    return std::nullopt;
}
std::optional<size_t> try_f64_to_i32_check_mapped(std::span<const double>, std::span<int32_t>,
                                                  RoundingMode, const StandInMap<double>&) {
    return std::nullopt;
}
std::optional<size_t> try_f32_to_i32_clamp_mapped(std::span<const float>, std::span<int32_t>,
                                                  RoundingMode, const StandInMap<float>&) {
    return std::nullopt;
}
std::optional<size_t> try_f32_to_u32_clamp_mapped(std::span<const float>, std::span<uint32_t>,
                                                  RoundingMode, const StandInMap<float>&) {
    return std::nullopt;
}
std::optional<size_t> try_f64_to_f32_nearest_mapped(std::span<const double>, std::span<float>,
                                                    bool, const StandInMap<double>&) {
    return std::nullopt;
}
FastPathOutcome try_f32_to_f16(std::span<const float>, std::span<float16>, RoundingMode, bool) {
    return {};
}
FastPathOutcome try_f64_to_f16(std::span<const double>, std::span<float16>, RoundingMode, bool) {
    return {};
}
FastPathOutcome try_f16_to_f32(std::span<const float16>, std::span<float>) { return {}; }
std::optional<size_t> try_f32_to_f16_mapped(std::span<const float>, std::span<float16>,
                                            RoundingMode, bool, const StandInMap<float>&) {
    return std::nullopt;
}
std::optional<size_t> try_f64_to_f16_mapped(std::span<const double>, std::span<float16>,
                                            RoundingMode, bool, const StandInMap<double>&) {
    return std::nullopt;
}
std::optional<size_t> try_f16_to_f32_mapped(std::span<const float16>, std::span<float>,
                                            const StandInMap<float>&) {
    return std::nullopt;
}
FastPathOutcome try_i64_to_i32_check(std::span<const int64_t>, std::span<int32_t>) { return {}; }
FastPathOutcome try_i64_to_f32_nearest(std::span<const int64_t>, std::span<float>) { return {}; }

}  // namespace tolvane::simd
