// Scope guard around one servant operation.
//
// Holds the process-wide request lock, so that a process serves one request
// at a time on its one database connection, and on leaving ends the request
// on that connection: no table lock, no open transaction, autocommit on.
// Thread safe.
#ifndef TAVRIN_REQUESTSCOPE_H
#define TAVRIN_REQUESTSCOPE_H

#include <mutex>

class RequestScope {
 public:
  RequestScope();
  ~RequestScope();
  RequestScope(const RequestScope&) = delete;
  RequestScope& operator=(const RequestScope&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

#endif
