// What a daemon tells systemd when it runs as a Type=notify unit (sd_notify(3)): a datagram
// to $NOTIFY_SOCKET ("READY=1", "STOPPING=1"), nothing when there is none.
#pragma once

namespace fuel::http {

void NotifySystemd(const char* state);

}  // namespace fuel::http
