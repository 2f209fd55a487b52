// The bus configuration: its small text format and its validation.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

#include "emulator/Emulator.h"

namespace fuel::emulator {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string_view> Words(std::string_view s) {
    std::vector<std::string_view> words;
    while (true) {
        s = Trim(s);
        if (s.empty()) return words;
        std::size_t end = 0;
        while (end < s.size() && !std::isspace(static_cast<unsigned char>(s[end]))) ++end;
        words.push_back(s.substr(0, end));
        s.remove_prefix(end);
    }
}

class Parser {
public:
    explicit Parser(int line) : line_(line) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw ConfigError("line " + std::to_string(line_) + ": " + what);
    }

    long Integer(std::string_view word, long low, long high, std::string_view what) const {
        int base = 10;
        if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
            word.remove_prefix(2);
            base = 16;
        }
        long value = 0;
        const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
        if (error != std::errc{} || end != word.data() + word.size() || word.empty()) {
            Fail(std::string(what) + ": '" + std::string(word) + "' is not a number");
        }
        if (value < low || value > high) {
            Fail(std::string(what) + " " + std::to_string(value) + " is outside " +
                 std::to_string(low) + ".." + std::to_string(high));
        }
        return value;
    }

    double Decimal(std::string_view word, std::string_view what) const {
        const std::string text(word);
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) ||
            value < 0) {
            Fail(std::string(what) + ": '" + text + "' is not a non-negative number");
        }
        return value;
    }

    bool Boolean(std::string_view word, std::string_view what) const {
        const std::string w = Lower(word);
        if (w == "yes" || w == "on" || w == "true" || w == "1") return true;
        if (w == "no" || w == "off" || w == "false" || w == "0") return false;
        Fail(std::string(what) + ": '" + std::string(word) + "' is neither yes nor no");
    }

    // '0', '1', 'A' … a character mode; 0x40 … a byte.
    std::uint8_t Mode(std::string_view word) const {
        if (word.size() == 1) return static_cast<std::uint8_t>(word[0]);
        return static_cast<std::uint8_t>(Integer(word, 0, 255, "mode"));
    }

private:
    int line_;
};

std::chrono::milliseconds Millis(long ms) { return std::chrono::milliseconds(ms); }

}  // namespace

std::uint8_t NozzleAddress(bool interleaved, std::uint8_t dispenser, std::uint8_t nozzle) {
    // Interleaved: an odd and an even dispenser share a block of codes, their nozzles
    // alternating in pairs (1: 1 4 5 8, 2: 2 3 6 7); past the fourth nozzle the odd one counts
    // on plainly and the even one one lower.
    int offset = nozzle;
    if (interleaved) {
        const bool odd = dispenser % 2 != 0;
        switch (nozzle) {
            case 1: offset = 1; break;
            case 2: offset = odd ? 4 : 2; break;
            case 3: offset = 5; break;
            case 4: offset = odd ? 8 : 6; break;
            default: offset = odd ? nozzle : nozzle - 1; break;
        }
    }
    return static_cast<std::uint8_t>((dispenser + offset - 1) & 0xFF);
}

void Validate(const Config& config) {
    if (config.dispensers.empty()) {
        throw ConfigError("the bus has no dispenser");
    }
    std::array<int, 256> owner{};  // address -> dispenser * 8 + nozzle
    std::array<bool, kMaxDispenserNumber + 1> seen{};
    for (const DispenserConfig& d : config.dispensers) {
        if (d.number < 1 || d.number > kMaxDispenserNumber) {
            throw ConfigError("dispenser number " + std::to_string(d.number) +
                              " is outside 1..32");
        }
        const std::string name = "dispenser " + std::to_string(d.number);
        if (seen[d.number]) {
            throw ConfigError(name + " is configured twice");
        }
        seen[d.number] = true;
        if (d.nozzles < 1 || d.nozzles > kMaxNozzles) {
            throw ConfigError(name + ": " + std::to_string(d.nozzles) +
                              " nozzles, a controller has 1..6");
        }
        if (d.volumeDecimals > 15 || d.moneyDecimals > 15) {
            throw ConfigError(name + ": decimals must fit a nibble (0..15)");
        }
        if (!(d.flowRate > 0) || !std::isfinite(d.flowRate)) {
            throw ConfigError(name + ": the flow rate must be above 0 litres per second");
        }
        for (int n = 1; n <= d.nozzles; ++n) {
            const int address =
                NozzleAddress(config.interleavedAddressing, d.number, static_cast<std::uint8_t>(n));
            int& slot = owner[static_cast<std::size_t>(address)];
            if (slot != 0) {
                throw ConfigError("nozzle code " + std::to_string(address) +
                                  " is used by dispenser " + std::to_string(slot / 8) +
                                  " nozzle " + std::to_string(slot % 8) + " and " + name +
                                  " nozzle " + std::to_string(n));
            }
            slot = d.number * 8 + n;
        }
    }
}

