// The daemon's log is the HTTP stack's (http/Log.h): one format for both daemons, named here
// as the server's own.
#pragma once

#include "http/Log.h"

namespace fuel::server {

using http::Log;
using http::Priority;
using http::SetVerbose;

}  // namespace fuel::server
