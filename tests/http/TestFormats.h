// The string format the HTTP stack's tests check with, where a daemon would name its own
// parser (the forecourt's time): "digits", digits only.
#pragma once

#include <string_view>

#include "http/JsonSchema.h"

namespace fuel::http {

inline const Formats& TestFormats() {
    static const Formats formats = {{"digits",
                                     {[](std::string_view text) {
                                          return !text.empty() &&
                                                 text.find_first_not_of("0123456789") == text.npos;
                                      },
                                      "digits only"}}};
    return formats;
}

}  // namespace fuel::http
