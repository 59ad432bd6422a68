// Scope guard around one servant operation.
//
// On entry it sets the request's deadline: kBudget from now, and never later
// than kClientMargin before the client's own deadline when the request
// carries one (RequestDeadline). It then takes a database connection from
// the process's pool (ConnectionPool), bound to this thread for the
// request: requests of one process run side by side, each on its own
// connection. Every statement of the request is bounded by the deadline,
// and no commit is sent after it: a request never takes effect after its
// client has stopped waiting. Raises Unavailable when the deadline has
// already passed, or the pool refused the request or had no connection in
// time. Each of the request's trace lines carries a serial number of the
// process (setTraceRequest), until RequestProtocol names the request.
//
// On leaving it ends the request on its connection (no row lock, no open
// transaction, no claim, autocommit on) and gives the connection back.
// Lives on one thread; the class is thread safe.
#ifndef TAVRIN_REQUESTSCOPE_H
#define TAVRIN_REQUESTSCOPE_H

#include <chrono>
#include <memory>

#include "ConnectionPool.h"

class RequestScope {
 public:
  // Well inside the client's 10 s limit, with room for the reply.
  static constexpr std::chrono::milliseconds kBudget{8000};
  static constexpr std::chrono::milliseconds kClientMargin{1000};

  RequestScope();
  ~RequestScope();
  RequestScope(const RequestScope&) = delete;
  RequestScope& operator=(const RequestScope&) = delete;

 private:
  std::unique_ptr<ConnectionPool::Lease> lease_;
};

#endif
