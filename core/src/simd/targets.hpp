// The instruction sets the vector fast paths can run on, and the hook that
// lets tests pin one of them so that every path a processor offers is checked
// against the same scalar results.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tolvane::simd {

enum class Target : uint8_t {
    None,  // every operation declines and the kernels' scalar loops run
    Sse41,
    Avx2,
    AdvancedSimd,
};

std::string_view target_name(Target target);

// The targets this build has and this processor runs: None first, the one the
// operations use by default last.
std::span<const Target> supported_targets();

// Makes every operation run on `target` until the next call; nullopt returns
// to the default. A target missing from supported_targets() is refused
// (false) and changes nothing.
bool set_target_override(std::optional<Target> target);

// The target the operations run on now.
Target active_target();

}  // namespace tolvane::simd
