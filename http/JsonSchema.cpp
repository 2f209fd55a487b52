#include "http/JsonSchema.h"

#include <cmath>

namespace fuel::http {
namespace {

using nlohmann::json;

// A schema that refers to itself without end would otherwise recurse until the stack is gone.
constexpr int kMaxDepth = 64;

class Checker {
  public:
    Checker(const json& root, const Formats& formats) : root_(root), formats_(formats) {}

    std::optional<std::string> Check(const json& value, const json& schema,
                                     const std::string& where, int depth) {
        if (depth > kMaxDepth)
            return Problem(where, "the schema nests too deeply");
        if (schema.is_boolean()) {
            return schema.get<bool>() ? std::nullopt : Problem(where, "is not allowed");
        }
        if (!schema.is_object())
            return Problem(where, "the schema is not an object");
        if (const auto ref = schema.find("$ref"); ref != schema.end()) {
            const json* target = Resolve(*ref);
            if (target == nullptr)
                return Problem(where, "the schema's $ref leads nowhere");
            if (auto problem = Check(value, *target, where, depth + 1))
                return problem;
        }
        if (const auto type = schema.find("type"); type != schema.end()) {
            if (auto problem = CheckType(value, *type, where))
                return problem;
        }
        if (const auto choices = schema.find("enum"); choices != schema.end()) {
            if (!choices->is_array())
                return Problem(where, "the schema's enum is not a list");
            bool found = false;
            for (const json& choice : *choices)
                found = found || choice == value;
            if (!found)
                return Problem(where, "must be one of " + choices->dump());
        }
        if (const auto constant = schema.find("const"); constant != schema.end()) {
            if (*constant != value)
                return Problem(where, "must be " + constant->dump());
        }
        if (value.is_number()) {
            if (auto problem = CheckNumber(value.get<double>(), schema, where))
                return problem;
        }
        if (value.is_string()) {
            if (auto problem = CheckString(value.get_ref<const std::string&>(), schema, where)) {
                return problem;
            }
        }
        if (value.is_object()) {
            if (auto problem = CheckObject(value, schema, where, depth))
                return problem;
        }
        if (value.is_array()) {
            if (auto problem = CheckArray(value, schema, where, depth))
                return problem;
        }
        if (const auto alternatives = schema.find("anyOf"); alternatives != schema.end()) {
            if (!alternatives->is_array())
                return Problem(where, "the schema's anyOf is not a list");
            std::optional<std::string> first;
            for (const json& alternative : *alternatives) {
                auto problem = Check(value, alternative, where, depth + 1);
                if (!problem)
                    return std::nullopt;
                if (!first)
                    first = std::move(problem);
            }
            return first ? first : Problem(where, "matches none of the alternatives");
        }
        return std::nullopt;
    }

    static std::string Child(const std::string& where, bool atRoot, const std::string& key) {
        return atRoot ? key : where + "." + key;
    }

    bool atRoot = true;

  private:
    static std::optional<std::string> Problem(const std::string& where, const std::string& what) {
        return where + ": " + what;
    }

    const json* Resolve(const json& ref) const {
        if (!ref.is_string())
            return nullptr;
        const std::string& text = ref.get_ref<const std::string&>();
        if (text.empty() || text[0] != '#')
            return nullptr;
        try {
            const json::json_pointer pointer(text.substr(1));
            return root_.contains(pointer) ? &root_.at(pointer) : nullptr;
        } catch (const json::exception&) {
            return nullptr;
        }
    }

    static bool IsType(const json& value, const std::string& name, bool& known) {
        known = true;
        if (name == "null")
            return value.is_null();
        if (name == "boolean")
            return value.is_boolean();
        if (name == "object")
            return value.is_object();
        if (name == "array")
            return value.is_array();
        if (name == "string")
            return value.is_string();
        if (name == "number")
            return value.is_number();
        // Strict: 3.0 is not taken for 3, so that an integer field never meets a fraction or
        // a value past the integers' range on its way in.
        if (name == "integer")
            return value.is_number_integer();
        known = false;
        return false;
    }

    static std::optional<std::string> CheckType(const json& value, const json& type,
                                                const std::string& where) {
        std::vector<std::string> names;
        if (type.is_string()) {
            names.push_back(type.get<std::string>());
        } else if (type.is_array()) {
            for (const json& name : type) {
                if (!name.is_string())
                    return Problem(where, "the schema's type is not a name");
                names.push_back(name.get<std::string>());
            }
        } else {
            return Problem(where, "the schema's type is not a name");
        }
        std::string expected;
        for (const std::string& name : names) {
            bool known = false;
            if (IsType(value, name, known))
                return std::nullopt;
            if (!known)
                return Problem(where, "the schema names an unknown type " + name);
            expected += (expected.empty() ? "" : " or ") + Article(name) + name;
        }
        return Problem(where, "must be " + expected);
    }

    static std::string Article(const std::string& name) {
        if (name == "null")
            return "";
        if (name == "array" || name == "object" || name == "integer")
            return "an ";
        return "a ";
    }

