// The conversion library's only error and its display texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

struct CastError {
    enum class Kind : uint8_t { NonFiniteToInt, OutOfRange };

    Kind kind;
    double value;
    double min;  // OutOfRange only
    double max;  // OutOfRange only

    static CastError non_finite_to_int(double value) {
        return CastError{Kind::NonFiniteToInt, value, 0.0, 0.0};
    }
    static CastError out_of_range(double value, double min, double max) {
        return CastError{Kind::OutOfRange, value, min, max};
    }

    // Writes the display text through `sink`, a callable taking a
    // std::string_view and returning false when it could not take it.
    // Returns the sink's verdict.
    template <class Sink>
    static bool fmt(const CastError& error, Sink&& sink);

    std::string display_text() const;
};

// A kernel's result: nothing on success, else the first failing element's error.
using CastOutcome = std::optional<CastError>;

// A float64 as the shortest decimal that reads back as the same value, in
// positional notation without exponent ("300", "0.1", "9223372036854776000",
// "NaN", "-inf", "-0").
std::string format_float64(double value);

template <class Sink>
bool CastError::fmt(const CastError& error, Sink&& sink) {
    if (error.kind == Kind::NonFiniteToInt) {
        return sink(std::string_view("Cannot cast ")) && sink(format_float64(error.value)) &&
               sink(std::string_view(" to integer type without scalar_map"));
    }
    return sink(std::string_view("Value ")) && sink(format_float64(error.value)) &&
           sink(std::string_view(" out of range [")) && sink(format_float64(error.min)) &&
           sink(std::string_view(", ")) && sink(format_float64(error.max)) &&
           sink(std::string_view(
               "]. Set out_of_range='clamp' or out_of_range='wrap' to handle this."));
}

}  // namespace tolvane