Config ParseConfig(std::string_view text) {
    Config config;
    DispenserConfig* current = nullptr;
    int lineNumber = 0;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        ++lineNumber;
        const Parser p(lineNumber);
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        line = Trim(line);
        if (line.empty()) continue;

        if (line.front() == '[') {
            if (line.back() != ']') p.Fail("a section header ends with ']'");
            const auto words = Words(line.substr(1, line.size() - 2));
            if (words.size() != 2 || Lower(words[0]) != "dispenser") {
                p.Fail("expected [dispenser N]");
            }
            DispenserConfig d;
            d.number = static_cast<std::uint8_t>(p.Integer(words[1], 1, 32, "dispenser number"));
            config.dispensers.push_back(d);
            current = &config.dispensers.back();
            continue;
        }

        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) p.Fail("expected key = value");
        const auto keyWords = Words(line.substr(0, equals));
        const auto values = Words(line.substr(equals + 1));
        if (keyWords.empty() || values.empty()) p.Fail("expected key = value");
        const std::string key = Lower(keyWords[0]);
        const auto one = [&]() -> std::string_view {
            if (values.size() != 1 || keyWords.size() != 1) p.Fail(key + " takes one value");
            return values[0];
        };

        if (current == nullptr) {
            if (key == "addressing") {
                const std::string v = Lower(one());
                if (v == "sequential") {
                    config.interleavedAddressing = false;
                } else if (v == "interleaved") {
                    config.interleavedAddressing = true;
                } else {
                    p.Fail("addressing is sequential or interleaved");
                }
            } else if (key == "turnaround-ms") {
                config.turnaround = Millis(p.Integer(one(), 0, 60000, key));
            } else if (key == "late-ms") {
                config.lateDelay = Millis(p.Integer(one(), 0, 60000, key));
            } else if (key == "split-gap-ms") {
                config.splitGap = Millis(p.Integer(one(), 0, 60000, key));
            } else if (key == "auto-lift") {
                config.autoLift = p.Boolean(one(), key);
            } else {
                p.Fail("unknown bus setting '" + key + "' (before any [dispenser N])");
            }
            continue;
        }

        DispenserConfig& d = *current;
        if (key == "nozzles") {
            d.nozzles = static_cast<std::uint8_t>(p.Integer(one(), 1, kMaxNozzles, key));
        } else if (key == "mode") {
            d.mode = p.Mode(one());
        } else if (key == "decimals") {
            if (values.size() != 2) p.Fail("decimals takes two values: volume money");
            d.volumeDecimals = static_cast<std::uint8_t>(p.Integer(values[0], 0, 15, key));
            d.moneyDecimals = static_cast<std::uint8_t>(p.Integer(values[1], 0, 15, key));
        } else if (key == "layout") {
            const std::string v = Lower(one());
            if (v == "plain") {
                d.layout = ReplyLayout::Plain;
            } else if (v == "marked") {
                d.layout = ReplyLayout::Marked;
            } else {
                p.Fail("layout is plain or marked");
            }
        } else if (key == "rom-writable") {
            d.romWritable = p.Boolean(one(), key);
        } else if (key == "flow") {
            d.flowRate = p.Decimal(one(), key);
        } else if (key == "price" || key == "total") {
            if (values.size() > kMaxNozzles) p.Fail(key + " takes at most six values");
            auto& target = key == "price" ? d.prices : d.totals;
            for (std::size_t i = 0; i < values.size(); ++i) {
                target[i] = p.Decimal(values[i], key);
            }
        } else if (key == "cell" || key == "rom") {
            if (keyWords.size() != 2)
                p.Fail("expected " + key + " N = value");
            const auto cell = static_cast<std::uint8_t>(p.Integer(keyWords[1], 0, 255, "cell"));
            if (values.size() != 1) p.Fail("a cell takes one value");
            (key == "cell" ? d.cells : d.romCells)
                .emplace_back(cell,
                              static_cast<std::uint8_t>(p.Integer(values[0], 0, 255, "value")));
        } else {
            p.Fail("unknown dispenser setting '" + key + "'");
        }
    }
    Validate(config);
    return config;
}

Config LoadConfig(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ConfigError("cannot read the bus configuration " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return ParseConfig(text.str());
    } catch (const ConfigError& e) {
        throw ConfigError(path + ": " + e.what());
    }
}

}  // namespace fuel::emulator
