// The head office's API as data: its route table (http/Routes.h), from which the router, the
// checks on parameters and bodies and the OpenAPI document are all made, and the context
// its handlers work with.
#pragma once

#include <vector>

#include "hq/Bounds.h"
#include "http/Routes.h"

namespace fuel::hq {

class ConnectionPool;
class Tokens;

struct Context : http::HandlerContext {
    ConnectionPool& pool;  // the API's connections
    Tokens& tokens;
    ConfiguredBounds bounds;  // hq.ini's [bounds]
};

// Made once.
const std::vector<http::Route>& Routes();

}  // namespace fuel::hq
