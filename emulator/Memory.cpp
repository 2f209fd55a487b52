// The memory file's text: written and read through one table of keys per record, so that
// the two can never disagree; numbers in the shortest form that reads back to the same
// double, whatever the locale.
#include "emulator/Memory.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

namespace fuel::emulator {
namespace {

constexpr int kVersion = 1;
constexpr std::string_view kHexDigits = "0123456789abcdef";

constexpr std::string_view kHeader =
    "# An emulated bus's memory: its controllers' totalisers, prices, doses, cells and fills,\n"
    "# and the customers at its pumps. Rewritten whole at every change and checked by its\n"
    "# last line: not for editing. Delete it to start the bus afresh from its configuration.\n";

// FNV-1a, 64 bits: enough to tell a damaged or shortened file from the one written.
std::uint64_t Checksum(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3u;
    }
    return hash;
}

std::string Hex(std::uint64_t value, int digits) {
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) {
        text[static_cast<std::size_t>(i)] = kHexDigits[value & 0xF];
    }
    return text;
}

std::optional<std::uint64_t> ParseHex(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string_view CustomerPhaseName(CustomerPhase phase) {
    switch (phase) {
        case CustomerPhase::Away:
            return "away";
        case CustomerPhase::Walking:
            return "walking";
        case CustomerPhase::Waiting:
            return "waiting";
        case CustomerPhase::Fuelling:
            return "fuelling";
    }
    return "?";
}

// ---- One value: its text, and reading it back (false: not a value of its kind).

std::string Text(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end);
}

bool Parse(std::string_view text, double& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size() &&
           std::isfinite(value) && value >= 0;
}

template <class Integer>
bool ParseInteger(std::string_view text, Integer& value, Integer low, Integer high) {
    Integer parsed{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || parsed < low ||
        parsed > high)
        return false;
    value = parsed;
    return true;
}

std::string Text(int value) {
    return std::to_string(value);
}

bool Parse(std::string_view text, int& value) {
    return ParseInteger(text, value, 0, std::numeric_limits<int>::max());
}

std::string Text(std::uint8_t value) {
    return std::to_string(value);
}

bool Parse(std::string_view text, std::uint8_t& value) {
    return ParseInteger<std::uint8_t>(text, value, 0, kMaxNozzles);
}

std::string Text(bool value) {
    return value ? "yes" : "no";
}

bool Parse(std::string_view text, bool& value) {
    if (text != "yes" && text != "no")
        return false;
    value = text == "yes";
    return true;
}

std::string Text(WallTime value) {
    return std::to_string(value.time_since_epoch().count());
}

bool Parse(std::string_view text, WallTime& value) {
    Duration::rep count = 0;
    if (!ParseInteger<Duration::rep>(text, count, std::numeric_limits<Duration::rep>::min(),
                                     std::numeric_limits<Duration::rep>::max()))
        return false;
    value = WallTime(Duration(count));
    return true;
}

std::string Text(NozzlePhase value) {
    return std::string(PhaseName(value));
}

bool Parse(std::string_view text, NozzlePhase& value) {
    // The phases run from Idle to Ended.
    for (int i = 0; i <= static_cast<int>(NozzlePhase::Ended); ++i) {
        if (PhaseName(static_cast<NozzlePhase>(i)) == text) {
            value = static_cast<NozzlePhase>(i);
            return true;
        }
    }
    return false;
}

std::string Text(CustomerPhase value) {
    return std::string(CustomerPhaseName(value));
}

bool Parse(std::string_view text, CustomerPhase& value) {
    for (const CustomerPhase phase :
         {CustomerPhase::Walking, CustomerPhase::Waiting, CustomerPhase::Fuelling}) {
        if (CustomerPhaseName(phase) == text) {
            value = phase;
            return true;
        }
    }
    return false;
}

// ---- The records' keys.

template <class Record>
struct Field {
    std::string_view key;
    std::string (*write)(const Record&);
    bool (*read)(std::string_view, Record&);
};

template <class Record, auto Member>
constexpr Field<Record> Key(std::string_view key) {
    return {key, [](const Record& record) { return Text(record.*Member); },
            [](std::string_view text, Record& record) { return Parse(text, record.*Member); }};
}

