#include "cli/Arguments.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>

namespace fuel::cli {
namespace {

const OptionDefinition* FindOption(std::span<const OptionDefinition> options,
                                   std::string_view name) {
    const auto it =
        std::find_if(options.begin(), options.end(),
                     [&](const OptionDefinition& option) { return option.name == name; });
    return it == options.end() ? nullptr : &*it;
}

std::string Quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

}  // namespace

bool ParsedArguments::Has(std::string_view name) const {
    return std::any_of(options_.begin(), options_.end(),
                       [&](const auto& option) { return option.first == name; });
}

ParsedArguments ParseArguments(std::span<const std::string> words,
                               std::span<const OptionDefinition> options,
                               const std::function<void(std::string_view)>& refuse) {
    ParsedArguments parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        // A negative number ("-3.7", a parameter's value) is an operand, never an option.
        const bool negativeNumber =
            word.size() >= 2 && word[0] == '-' &&
            ((word[1] >= '0' && word[1] <= '9') || word[1] == '.' || word[1] == ',');
        if (optionsEnded || word.size() < 2 || word[0] != '-' || negativeNumber) {
            if (!parsed.firstOperandAt_) {
                parsed.firstOperandAt_ = i;
            }
            parsed.operands_.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word[1] != '-') {
            if (word == "-h") {
                parsed.options_.emplace_back("help", std::nullopt);
                continue;
            }
            throw UsageError("unknown option " + Quoted(word) + " (options are spelt --name)");
        }
        std::string_view name = std::string_view(word).substr(2);
        std::optional<std::string> inlineValue;
        if (const auto equals = name.find('='); equals != std::string_view::npos) {
            inlineValue = std::string(name.substr(equals + 1));
            name = name.substr(0, equals);
        }
        const OptionDefinition* option = FindOption(options, name);
        if (option == nullptr) {
            if (refuse) {
                refuse(name);
            }
            throw UsageError("unknown option " + Quoted("--" + std::string(name)));
        }
        if (option->valueName.empty()) {
            if (inlineValue) {
                throw UsageError("option --" + std::string(name) + " takes no value");
            }
            parsed.options_.emplace_back(std::string(name), std::nullopt);
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= words.size()) {
                throw UsageError("option --" + std::string(name) + " needs a value (" +
                                 std::string(option->valueName) + ")");
            }
            inlineValue = words[++i];
        }
        parsed.options_.emplace_back(std::string(name), std::move(inlineValue));
    }
    return parsed;
}

std::int64_t ParseInteger(std::string_view text, std::string_view what, std::int64_t low,
                          std::int64_t high) {
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    std::int64_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value < low || value > high) {
        std::ostringstream message;
        message << what << " must be a whole number from " << low << " to " << high << ", not "
                << Quoted(text);
        throw UsageError(message.str());
    }
    return value;
}

double ParseQuantity(std::string_view text, std::string_view what, double high) {
    std::string normal(text);
    std::replace(normal.begin(), normal.end(), ',', '.');
    double value = 0;
    const auto [end, error] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
    // from_chars accepts "inf" and "nan"; neither is a quantity.
    if (normal.empty() || error != std::errc() || end != normal.data() + normal.size() ||
        !std::isfinite(value) || value < 0 || value > high) {
        std::ostringstream message;
        message << what << " must be a number from 0 to " << high << ", not " << Quoted(text);
        throw UsageError(message.str());
    }
    return value;
}

}  // namespace fuel::cli
