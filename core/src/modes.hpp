// Rounding modes and out-of-range policies, with the parsers of the strings
// that Python callers pass.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace tolvane {

// Either a parsed value or the message that explains why the text was rejected.
template <class T>
using Parsed = std::variant<T, std::string>;

struct RoundingMode {
    enum Value : uint8_t {
        NearestEven = 0,
        TowardsZero = 1,
        TowardsPositive = 2,
        TowardsNegative = 3,
        NearestAway = 4,
    };
    Value value;

    constexpr RoundingMode(Value v) : value(v) {}
    constexpr operator Value() const { return value; }

    static Parsed<RoundingMode> from_str(std::string_view text);
};

struct OutOfRangeMode {
    enum Value : uint8_t {
        Clamp = 0,
        Wrap = 1,
    };
    Value value;

    constexpr OutOfRangeMode(Value v) : value(v) {}
    constexpr operator Value() const { return value; }

    static Parsed<OutOfRangeMode> from_str(std::string_view text);
};

static_assert(sizeof(RoundingMode) == 1 && sizeof(OutOfRangeMode) == 1);

// The out-of-range policy of a call; empty means an out-of-range value is an error.
using OutOfRangePolicy = std::optional<OutOfRangeMode>;

template <RoundingMode::Value Mode>
using ModeConstant = std::integral_constant<RoundingMode::Value, Mode>;

// run(ModeConstant<mode>{}): the one place where a mode chosen at run time
// becomes the compile-time parameter of the loops.
template <class Run>
decltype(auto) with_rounding_mode(RoundingMode mode, Run&& run) {
    switch (mode) {
        case RoundingMode::NearestEven:
            return run(ModeConstant<RoundingMode::NearestEven>{});
        case RoundingMode::TowardsZero:
            return run(ModeConstant<RoundingMode::TowardsZero>{});
        case RoundingMode::TowardsPositive:
            return run(ModeConstant<RoundingMode::TowardsPositive>{});
        case RoundingMode::TowardsNegative:
            return run(ModeConstant<RoundingMode::TowardsNegative>{});
        case RoundingMode::NearestAway:
            break;
    }
    return run(ModeConstant<RoundingMode::NearestAway>{});
}

}  // namespace tolvane
