// The target choice shared by every processor's dispatch; the list of
// supported targets comes from the processor's own sources.
#include "targets.hpp"

#include <algorithm>
#include <atomic>

namespace tolvane::simd {

namespace {

// -1 while no override is set, else the overriding Target's value.
std::atomic<int> target_override{-1};

}  // namespace

std::string_view target_name(Target target) {
    switch (target) {
        case Target::None:
            return "none";
        case Target::Sse41:
            return "sse4.1";
        case Target::Avx2:
            return "avx2";
        case Target::AdvancedSimd:
            return "advanced-simd";
    }
    return "unknown";
}

bool set_target_override(std::optional<Target> target) {
    if (!target) {
        target_override.store(-1, std::memory_order_relaxed);
        return true;
    }
    const std::span<const Target> supported = supported_targets();
    if (std::find(supported.begin(), supported.end(), *target) == supported.end()) return false;
    target_override.store(static_cast<int>(*target), std::memory_order_relaxed);
    return true;
}

Target active_target() {
    const int forced = target_override.load(std::memory_order_relaxed);
    if (forced >= 0) return static_cast<Target>(forced);
    return supported_targets().back();
}

}  // namespace tolvane::simd
