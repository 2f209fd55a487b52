// The adjustment-coefficient calculator: after a test dose, the coefficient is scaled by what
// the measuring vessel showed over the dose that was set.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fuel::tool {

struct AdjustmentResult {
    std::optional<double> coefficient;  // absent when refused
    std::string error;                  // why, for the technician
};

// measured × oldCoefficient / dose, the product formed first in extended precision and the
// quotient stored as a double. The dose and the reading are the fields' values in extended
// precision (ParseFieldValue): 10.05 as a double is a little above 10.05, and 1.0 × 10.05 / 10
// would then not be 1.005. A dose of 0 is refused, as is a result beyond a double.
AdjustmentResult CalculateCoefficient(double oldCoefficient, long double dose,
                                      long double measured);

// A decimal field's text as its value in extended precision ("10,05" with ',' as the
// separator); nullopt when it is no number.
std::optional<long double> ParseFieldValue(std::string_view text, char separator = '.');

// As the calculator shows a coefficient: "%2.4f" (four decimals, at least two characters)
// with the given decimal separator.
std::string FormatCoefficient(double coefficient, char separator = '.');

}  // namespace fuel::tool
