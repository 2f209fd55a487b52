// The daemons' log: one line per message on standard error, each with the "<N>" priority
// prefix that systemd's journal reads (sd-daemon(3)), so that `journalctl -p warning` works
// for a service and a person at a terminal still reads plain lines.
#pragma once

#include <string>
#include <string_view>

namespace fuel::http {

enum class Priority { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

// Whole lines only: messages from several threads never interleave. Tokens are redacted.
void Log(Priority priority, std::string_view message);
// The message with every bearer token in it replaced by "REDACTED": the value of an
// access_token query parameter (its name in any case or escaped) and what follows "Bearer ".
// A log is read by more people than may use the station's API.
std::string Redacted(std::string_view message);
// Debug messages are dropped unless asked for (--verbose).
void SetVerbose(bool verbose);

}  // namespace fuel::http
