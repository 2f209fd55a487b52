#include "forecourt/ControllerAdapter.h"

#include "driver/TVM30.h"
#include "forecourt/Lines.h"

namespace fuel::forecourt {
namespace {

// Money doses go to the controller as money, which it measures out to the last coin: with
// StartInLiter (the driver's default) they would go as litres at the price, and the fill
// would end a rounding away from what was paid. The driver-options file may still say
// otherwise.
constexpr std::uint32_t kDriverFlags = 0x10;

bool IsRejection(std::int32_t code) {
    return code == reply_code::kBadStart || code == reply_code::kOnlyAcknowledge ||
           code == reply_code::kNoEnd || code == reply_code::kBadChecksum ||
           code == line_code::kShortReply;
}

std::uint32_t Unsigned(int value) {
    return static_cast<std::uint32_t>(value);
}

}  // namespace

ControllerAdapter::ControllerAdapter(HostLink& link, const std::filesystem::path& driverOptions)
    : link_(link), driver_(std::make_unique<TVM30>(kDriverFlags, &link, driverOptions.string())) {
    driver_->InitLink(kChannel);
}

ControllerAdapter::~ControllerAdapter() = default;

bool ControllerAdapter::Garbled() const {
    return driver_->GetLinkState(kChannel) != link_state::kGood;
}

ControllerAdapter::Poll ControllerAdapter::PollPoint(int address, int nozzles) {
    Poll poll;
    StatusRecordEx record;
    const auto dispenser = static_cast<std::uint8_t>(address);
    try {
        driver_->PollDispenserStatusEx(kChannel, dispenser, static_cast<std::uint8_t>(nozzles),
                                       record);
    } catch (const Exception&) {
        poll.heard =
            IsRejection(link_.GetChannelError(kChannel)) ? Heard::Nonsense : Heard::Silence;
        return poll;
    }
    if (Garbled()) {
        poll.heard = Heard::Nonsense;
        return poll;
    }
    poll.heard = Heard::Answer;
    poll.reading.autonomous = driver_->InModeZero(kChannel, address);
    for (int nozzle = 1; nozzle <= nozzles; ++nozzle) {
        const auto n = static_cast<std::size_t>(nozzle);
        poll.reading.codes[n] = record.bytes[2 + 2 * (n - 1)];
        poll.reading.volumes[n] = driver_->Tables().NozzleVolume[kChannel][address][nozzle];
    }
    return poll;
}

double ControllerAdapter::ReadTotal(int address, int nozzle) {
    double volume = 0;
    double money = 0;
    driver_->GetTotalizer(kChannel, Unsigned(address), Unsigned(nozzle), volume, money, 0, 0);
    if (Garbled())
        throw ESerialIO("the totaliser's reply was garbled");
    return volume;
}

void ControllerAdapter::Start(int address, int nozzle, const Preset& preset) {
    if (preset.kind == Preset::Kind::Volume) {
        driver_->SetVolumeLimit(kChannel, Unsigned(address), Unsigned(nozzle), 0, preset.value);
    } else if (preset.kind == Preset::Kind::Money) {
        driver_->SetMoneyLimit(kChannel, Unsigned(address), Unsigned(nozzle), 0, preset.value);
    }
    driver_->StartFill(kChannel, Unsigned(address), Unsigned(nozzle), 0);
}

void ControllerAdapter::Stop(int address, int nozzle) {
    SelectNozzle(address, nozzle);
    driver_->StopFill(kChannel, Unsigned(address), 0, 1);
}

std::optional<ControllerAdapter::Final> ControllerAdapter::ReadFinal(int address, int nozzle,
                                                                     double price) {
    // The driver reads the fill of its current nozzle at its price: both must be this fill's
    // (after a restart they are the driver's defaults).
    SelectNozzle(address, nozzle);
    UseDriverPrice(address, nozzle, price);
    Final final;
    driver_->GetFinalDispensedData(kChannel, Unsigned(address), final.volume, final.amount);
    if (Garbled())
        return std::nullopt;
    return final;
}

std::int32_t ControllerAdapter::SetPrice(int address, int nozzle, double price) {
    driver_->SetPrice(kChannel, Unsigned(address), Unsigned(nozzle), 0, 0, price);
    sentPrices_.at(static_cast<std::size_t>(address)).at(static_cast<std::size_t>(nozzle)) = price;
    return driver_->ReadPrice(kChannel, Unsigned(address), Unsigned(nozzle));
}

std::optional<double> ControllerAdapter::SentPrice(int address, int nozzle) const {
    return sentPrices_.at(static_cast<std::size_t>(address)).at(static_cast<std::size_t>(nozzle));
}

void ControllerAdapter::SelectNozzle(int address, int nozzle) {
    // The driver reads a fill's figures and stops a pump at its current nozzle, which only a
    // start or a dose chooses: for a fill it did not start (after a restart, or one started
    // elsewhere) it is pointed at the fill's nozzle, without anything sent.
    if (driver_->Tables().CurrentNozzle[kChannel][address] != nozzle)
        driver_->SelectNozzle(kChannel, address, static_cast<std::uint8_t>(nozzle));
}

void ControllerAdapter::UseDriverPrice(int address, int nozzle, double price) {
    // A fill recorded without a price (its controller never had one from us) is read at
    // whatever the driver holds: sending 0 would set the pump's price to nothing.
    auto& sent =
        sentPrices_.at(static_cast<std::size_t>(address)).at(static_cast<std::size_t>(nozzle));
    if (price <= 0 || (sent && *sent == price))
        return;
    driver_->SetPrice(kChannel, Unsigned(address), Unsigned(nozzle), 0, 0, price);
    sent = price;
}

}  // namespace fuel::forecourt
