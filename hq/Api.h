// The head office's API as one function from a request to its answer: the HTTP stack's
// pipeline over the route table, with the head office's tokens, roles, schemas and formats,
// and its database failing answered 503.
#pragma once

#include "hq/Routes.h"
#include "http/Pipeline.h"

namespace fuel::hq {

class Api {
  public:
    explicit Api(Context context);
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;

    void Handle(const http::Request& request, http::Respond respond) const;

  private:
    Context context_;
    http::Pipeline pipeline_;
};

}  // namespace fuel::hq
