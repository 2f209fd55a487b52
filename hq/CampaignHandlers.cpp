// The handlers of the price campaigns and the grades' bounds: each reads the request, asks
// the store (Campaigns.h, Bounds.h), whose rules decide, and answers.
#include "hq/Campaigns.h"
#include "hq/ConnectionPool.h"
#include "hq/Handlers.h"
#include "hq/Paging.h"
#include "http/Pipeline.h"

namespace fuel::hq::handlers {
namespace {

using http::ErrorResponse;
using http::JsonResponse;
using nlohmann::json;

std::optional<double> OptionalNumber(const json& body, const char* name) {
    const auto found = body.find(name);
    if (found == body.end() || found->is_null())
        return std::nullopt;
    return found->get<double>();
}

std::vector<std::string> Names(const json& body, const char* name) {
    const auto found = body.find(name);
    if (found == body.end())
        return {};
    std::vector<std::string> names = found->get<std::vector<std::string>>();
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

// The pipeline has checked the body against CampaignRequest.
CampaignRequest RequestOf(const Call& call) {
    const json& body = call.body;
    CampaignRequest request;
    request.grade = body.at("grade").get<std::string>();
    request.price = body.at("price").get<double>();
    request.stations = Names(body, "stations");
    request.groups = Names(body, "groups");
    if (const auto at = body.find("at"); at != body.end() && at->is_string())
        request.at = http::ParseTime(at->get<std::string>());
    if (const auto note = body.find("note"); note != body.end() && note->is_string())
        request.note = note->get<std::string>();
    return request;
}

http::Response Refused(const CampaignRefusal& refusal) {
    return ErrorResponse(refusal.code == refusal::kKeyReused ? 409 : 400, refusal.code,
                         refusal.message);
}

http::Response NoCampaign(std::int64_t id) {
    return ErrorResponse(404, "no-campaign", "there is no campaign " + std::to_string(id));
}

std::int64_t IdOf(const Call& call) {
    return call.parameters.at("id").get<std::int64_t>();
}

}  // namespace

void GetPriceBounds(Context& context, const Call&, Respond respond) {
    const auto all =
        context.pool.With([&](Connection& db) { return AllBounds(db, context.bounds); });
    json bounds = json::array();
    for (const GradeBounds& grade : all)
        bounds.push_back(ToJson(grade));
    respond(JsonResponse(200, {{"bounds", std::move(bounds)}}));
}

void SetPriceBounds(Context& context, const Call& call, Respond respond) {
    const std::string grade = call.parameters.at("grade").get<std::string>();
    if (grade == kEveryGrade) {
        respond(ErrorResponse(400, http::kBadRequestCode,
                              "the bounds of every grade (*) are the configuration's; set a "
                              "grade's own"));
        return;
    }
    const Limits limits{OptionalNumber(call.body, "lowest"), OptionalNumber(call.body, "highest"),
                        OptionalNumber(call.body, "largestChange")};
    if (const auto problem = LimitsProblem(limits)) {
        respond(ErrorResponse(400, http::kBadRequestCode, *problem));
        return;
    }
    const GradeBounds set = context.pool.With([&](Connection& db) {
        return SetBounds(db, context.bounds, grade, limits, call.principal->name);
    });
    respond(JsonResponse(200, ToJson(set)));
}

void CheckCampaign(Context& context, const Call& call, Respond respond) {
    const CampaignRequest request = RequestOf(call);
    const auto planned = context.pool.With(
        [&](Connection& db) { return PlanCampaign(db, context.bounds, request); });
    if (const auto* refused = std::get_if<CampaignRefusal>(&planned)) {
        respond(Refused(*refused));
        return;
    }
    respond(JsonResponse(200, ToJson(std::get<CampaignPlan>(planned))));
}

void CreateCampaign(Context& context, const Call& call, Respond respond) {
    const CampaignRequest request = RequestOf(call);
    const auto made = context.pool.With([&](Connection& db) -> std::variant<json, CampaignRefusal> {
        const auto id = hq::CreateCampaign(db, context.bounds, request, call.principal->name,
                                           call.idempotencyKey);
        if (const auto* refused = std::get_if<CampaignRefusal>(&id))
            return *refused;
        return CampaignJson(db, std::get<std::int64_t>(id), true);
    });
    if (const auto* refused = std::get_if<CampaignRefusal>(&made)) {
        respond(Refused(*refused));
        return;
    }
    respond(JsonResponse(201, std::get<json>(made)));
}

void GetCampaigns(Context& context, const Call& call, Respond respond) {
    const std::size_t limit = LimitOf(call);
    std::optional<std::int64_t> before;
    if (call.parameters.contains("cursor")) {
        const auto key = DecodeCursor(call.parameters.at("cursor").get<std::string>());
        if (!key || !key->is_number_integer()) {
            respond(ErrorResponse(400, http::kBadRequestCode, "cursor: not one this list gave"));
            return;
        }
        before = key->get<std::int64_t>();
    }
    std::vector<json> rows = context.pool.With(
        [&](Connection& db) { return CampaignList(db, before, static_cast<int>(limit) + 1); });
    json next = nullptr;
    if (rows.size() > limit) {
        rows.resize(limit);
        next = NextLink(call, EncodeCursor(rows.back()["id"]));
    }
    respond(JsonResponse(200, {{"campaigns", std::move(rows)}, {"next", std::move(next)}}));
}

void GetCampaign(Context& context, const Call& call, Respond respond) {
    const std::int64_t id = IdOf(call);
    json campaign = context.pool.With([&](Connection& db) { return CampaignJson(db, id, true); });
    respond(campaign.is_null() ? NoCampaign(id) : JsonResponse(200, campaign));
}

void ApproveCampaign(Context& context, const Call& call, Respond respond) {
    const std::int64_t id = IdOf(call);
    const auto [approval, campaign] = context.pool.With([&](Connection& db) {
        const Approval approval = hq::ApproveCampaign(db, id, call.principal->name);
        return std::pair(approval, CampaignJson(db, id, true));
    });
    switch (approval) {
        case Approval::NoSuchCampaign:
            respond(NoCampaign(id));
            return;
        case Approval::NotHeld:
            respond(ErrorResponse(409, "not-held",
                                  "campaign " + std::to_string(id) +
                                      " is not held: it broke no bound, or it is approved or "
                                      "cancelled already"));
            return;
        case Approval::OwnCampaign:
            respond(ErrorResponse(403, "own-campaign",
                                  "campaign " + std::to_string(id) +
                                      " is yours: another administrator must approve it"));
            return;
        case Approval::Approved:
            respond(JsonResponse(200, campaign));
            return;
    }
}

void CancelCampaign(Context& context, const Call& call, Respond respond) {
    const std::int64_t id = IdOf(call);
    const auto [cancelling, campaign] = context.pool.With([&](Connection& db) {
        const Cancelling cancelling = hq::CancelCampaign(db, id, call.principal->name);
        return std::pair(cancelling, CampaignJson(db, id, true));
    });
    switch (cancelling) {
        case Cancelling::NoSuchCampaign:
            respond(NoCampaign(id));
            return;
        case Cancelling::Finished:
            respond(ErrorResponse(409, "finished",
                                  "campaign " + std::to_string(id) +
                                      " has nothing left to cancel: every station has answered"));
            return;
        case Cancelling::Cancelled:
            respond(JsonResponse(200, campaign));
            return;
    }
}

}  // namespace fuel::hq::handlers
