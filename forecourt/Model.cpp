#include "forecourt/Model.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

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

namespace {

// Writes one object's fields in the order given (ToJson's keys, as its text sorts them).
class ObjectText {
  public:
    explicit ObjectText(std::string& text) : text_(text) { text_ += '{'; }
    ~ObjectText() { text_ += '}'; }
    ObjectText(const ObjectText&) = delete;
    ObjectText& operator=(const ObjectText&) = delete;

    ObjectText& Number(std::string_view key, double value) {
        Key(key);
        // The shortest digits that read back as the value, in the JSON library's notation:
        // fixed from 1e-4 up to 1e15, an exponent beyond.
        char digits[400];
        const double size = std::fabs(value);
        const auto format = size == 0 || (size >= 1e-4 && size < 1e15)
                                ? std::chars_format::fixed
                                : std::chars_format::scientific;
        const auto end = std::to_chars(digits, digits + sizeof digits, value, format).ptr;
        const std::string_view written(digits, static_cast<std::size_t>(end - digits));
        if (!std::isfinite(value)) {
            text_ += "null";
        } else {
            text_ += written;
            // As the JSON library writes a number that is a double: 20.0, not 20.
            if (written.find_first_of(".e") == std::string_view::npos)
                text_ += ".0";
        }
        return *this;
    }
    ObjectText& Integer(std::string_view key, std::int64_t value) {
        Key(key);
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        text_.append(digits, static_cast<std::size_t>(end - digits));
        return *this;
    }
    ObjectText& Boolean(std::string_view key, bool value) {
        Key(key);
        text_ += value ? "true" : "false";
        return *this;
    }
    // Empty text is null, as in ToJson.
    ObjectText& Text(std::string_view key, std::string_view value, bool emptyIsNull = false) {
        Key(key);
        if (emptyIsNull && value.empty()) {
            text_ += "null";
            return *this;
        }
        const bool plain = std::all_of(value.begin(), value.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte >= 0x20 && byte < 0x80 && c != '"' && c != '\\';
        });
        if (plain) {
            text_ += '"';
            text_ += value;
            text_ += '"';
        } else {
            text_ += JsonText(std::string(value));  // escapes, and mends what is not UTF-8
        }
        return *this;
    }
    ObjectText& At(std::string_view key, const std::optional<Time>& value) {
        if (!value) {
            Key(key);
            text_ += "null";
            return *this;
        }
        return Text(key, FormatTime(*value));
    }
    std::string& Open(std::string_view key) {
        Key(key);
        return text_;
    }

  private:
    void Key(std::string_view key) {
        if (!first_)
            text_ += ',';
        first_ = false;
        text_ += '"';
        text_ += key;
        text_ += "\":";
    }
    std::string& text_;
    bool first_ = true;
};

}  // namespace

void AppendJson(std::string& text, const Sale& sale) {
    ObjectText object(text);
    object.Number("amount", sale.amount)
        .Boolean("amountComputed", sale.amountComputed)
        .At("authorisedAt", sale.authorisedAt)
        .Text("authorisedBy", sale.authorisedBy, true)
        .At("clearedAt", sale.clearedAt)
        .Text("clearedBy", sale.clearedBy, true)
        .At("endedAt", sale.endedAt)
        .Integer("fuelPoint", sale.fuelPoint)
        .Text("grade", sale.grade)
        .Integer("id", sale.id)
        .At("lockedAt", sale.lockedAt)
        .Text("lockedBy", sale.lockedBy, true)
        .Integer("nozzle", sale.nozzle)
        .Text("origin", Name(sale.origin))
        .Boolean("prepaid", sale.prepaid);
    {
        ObjectText preset(object.Open("preset"));
        preset.Text("kind", PresetKindName(sale.preset.kind)).Number("value", sale.preset.value);
    }
    object.Number("price", sale.price)
        .At("startedAt", sale.startedAt)
        .Text("state", Name(sale.state))
        .Number("totalAfter", sale.totalAfter)
        .Number("totalBefore", sale.totalBefore)
        .Number("volume", sale.volume);
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
