// What each request of the API does, once the pipeline has checked it: each handler reads
// its typed parameters and checked body from the Call, asks the forecourt and answers
// through Respond. The route table (Routes.cpp) names them.
#pragma once

#include "server/Routes.h"

namespace fuel::server::handlers {

void GetClient(Context& context, const http::Call& call, http::Respond respond);
void GetForecourt(Context& context, const http::Call& call, http::Respond respond);
void GetFuelPoint(Context& context, const http::Call& call, http::Respond respond);
void Authorise(Context& context, const http::Call& call, http::Respond respond);
void StopFill(Context& context, const http::Call& call, http::Respond respond);
void EmergencyStop(Context& context, const http::Call& call, http::Respond respond);
void Close(Context& context, const http::Call& call, http::Respond respond);
void Open(Context& context, const http::Call& call, http::Respond respond);
void ListSales(Context& context, const http::Call& call, http::Respond respond);
void GetSale(Context& context, const http::Call& call, http::Respond respond);
void LockSale(Context& context, const http::Call& call, http::Respond respond);
void UnlockSale(Context& context, const http::Call& call, http::Respond respond);
void ClearSale(Context& context, const http::Call& call, http::Respond respond);
void SetPrice(Context& context, const http::Call& call, http::Respond respond);
void Totals(Context& context, const http::Call& call, http::Respond respond);
void Reconciliation(Context& context, const http::Call& call, http::Respond respond);
void Discrepancies(Context& context, const http::Call& call, http::Respond respond);
void Events(Context& context, const http::Call& call, http::Respond respond);
void WebSocket(Context& context, const http::Call& call, http::Respond respond);
void OpenApi(Context& context, const http::Call& call, http::Respond respond);
void Health(Context& context, const http::Call& call, http::Respond respond);
void Metrics(Context& context, const http::Call& call, http::Respond respond);
void ConsoleFile(Context& context, const http::Call& call, http::Respond respond);

}  // namespace fuel::server::handlers
