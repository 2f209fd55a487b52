#include "http/Counters.h"

namespace fuel::http {

void ServerCounters::CountResponse(int status) {
    const int group = status / 100;
    if (group >= 1 && group <= 5)
        ++responses[static_cast<std::size_t>(group)];
}

}  // namespace fuel::http
