// The head office's handlers, one per route of Routes.cpp: each reads what it needs from
// PostgreSQL on a connection of the pool and answers at once.
#pragma once

#include "hq/Routes.h"

namespace fuel::hq::handlers {

using http::Call;
using http::Respond;

void GetClient(Context& context, const Call& call, Respond respond);
void GetStations(Context& context, const Call& call, Respond respond);
void GetStation(Context& context, const Call& call, Respond respond);
void GetSales(Context& context, const Call& call, Respond respond);
void GetSalesReport(Context& context, const Call& call, Respond respond);
void GetAlarms(Context& context, const Call& call, Respond respond);
void AcknowledgeAlarm(Context& context, const Call& call, Respond respond);
// Price campaigns and the grades' bounds (CampaignHandlers.cpp).
void GetPriceBounds(Context& context, const Call& call, Respond respond);
void SetPriceBounds(Context& context, const Call& call, Respond respond);
void CheckCampaign(Context& context, const Call& call, Respond respond);
void CreateCampaign(Context& context, const Call& call, Respond respond);
void GetCampaigns(Context& context, const Call& call, Respond respond);
void GetCampaign(Context& context, const Call& call, Respond respond);
void ApproveCampaign(Context& context, const Call& call, Respond respond);
void CancelCampaign(Context& context, const Call& call, Respond respond);
void Changes(Context& context, const Call& call, Respond respond);
void OpenApi(Context& context, const Call& call, Respond respond);
void Health(Context& context, const Call& call, Respond respond);
// The console's page and files (hq/Console.cpp).
void ConsoleFile(Context& context, const Call& call, Respond respond);

}  // namespace fuel::hq::handlers
