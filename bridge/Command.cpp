#include "bridge/Command.h"

#include <cmath>

#include "bridge/Topics.h"

namespace fuel::bridge {
namespace {

using forecourt::Permission;
using forecourt::Status;

constexpr SenderRule kPriceRule{kPriceCommand, Permission::Price, reason::kRoleMayNot,
                                "change prices"};

// "backoffice": the roles that may, for the refusal's message.
std::string RolesThatMay(Permission permission) {
    std::string names;
    for (const Role role : forecourt::RolesWith(permission)) {
        if (!names.empty())
            names += " or ";
        names += forecourt::Name(role);
    }
    return names;
}

Reply Invalid(const SenderRule& rule, std::optional<std::string> id, std::string identity,
              std::string message) {
    Reply reply;
    reply.command = rule.command;
    reply.id = std::move(id);
    reply.identity = std::move(identity);
    reply.status = forecourt::Name(Status::Invalid);
    reply.reason = forecourt::reason::kBadRequest;
    reply.message = std::move(message);
    return reply;
}

Reply Forbidden(const SenderRule& rule, std::string id, std::string identity, std::string_view why,
                std::string message) {
    Reply reply;
    reply.command = rule.command;
    reply.id = std::move(id);
    reply.identity = std::move(identity);
    reply.status = reason::kForbidden;
    reply.reason = why;
    reply.message = std::move(message);
    return reply;
}

}  // namespace

nlohmann::json ToJson(const Reply& reply, std::string_view station) {
    nlohmann::json json = {
        {"id", reply.id ? nlohmann::json(*reply.id) : nlohmann::json(nullptr)},
        {"station", station},
        {"command", reply.command},
        {"from", reply.identity.empty() ? nlohmann::json(nullptr) : nlohmann::json(reply.identity)},
        {"status", reply.status},
        {"replayed", reply.replayed},
        {"data", reply.data},
    };
    if (!reply.reason.empty())
        json["reason"] = reply.reason;
    if (!reply.message.empty())
        json["message"] = reply.message;
    return json;
}

std::variant<CommandHead, Reply> ReadCommandHead(const std::optional<std::string>& identity,
                                                 std::string_view topic, std::string_view payload,
                                                 const Identities& identities,
                                                 const SenderRule& rule) {
    if (payload.size() > kMaxCommandBytes) {
        return Invalid(rule, std::nullopt, identity.value_or(""),
                       "the command is longer than " + std::to_string(kMaxCommandBytes) + " bytes");
    }
    CommandHead head;
    head.json = nlohmann::json::parse(payload, nullptr, false);
    if (head.json.is_discarded() || !head.json.is_object()) {
        return Invalid(rule, std::nullopt, identity.value_or(""),
                       "the command is not a JSON object");
    }
    const auto id = head.json.find("id");
    if (id == head.json.end() || !id->is_string() || id->get_ref<const std::string&>().empty()) {
        return Invalid(rule, std::nullopt, identity.value_or(""),
                       "the command has no \"id\" (a non-empty string)");
    }
    head.id = id->get<std::string>();
    if (head.id.size() > kMaxCommandId) {
        return Invalid(
            rule, std::nullopt, identity.value_or(""),
            "the command's \"id\" is longer than " + std::to_string(kMaxCommandId) + " bytes");
    }
    if (!identity) {
        return Invalid(rule, head.id, "",
                       "the topic names no sender: \"" + std::string(topic) + "\"");
    }
    head.identity = *identity;
    const auto known = identities.find(head.identity);
    if (known == identities.end()) {
        return Forbidden(rule, head.id, head.identity, reason::kUnknownIdentity,
                         "\"" + head.identity + "\" has no role at this station");
    }
    if (!forecourt::Allows(known->second, rule.permission)) {
        return Forbidden(rule, head.id, head.identity, rule.mayNot,
                         "\"" + head.identity + "\" is " + std::string(Name(known->second)) +
                             "; only " + RolesThatMay(rule.permission) + " may " +
                             std::string(rule.what));
    }
    return head;
}

std::variant<PriceCommand, Reply> ReadPriceCommand(std::string_view topic, std::string_view payload,
                                                   const Identities& identities) {
    auto head = ReadCommandHead(CommandIdentity(topic), topic, payload, identities, kPriceRule);
    if (auto* refused = std::get_if<Reply>(&head))
        return std::move(*refused);
    CommandHead& read = std::get<CommandHead>(head);
    PriceCommand command;
    command.id = std::move(read.id);
    command.identity = std::move(read.identity);
    const nlohmann::json& json = read.json;
    const auto grade = json.find("grade");
    if (grade == json.end() || !grade->is_string() ||
        grade->get_ref<const std::string&>().empty()) {
        return Invalid(kPriceRule, command.id, command.identity,
                       "the command has no \"grade\" (a string)");
    }
    command.grade = grade->get<std::string>();
    const auto price = json.find("price");
    if (price == json.end() || !price->is_number() || !std::isfinite(price->get<double>()) ||
        price->get<double>() <= 0) {
        return Invalid(kPriceRule, command.id, command.identity,
                       "the command has no \"price\" (a number above 0)");
    }
    command.price = price->get<double>();
    return command;
}

Reply ReplyTo(const PriceCommand& command, const forecourt::Outcome& outcome) {
    Reply reply;
    reply.id = command.id;
    reply.identity = command.identity;
    reply.status = forecourt::Name(outcome.status);
    reply.reason = outcome.reason;
    reply.message = outcome.message;
    reply.data = outcome.data;
    reply.replayed = outcome.replayed;
    return reply;
}

}  // namespace fuel::bridge