    static std::string Number(double value) {
        json text = value;
        if (std::floor(value) == value && std::fabs(value) < 1e15) {
            text = static_cast<std::int64_t>(value);
        }
        return text.dump();
    }

    static std::optional<std::string> CheckNumber(double value, const json& schema,
                                                  const std::string& where) {
        const auto bound = [&](const char* key) -> std::optional<double> {
            const auto found = schema.find(key);
            if (found == schema.end() || !found->is_number())
                return std::nullopt;
            return found->get<double>();
        };
        if (const auto low = bound("minimum"); low && !(value >= *low)) {
            return Problem(where, "must be at least " + Number(*low));
        }
        if (const auto high = bound("maximum"); high && !(value <= *high)) {
            return Problem(where, "must be at most " + Number(*high));
        }
        if (const auto low = bound("exclusiveMinimum"); low && !(value > *low)) {
            return Problem(where, "must be greater than " + Number(*low));
        }
        if (const auto high = bound("exclusiveMaximum"); high && !(value < *high)) {
            return Problem(where, "must be less than " + Number(*high));
        }
        return std::nullopt;
    }

    static std::size_t CodePoints(const std::string& text) {
        std::size_t count = 0;
        for (const char c : text)
            count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        return count;
    }

    std::optional<std::string> CheckString(const std::string& text, const json& schema,
                                           const std::string& where) const {
        const std::size_t length = CodePoints(text);
        if (const auto low = schema.find("minLength"); low != schema.end() && low->is_number()) {
            if (length < low->get<std::size_t>()) {
                return Problem(where, low->get<std::size_t>() == 1
                                          ? "must not be empty"
                                          : "must be at least " + low->dump() + " characters");
            }
        }
        if (const auto high = schema.find("maxLength"); high != schema.end() && high->is_number()) {
            if (length > high->get<std::size_t>()) {
                return Problem(where, "must be at most " + high->dump() + " characters");
            }
        }
        if (const auto format = schema.find("format");
            format != schema.end() && format->is_string()) {
            const auto known = formats_.find(format->get_ref<const std::string&>());
            if (known != formats_.end() && !known->second.accepts(text))
                return Problem(where, "must be " + known->second.expected);
        }
        return std::nullopt;
    }

    std::optional<std::string> CheckObject(const json& value, const json& schema,
                                           const std::string& where, int depth) {
        const bool wasRoot = atRoot;
        atRoot = false;
        struct Restore {
            bool& flag;
            bool value;
            ~Restore() { flag = value; }
        } restore{atRoot, wasRoot};

        const auto properties = schema.find("properties");
        const bool hasProperties = properties != schema.end() && properties->is_object();
        if (const auto required = schema.find("required"); required != schema.end()) {
            for (const json& name : *required) {
                if (name.is_string() && !value.contains(name.get<std::string>())) {
                    return Problem(Child(where, wasRoot, name.get<std::string>()), "is missing");
                }
            }
        }
        const auto additional = schema.find("additionalProperties");
        for (const auto& [key, member] : value.items()) {
            const std::string at = Child(where, wasRoot, key);
            if (hasProperties && properties->contains(key)) {
                if (auto problem = Check(member, (*properties)[key], at, depth + 1))
                    return problem;
            } else if (additional != schema.end()) {
                if (additional->is_boolean() && !additional->get<bool>()) {
                    return Problem(at, "is not a field of this object");
                }
                if (auto problem = Check(member, *additional, at, depth + 1))
                    return problem;
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> CheckArray(const json& value, const json& schema,
                                          const std::string& where, int depth) {
        const auto count = [&](const char* key) -> std::optional<std::size_t> {
            const auto found = schema.find(key);
            if (found == schema.end() || !found->is_number_unsigned())
                return std::nullopt;
            return found->get<std::size_t>();
        };
        if (const auto low = count("minItems"); low && value.size() < *low) {
            return Problem(where, "must hold at least " + std::to_string(*low) + " items");
        }
        if (const auto high = count("maxItems"); high && value.size() > *high) {
            return Problem(where, "must hold at most " + std::to_string(*high) + " items");
        }
        const auto items = schema.find("items");
        if (items == schema.end())
            return std::nullopt;
        const bool wasRoot = atRoot;
        atRoot = false;
        std::optional<std::string> problem;
        for (std::size_t i = 0; i < value.size() && !problem; ++i) {
            problem = Check(value[i], *items, where + "[" + std::to_string(i) + "]", depth + 1);
        }
        atRoot = wasRoot;
        return problem;
    }

    const json& root_;
    const Formats& formats_;
};

}  // namespace

std::optional<std::string> Validate(const nlohmann::json& value, const nlohmann::json& schema,
                                    const nlohmann::json& root, const Formats& formats,
                                    const std::string& name) {
    Checker checker(root, formats);
    return checker.Check(value, schema, name, 0);
}

}  // namespace fuel::http
