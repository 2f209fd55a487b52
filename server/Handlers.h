// What each request of the API does, once the router (Api.cpp) has checked it: each handler
// reads its typed parameters and checked body from the Call, asks the forecourt and answers
// through Reply. The route table (Routes.cpp) names them.
#pragma once

#include "server/Routes.h"

namespace fuel::server::handlers {

void GetClient(Context& context, const Call& call, Reply reply);
void GetForecourt(Context& context, const Call& call, Reply reply);
void GetFuelPoint(Context& context, const Call& call, Reply reply);
void Authorise(Context& context, const Call& call, Reply reply);
void StopFill(Context& context, const Call& call, Reply reply);
void EmergencyStop(Context& context, const Call& call, Reply reply);
void Close(Context& context, const Call& call, Reply reply);
void Open(Context& context, const Call& call, Reply reply);
void ListSales(Context& context, const Call& call, Reply reply);
void GetSale(Context& context, const Call& call, Reply reply);
void LockSale(Context& context, const Call& call, Reply reply);
void UnlockSale(Context& context, const Call& call, Reply reply);
void ClearSale(Context& context, const Call& call, Reply reply);
void SetPrice(Context& context, const Call& call, Reply reply);
void Totals(Context& context, const Call& call, Reply reply);
void Reconciliation(Context& context, const Call& call, Reply reply);
void Events(Context& context, const Call& call, Reply reply);
void WebSocket(Context& context, const Call& call, Reply reply);
void OpenApi(Context& context, const Call& call, Reply reply);
void Health(Context& context, const Call& call, Reply reply);
void Metrics(Context& context, const Call& call, Reply reply);
void ConsoleFile(Context& context, const Call& call, Reply reply);

}  // namespace fuel::server::handlers
