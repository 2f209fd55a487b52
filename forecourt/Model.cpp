#include "forecourt/Model.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace fuel::forecourt {
namespace {

constexpr std::array<std::string_view, 7> kPointStateNames = {
    "CLOSED", "IDLE", "CALLING", "AUTHORISED", "FUELLING", "OFFLINE", "ERROR"};
constexpr std::array<std::string_view, 6> kFillStateNames = {"AUTHORISED", "FUELLING", "CANCELLED",
                                                             "PAYABLE",    "LOCKED",   "CLEARED"};

nlohmann::json TimeOrNull(const std::optional<Time>& time) {
    return time ? nlohmann::json(FormatTime(*time)) : nlohmann::json(nullptr);
}

nlohmann::json TextOrNull(const std::string& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

}  // namespace

std::string JsonText(const nlohmann::json& json) {
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string FormatTime(Time time) {
    using namespace std::chrono;
    const auto milliseconds = duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
    auto seconds = duration_cast<std::chrono::seconds>(milliseconds);
    auto rest = milliseconds - seconds;
    if (rest.count() < 0) {
        seconds -= std::chrono::seconds(1);
        rest += std::chrono::seconds(1);
    }
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(rest.count()));
    return text;
}

std::optional<Time> ParseTime(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS, optional fraction, then Z or +HH:MM / -HH:MM.
    const auto digits = [&](std::size_t at, std::size_t count) -> std::optional<int> {
        if (at + count > text.size())
            return std::nullopt;
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return std::nullopt;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    const auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2), hour = digits(11, 2),
               minute = digits(14, 2), second = digits(17, 2);
    if (!year || !month || !day || !hour || !minute || !second || text.size() < 20 ||
        text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != 't') ||
        text[13] != ':' || text[16] != ':' || *month < 1 || *month > 12 || *day < 1 || *day > 31 ||
        *hour > 23 || *minute > 59 || *second > 60) {
        return std::nullopt;
    }
    std::size_t at = 19;
    long long milliseconds = 0;
    if (text[at] == '.') {
        ++at;
        int scale = 100;
        const std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            milliseconds += (text[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == first)
            return std::nullopt;
    }
    int offsetMinutes = 0;
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const auto offsetHour = digits(at + 1, 2), offsetMinute = digits(at + 4, 2);
        if (!offsetHour || !offsetMinute || at + 6 > text.size() || text[at + 3] != ':') {
            return std::nullopt;
        }
        offsetMinutes = (*offsetHour * 60 + *offsetMinute) * (text[at] == '-' ? -1 : 1);
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != text.size())
        return std::nullopt;
    using namespace std::chrono;
    // A real calendar date (no 30 February), in years 0001..9999; one that the clock's
    // nanoseconds cannot carry (before 1677, after 2262) is taken as the clock's first or
    // last instant, so that "from 9999" finds nothing rather than wrapping round.
    const year_month_day date{std::chrono::year(*year),
                              std::chrono::month(static_cast<unsigned>(*month)),
                              std::chrono::day(static_cast<unsigned>(*day))};
    if (*year < 1 || !date.ok())
        return std::nullopt;
    const auto time = sys_days(date) + hours(*hour) + minutes(*minute - offsetMinutes) +
                      seconds(*second) + std::chrono::milliseconds(milliseconds);
    const auto earliest = time_point_cast<std::chrono::milliseconds>(Time::min()) + 1ms;
    const auto latest = time_point_cast<std::chrono::milliseconds>(Time::max()) - 1ms;
    if (time < earliest)
        return Time::min();
    if (time > latest)
        return Time::max();
    return time_point_cast<Time::duration>(time);
}

std::string_view Name(FuelPointState state) {
    return kPointStateNames[static_cast<std::size_t>(state)];
}

std::string_view Name(FillState state) {
    return kFillStateNames[static_cast<std::size_t>(state)];
}

std::optional<FillState> FillStateFromName(std::string_view name) {
    for (std::size_t i = 0; i < kFillStateNames.size(); ++i) {
        if (kFillStateNames[i] == name)
            return static_cast<FillState>(i);
    }
    return std::nullopt;
}

std::string_view PresetKindName(Preset::Kind kind) {
    switch (kind) {
        case Preset::Kind::Volume:
            return "volume";
        case Preset::Kind::Money:
            return "money";
        case Preset::Kind::None:
            break;
    }
    return "none";
}