constexpr std::array kNozzleFields = {
    Key<NozzleMemory, &NozzleMemory::phase>("phase"),
    Key<NozzleMemory, &NozzleMemory::lifted>("lifted"),
    Key<NozzleMemory, &NozzleMemory::totalBefore>("total-before"),
    Key<NozzleMemory, &NozzleMemory::volume>("volume"),
    Key<NozzleMemory, &NozzleMemory::price>("price"),
    Key<NozzleMemory, &NozzleMemory::fillPrice>("fill-price"),
    Key<NozzleMemory, &NozzleMemory::volumeDose>("volume-dose"),
    Key<NozzleMemory, &NozzleMemory::moneyDose>("money-dose"),
    Key<NozzleMemory, &NozzleMemory::volumeLimit>("volume-limit"),
    Key<NozzleMemory, &NozzleMemory::moneyLimit>("money-limit"),
    Key<NozzleMemory, &NozzleMemory::flowRate>("flow"),
    Key<NozzleMemory, &NozzleMemory::started>("started"),
};

constexpr std::array kCustomerFields = {
    Key<CustomerMemory, &CustomerMemory::phase>("phase"),
    Key<CustomerMemory, &CustomerMemory::nozzle>("nozzle"),
    Key<CustomerMemory, &CustomerMemory::litres>("litres"),
    Key<CustomerMemory, &CustomerMemory::at>("at"),
};

template <class Record, std::size_t N>
std::string WriteFields(const std::array<Field<Record>, N>& fields, const Record& record) {
    std::string text;
    for (const Field<Record>& field : fields) {
        text += ' ';
        text += field.key;
        text += '=';
        text += field.write(record);
    }
    return text;
}

std::string Bytes(const std::array<std::uint8_t, 256>& bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes)
        text += Hex(byte, 2);
    return text;
}

// ---- Reading.

class Reader {
  public:
    int line = 0;

    [[noreturn]] void Fail(const std::string& what) const {
        throw MemoryError("line " + std::to_string(line) + ": " + what);
    }

    // Every key of the record's table exactly once, nothing else.
    template <class Record, std::size_t N>
    void ReadFields(const std::array<Field<Record>, N>& fields,
                    const std::vector<std::string_view>& words, Record& record) const {
        std::array<bool, N> seen{};
        for (std::size_t w = 2; w < words.size(); ++w) {
            const std::string_view word = words[w];
            const auto equals = word.find('=');
            const std::string_view key = word.substr(0, equals);
            std::size_t i = 0;
            while (i < N && fields[i].key != key)
                ++i;
            if (equals == std::string_view::npos || i == N)
                Fail("\"" + std::string(word) + "\" is not a key of the record");
            if (seen[i])
                Fail(std::string(key) + " is given twice");
            if (!fields[i].read(word.substr(equals + 1), record))
                Fail("\"" + std::string(word) + "\" is not a value " + std::string(key) + " takes");
            seen[i] = true;
        }
        for (std::size_t i = 0; i < N; ++i) {
            if (!seen[i])
                Fail("the record has no " + std::string(fields[i].key));
        }
    }

    std::uint8_t Number(std::string_view word, std::uint8_t high, const char* what) const {
        std::uint8_t value = 0;
        if (!ParseInteger<std::uint8_t>(word, value, 1, high))
            Fail(std::string(what) + " \"" + std::string(word) + "\" is not 1.." +
                 std::to_string(high));
        return value;
    }

    void ReadBytes(std::string_view word, std::array<std::uint8_t, 256>& bytes) const {
        if (word.size() != bytes.size() * 2)
            Fail("a memory holds 256 bytes, in 512 hex digits");
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const auto value = ParseHex(word.substr(2 * i, 2));
            if (!value)
                Fail("\"" + std::string(word.substr(2 * i, 2)) + "\" is not a byte in hex");
            bytes[i] = static_cast<std::uint8_t>(*value);
        }
    }
};

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t\r", at);
        if (start == std::string_view::npos)
            break;
        const std::size_t end = std::min(line.find_first_of(" \t\r", start), line.size());
        words.push_back(line.substr(start, end - start));
        at = end;
    }
    return words;
}

}  // namespace

std::string FormatMemory(const Memory& memory) {
    std::string text(kHeader);
    text += "memory " + std::to_string(kVersion) + "\n";
    text += "saved " + Text(memory.saved) + "\n";
    for (const ControllerMemory& controller : memory.controllers) {
        text += "dispenser " + std::to_string(controller.number) + "\n";
        text += "ram " + Bytes(controller.ram) + "\n";
        text += "rom " + Bytes(controller.rom) + "\n";
        for (const NozzleMemory& nozzle : controller.nozzles) {
            text += "nozzle " + std::to_string(nozzle.number) + WriteFields(kNozzleFields, nozzle) +
                    "\n";
        }
    }
    for (const CustomerMemory& customer : memory.customers) {
        text += "customer " + std::to_string(customer.dispenser) +
                WriteFields(kCustomerFields, customer) + "\n";
    }
    text += "end " + Hex(Checksum(text), 16) + "\n";
    return text;
}

