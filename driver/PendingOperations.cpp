// Host operations whose commands are not built yet. Until they are, each fails the way an
// operation the driver does not provide fails, so a host can never mistake it for success.
#include "driver/TVM30.h"

namespace fuel {

std::uint8_t TVM30::GetStatusCode(std::uint8_t, std::uint8_t) {
    throw EAbstractError();
}
std::int32_t TVM30::InitLink(std::uint32_t) {
    throw EAbstractError();
}
bool TVM30::GetDriverInfo(std::uint32_t, std::uint32_t&) {
    throw EAbstractError();
}
void TVM30::PollDispenserStatus(std::uint8_t, std::uint8_t, std::uint8_t, StatusRecord&) {
    throw EAbstractError();
}
void TVM30::PollDispenserStatusEx(std::uint8_t, std::uint8_t, std::uint8_t, StatusRecordEx&) {
    throw EAbstractError();
}
std::uint8_t TVM30::PollNozzle(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                               CommandBuffer&) {
    throw EAbstractError();
}
std::uint8_t TVM30::DecodeStatusChar(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t) {
    throw EAbstractError();
}
void TVM30::RefreshDispenserMode(std::uint8_t, std::uint8_t) {
    throw EAbstractError();
}

}  // namespace fuel