Preset PresetFrom(std::string_view kind, double value) {
    if (kind == "volume")
        return Preset::Volume(value);
    if (kind == "money")
        return Preset::Money(value);
    return {};
}

nlohmann::json ToJson(const Preset& preset) {
    return {{"kind", PresetKindName(preset.kind)}, {"value", preset.value}};
}

nlohmann::json ToJson(const Grade& grade) {
    return {{"code", grade.code}, {"name", grade.name}, {"price", grade.price}};
}

nlohmann::json ToJson(const NozzleView& nozzle) {
    return {{"number", nozzle.number}, {"grade", nozzle.grade}, {"price", nozzle.price},
            {"takesNoPrice", nozzle.takesNoPrice}};
}

nlohmann::json ToJson(const FillView& fill) {
    return {{"id", fill.id > 0 ? nlohmann::json(fill.id) : nlohmann::json(nullptr)},
            {"state", Name(fill.state)},
            {"authorised", fill.authorised},
            {"preset", ToJson(fill.preset)},
            {"grades", fill.grades},
            {"prepaid", fill.prepaid},
            {"authorisedBy", TextOrNull(fill.authorisedBy)},
            {"nozzle", fill.nozzle > 0 ? nlohmann::json(fill.nozzle) : nlohmann::json(nullptr)},
            {"grade", TextOrNull(fill.grade)},
            {"price", fill.price},
            {"volume", fill.volume},
            {"amount", fill.amount},
            {"authorisedAt", TimeOrNull(fill.authorisedAt)},
            {"startedAt", TimeOrNull(fill.startedAt)}};
}

nlohmann::json ToJson(const FuelPointView& point) {
    nlohmann::json nozzles = nlohmann::json::array();
    for (const NozzleView& nozzle : point.nozzles) {
        nozzles.push_back(ToJson(nozzle));
    }
    return {{"id", point.id},
            {"line", point.line},
            {"address", point.address},
            {"state", Name(point.state)},
            {"closed", point.closed},
            {"nozzles", std::move(nozzles)},
            {"fill", point.fill ? ToJson(*point.fill) : nlohmann::json(nullptr)},
            {"saleBuffer", point.saleBuffer},
            {"unclearedSales", point.unclearedSales},
            {"release", Name(point.release)}};
}

nlohmann::json ToJson(const Sale& sale) {
    return {{"id", sale.id},
            {"fuelPoint", sale.fuelPoint},
            {"nozzle", sale.nozzle},
            {"grade", sale.grade},
            {"price", sale.price},
            {"volume", sale.volume},
            {"amount", sale.amount},
            {"state", Name(sale.state)},
            {"authorisedBy", TextOrNull(sale.authorisedBy)},
            {"lockedBy", TextOrNull(sale.lockedBy)},
            {"clearedBy", TextOrNull(sale.clearedBy)},
            {"totalBefore", sale.totalBefore},
            {"totalAfter", sale.totalAfter},
            {"authorisedAt", FormatTime(sale.authorisedAt)},
            {"startedAt", FormatTime(sale.startedAt)},
            {"endedAt", FormatTime(sale.endedAt)},
            {"lockedAt", TimeOrNull(sale.lockedAt)},
            {"clearedAt", TimeOrNull(sale.clearedAt)},
            {"preset", ToJson(sale.preset)},
            {"prepaid", sale.prepaid},
            {"origin", Name(sale.origin)},
            {"amountComputed", sale.amountComputed}};
}

std::string_view Name(Origin origin) {
    return origin == Origin::Pump ? "pump" : "api";
}

std::optional<Origin> OriginFromName(std::string_view name) {
    if (name == "api")
        return Origin::Api;
    if (name == "pump")
        return Origin::Pump;
    return std::nullopt;
}

nlohmann::json AlarmData(std::string_view kind, int fuelPoint, std::string message,
                         nlohmann::json details) {
    nlohmann::json data = details.is_object() ? std::move(details) : nlohmann::json::object();
    data["kind"] = kind;
    data["fuelPoint"] = fuelPoint;
    data["message"] = std::move(message);
    return data;
}

nlohmann::json ToJson(const Event& event) {
    return {{"id", event.Journaled() ? nlohmann::json(event.sequence) : nlohmann::json(nullptr)},
            {"type", event.type},
            {"at", FormatTime(event.at)},
            {"data", event.data}};
}

}  // namespace fuel::forecourt
