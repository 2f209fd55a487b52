// Command-line words in, options and operands out. A mistake here is the user's, not the
// dispenser's, so every failure is a UsageError that the program answers with exit status 2.
#pragma once

#include <cstdint>
#include <functional>
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
    const std::vector<std::string>& Operands() const { return operands_; }
    // Where the first operand stands among the words, when there is one.
    std::optional<std::size_t> FirstOperandAt() const { return firstOperandAt_; }
    // Every option as given, in order: its name and its value (none for a switch).
    using Given = std::vector<std::pair<std::string, std::optional<std::string>>>;
    const Given& AllGiven() const { return options_; }

  private:
    friend ParsedArguments ParseArguments(std::span<const std::string>,
                                          std::span<const OptionDefinition>,
                                          const std::function<void(std::string_view)>&);
    Given options_;
    std::vector<std::string> operands_;
    std::optional<std::size_t> firstOperandAt_;
};

// Options may stand anywhere among the operands; "--name=VALUE" and "--name VALUE" are the
// same; a negative number is an operand; "--" ends the options (so that any other word
// starting with '-' can still be given as an operand). An option that is not among `options`
// goes to `refuse` (its name without the dashes), which throws the UsageError that says why;
// without one it is an unknown option.
ParsedArguments ParseArguments(std::span<const std::string> words,
                               std::span<const OptionDefinition> options,
                               const std::function<void(std::string_view)>& refuse = {});

// Whole numbers in decimal or, with 0x, hexadecimal, within [low, high]; what names the
// thing in the error message ("dispenser", "cell").
std::int64_t ParseInteger(std::string_view text, std::string_view what, std::int64_t low,
                          std::int64_t high);
// A non-negative quantity such as litres, money or a price; a decimal comma is taken as a
// point, since that is how the station's staff write it.
double ParseQuantity(std::string_view text, std::string_view what, double high);

}  // namespace fuel::cli
