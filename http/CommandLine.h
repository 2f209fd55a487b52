// What both daemons' command lines share: the values of their options (whole numbers,
// seconds, ADDRESS:PORT) read strictly, and the listener's settings checked once they are
// all given. A mistake is the user's, so every failure is a UsageError (exit status 2).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "http/Settings.h"

namespace fuel::http {

// A whole number from low to high; `what` names the option in the message.
std::int64_t Number(const std::string& text, std::string_view what, std::int64_t low,
                    std::int64_t high);
// Seconds from 0.01 to 86400, with a fraction.
std::chrono::milliseconds Seconds(const std::string& text, std::string_view what);
// --listen's ADDR:PORT or [IPv6]:PORT, into the settings' host and port.
void ParseListen(const std::string& text, ListenerSettings& settings);
// The settings as a whole: a certificate and its key together, and plain HTTP only on the
// loopback address unless insecure.
void CheckListener(const ListenerSettings& settings);

}  // namespace fuel::http
