#include "RequestScope.h"

#include <atomic>
#include <string>

#include "DBConnection.h"
#include "DBTransaction.h"
#include "RequestDeadline.h"
#include "Trace.h"
#include "Unavailable.h"

namespace {
std::atomic<unsigned long> serial{0};
}  // namespace

RequestScope::RequestScope() {
  using std::chrono::steady_clock;
  using std::chrono::system_clock;
  const steady_clock::time_point now = steady_clock::now();
  steady_clock::time_point deadline = now + kBudget;
  RequestDeadline::TimePoint client;
  if (RequestDeadline::received(&client)) {
    const auto left = client - kClientMargin - system_clock::now();
    deadline = std::min(deadline, now + std::chrono::duration_cast<steady_clock::duration>(left));
  }
  if (deadline <= now) {
    throw Unavailable(Unavailable::kBudgetExhausted,
                      "The client's deadline passed before the request was served");
  }
  lease_ = ConnectionPool::instance().acquire(
      system_clock::now() + std::chrono::duration_cast<system_clock::duration>(deadline - now));
  setTraceRequest("r" + std::to_string(++serial));
  DBConnection::getInstance()->setDeadline(deadline);
}

RequestScope::~RequestScope() {
  DBTransaction::endRequest();
  setTraceRequest("");
}
