// The station's console as fuel-forecourtd carries it: the build embeds web/
// (cmake/EmbedFiles.cmake), and the HTTP stack's StaticFiles serves it.
#pragma once

#include "http/StaticFiles.h"

namespace fuel::server {

const http::StaticFiles& ConsoleFiles();

// The files as the build embeds them (generated from web/): each file's name and bytes.
const http::EmbeddedFiles& EmbeddedConsoleFiles();

}  // namespace fuel::server
