// Command-line words in, options and operands out. A mistake here is the user's, not the
// dispenser's, so every failure is a UsageError that the program answers with exit status 2.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fuel::cli {

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One option as a command accepts it: "--name" alone (a switch) or "--name VALUE".
struct OptionDefinition {
    std::string_view name;       // without the leading dashes
    std::string_view valueName;  // empty for a switch
    std::string_view help;
};

class ParsedArguments {
  public:
    bool Has(std::string_view name) const;
    // The option's last value, when it was given.
    std::optional<std::string> Value(std::string_view name) const;
    // Every value of an option that may be repeated, in order.
    std::vector<std::string> Values(std::string_view name) const;
    const std::vector<std::string>& Operands() const { return operands_; }

  private:
    friend ParsedArguments ParseArguments(std::span<const std::string>,
                                          std::span<const OptionDefinition>);
    std::vector<std::pair<std::string, std::optional<std::string>>> options_;
    std::vector<std::string> operands_;
};

// Options may stand anywhere among the operands; "--name=VALUE" and "--name VALUE" are the
// same; a negative number is an operand; "--" ends the options (so that any other word
// starting with '-' can still be given as an operand).
ParsedArguments ParseArguments(std::span<const std::string> words,
                               std::span<const OptionDefinition> options);

// Whole numbers in decimal or, with 0x, hexadecimal, within [low, high]; what names the
// thing in the error message ("dispenser", "cell").
std::int64_t ParseInteger(std::string_view text, std::string_view what, std::int64_t low,
                          std::int64_t high);
// A non-negative quantity such as litres, money or a price; a decimal comma is taken as a
// point, since that is how the station's staff write it.
double ParseQuantity(std::string_view text, std::string_view what, double high);

}  // namespace fuel::cli
