// Scope guard around one servant operation.
//
// On entry it sets the request's deadline: kBudget from now, and never later
// than kClientMargin before the client's own deadline when the request
// carries one (RequestDeadline). It then waits, until the deadline at most,
// for the process-wide request lock, so that a process serves one request at
// a time on its one database connection. Every statement of the request is
// bounded by the deadline, and no commit is sent after it: a request never
// takes effect after its client has stopped waiting. Raises Unavailable
// when the deadline has already passed or the lock was not had in time.
//
// On leaving it ends the request on the connection: no table lock, no open
// transaction, no claim, autocommit on. Thread safe.
#ifndef TAVRIN_REQUESTSCOPE_H
#define TAVRIN_REQUESTSCOPE_H

#include <chrono>
#include <mutex>

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
  std::unique_lock<std::timed_mutex> lock_;
};

#endif