Memory ParseMemory(std::string_view text) {
    // The checksum first: a file cut short or damaged anywhere is refused before any of it
    // is believed.
    const bool whole = text.ends_with('\n');
    const std::string_view lines = whole ? text.substr(0, text.size() - 1) : text;
    const std::size_t lastBreak = lines.rfind('\n');
    const std::size_t endStart = lastBreak == std::string_view::npos ? 0 : lastBreak + 1;
    const std::vector<std::string_view> endWords = Words(lines.substr(endStart));
    if (!whole || endWords.size() != 2 || endWords[0] != "end")
        throw MemoryError("the file ends early: its last line is not \"end CHECKSUM\"");
    const auto sum = ParseHex(endWords[1]);
    if (!sum || *sum != Checksum(text.substr(0, endStart)))
        throw MemoryError("the checksum does not match: the file is damaged");
    text = text.substr(0, endStart);

    Memory memory;
    Reader reader;
    bool versioned = false;
    bool saved = false;
    std::vector<bool> ram, rom;  // per controller read so far
    while (!text.empty()) {
        ++reader.line;
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const std::vector<std::string_view> words = Words(line);
        if (words.empty() || words[0].starts_with('#'))
            continue;
        const std::string_view kind = words[0];
        if (!versioned) {
            int version = 0;
            if (kind != "memory" || words.size() != 2 || !Parse(words[1], version))
                reader.Fail("the file does not begin with \"memory VERSION\"");
            if (version != kVersion)
                reader.Fail("memory format " + std::to_string(version) +
                            " is not one this program reads (it reads " + std::to_string(kVersion) +
                            ")");
            versioned = true;
            continue;
        }
        if (kind == "saved") {
            if (saved || words.size() != 2 || !Parse(words[1], memory.saved))
                reader.Fail("\"saved\" takes one time, once");
            saved = true;
        } else if (kind == "dispenser") {
            if (words.size() != 2)
                reader.Fail("\"dispenser\" takes its number");
            ControllerMemory controller;
            controller.number = reader.Number(words[1], kMaxDispenserNumber, "the dispenser");
            for (const ControllerMemory& other : memory.controllers) {
                if (other.number == controller.number)
                    reader.Fail("dispenser " + std::to_string(controller.number) +
                                " is given twice");
            }
            memory.controllers.push_back(std::move(controller));
            ram.push_back(false);
            rom.push_back(false);
        } else if (kind == "ram" || kind == "rom" || kind == "nozzle") {
            if (memory.controllers.empty())
                reader.Fail("\"" + std::string(kind) + "\" comes before any dispenser");
            ControllerMemory& controller = memory.controllers.back();
            if (kind == "nozzle") {
                if (words.size() < 2)
                    reader.Fail("\"nozzle\" takes its number and its keys");
                NozzleMemory nozzle;
                nozzle.number = reader.Number(words[1], kMaxNozzles, "the nozzle");
                if (nozzle.number != controller.nozzles.size() + 1)
                    reader.Fail("nozzle " + std::to_string(nozzle.number) + " of dispenser " +
                                std::to_string(controller.number) + " is out of its order");
                reader.ReadFields(kNozzleFields, words, nozzle);
                controller.nozzles.push_back(nozzle);
            } else {
                std::vector<bool>& read = kind == "ram" ? ram : rom;
                if (words.size() != 2 || read.back())
                    reader.Fail("\"" + std::string(kind) + "\" takes its bytes, once");
                reader.ReadBytes(words[1], kind == "ram" ? controller.ram : controller.rom);
                read.back() = true;
            }
        } else if (kind == "customer") {
            if (words.size() < 2)
                reader.Fail("\"customer\" takes the dispenser and its keys");
            CustomerMemory customer;
            customer.dispenser = reader.Number(words[1], kMaxDispenserNumber, "the dispenser");
            for (const CustomerMemory& other : memory.customers) {
                if (other.dispenser == customer.dispenser)
                    reader.Fail("dispenser " + std::to_string(customer.dispenser) +
                                " has two customers");
            }
            reader.ReadFields(kCustomerFields, words, customer);
            memory.customers.push_back(customer);
        } else {
            reader.Fail("\"" + std::string(kind) + "\" is not a record of the memory");
        }
    }
    ++reader.line;
    if (!versioned)
        reader.Fail("the file does not begin with \"memory VERSION\"");
    if (!saved)
        reader.Fail("the file has no \"saved\" time");
    for (std::size_t i = 0; i < memory.controllers.size(); ++i) {
        const ControllerMemory& controller = memory.controllers[i];
        if (!ram[i] || !rom[i] || controller.nozzles.empty())
            reader.Fail("dispenser " + std::to_string(controller.number) +
                        " lacks its ram, its rom or its nozzles");
    }
    return memory;
}

}  // namespace fuel::emulator
