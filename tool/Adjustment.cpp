#include "tool/Adjustment.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace fuel::tool {

AdjustmentResult CalculateCoefficient(double oldCoefficient, long double dose,
                                      long double measured) {
    if (dose == 0) {
        return {std::nullopt, "Заданная доза не может быть равна нулю"};
    }
    const long double product = measured * oldCoefficient;
    const auto coefficient = static_cast<double>(product / dose);
    if (!std::isfinite(coefficient)) {
        return {std::nullopt, "Расчетное значение вне допустимого диапазона"};
    }
    return {coefficient, ""};
}

std::optional<long double> ParseFieldValue(std::string_view text, char separator) {
    std::string plain;
    bool digits = false;
    bool point = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            plain += c;
        } else if (c == separator && !point) {
            point = true;
            plain += '.';
        } else if ((c == '-' || c == '+') && i == 0) {
            plain += c;
        } else {
            return std::nullopt;
        }
    }
    if (!digits) {
        return std::nullopt;
    }
    return std::strtold(plain.c_str(), nullptr);
}

std::string FormatCoefficient(double coefficient, char separator) {
    char text[64];
    std::snprintf(text, sizeof text, "%2.4f", coefficient);
    std::string shown = text;
    for (char& c : shown) {
        if (c == '.') {
            c = separator;
        }
    }
    return shown;
}

}  // namespace fuel::tool
