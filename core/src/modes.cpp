#include "modes.hpp"

namespace tolvane {

Parsed<RoundingMode> RoundingMode::from_str(std::string_view text) {
    // Only lengths 12 and 16 can name a mode; testing the length first keeps
    // the common case to one comparison.
    if (text.size() == 12) {
        if (text == "nearest-even") return RoundingMode::NearestEven;
        if (text == "towards-zero") return RoundingMode::TowardsZero;
        if (text == "nearest-away") return RoundingMode::NearestAway;
    } else if (text.size() == 16) {
        if (text == "towards-positive") return RoundingMode::TowardsPositive;
        if (text == "towards-negative") return RoundingMode::TowardsNegative;
    }
    return std::string("Unknown rounding mode: ").append(text);
}

Parsed<OutOfRangeMode> OutOfRangeMode::from_str(std::string_view text) {
    if (text.size() == 5 && text == "clamp") return OutOfRangeMode::Clamp;
    if (text.size() == 4 && text == "wrap") return OutOfRangeMode::Wrap;
    return std::string("Unknown out_of_range mode: ").append(text);
}

}  // namespace tolvane
