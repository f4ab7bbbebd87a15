#include "cast_error.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace tolvane {

std::string format_float64(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (value == 0.0) return std::signbit(value) ? "-0" : "0";

    // Shortest round-trip digits come from to_chars in scientific form
    // ("d.ddde±x"); they are then laid out positionally.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value),
                                   std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
    const size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos)) {
        if (c != '.') digits.push_back(c);
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    // The value is 0.d1d2...dk * 10^e.
    const std::string_view exp_text = sci.substr(e_pos + 1);  // "+38" or "-07"
    long exponent = 0;
    std::from_chars(exp_text.data() + 1, exp_text.data() + exp_text.size(), exponent);
    const long e = (exp_text[0] == '-' ? -exponent : exponent) + 1;
    const long k = static_cast<long>(digits.size());

    std::string out;
    if (std::signbit(value)) out.push_back('-');
    if (e <= 0) {
        out.append("0.");
        out.append(static_cast<size_t>(-e), '0');
        out.append(digits);
    } else if (e < k) {
        out.append(digits, 0, static_cast<size_t>(e));
        out.push_back('.');
        out.append(digits, static_cast<size_t>(e), std::string::npos);
    } else {
        out.append(digits);
        out.append(static_cast<size_t>(e - k), '0');
    }
    return out;
}

std::string CastError::display_text() const {
    std::string text;
    fmt(*this, [&text](std::string_view piece) {
        text.append(piece);
        return true;
    });
    return text;
}

}  // namespace tolvane
