// The forecourt's API as one function from a request to its answer: the HTTP stack's
// pipeline (http/Pipeline.h) over the forecourt's route table, with what the forecourt plugs
// into it: its tokens, its roles, its schemas and their formats, and its journal failing as a
// 503.
#pragma once

#include "http/Pipeline.h"
#include "server/Routes.h"

namespace fuel::server {

class Api {
  public:
    explicit Api(Context context);
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;

    // respond is called exactly once: at once for what the pipeline refuses or a handler
    // answers from a query, later (from a forecourt thread) for a command.
    void Handle(const http::Request& request, http::Respond respond) const;

  private:
    Context context_;
    http::Pipeline pipeline_;
};

}  // namespace fuel::server
