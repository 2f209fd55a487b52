// The head office's console as fuel-hq carries it: its own files (hq/web/) and the station
// console's generic modules it shares (web/: the API client, the event stream and its
// parser, trying again, the page's elements, the words' machinery), embedded by the build
// (cmake/EmbedFiles.cmake) and served by the HTTP stack's StaticFiles at / and /assets/.
#pragma once

#include "http/StaticFiles.h"

namespace fuel::hq {

const http::StaticFiles& ConsoleFiles();

// Generated from hq/web/ and from the shared files of web/ that hq/CMakeLists.txt names.
const http::EmbeddedFiles& EmbeddedConsoleFiles();
const http::EmbeddedFiles& EmbeddedSharedConsoleFiles();

}  // namespace fuel::hq
