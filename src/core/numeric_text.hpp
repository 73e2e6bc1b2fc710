// numeric_text.hpp: doubles in messages, written as Python writes them.
#pragma once

#include <charconv>
#include <cmath>
#include <string>

namespace sorvik {

/// The shortest text that reads back as `x`, with Python's spelling: "6.0",
/// "0.25", "1e-05", "nan", "inf", "-inf".
inline std::string number_text(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, x).ptr;
    std::string text(buffer, end);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

}  // namespace sorvik
