#include "RequestScope.h"

#include "DBConnection.h"
#include "DBTransaction.h"
#include "RequestDeadline.h"
#include "Unavailable.h"

namespace {

std::timed_mutex& requestMutex() {
  static std::timed_mutex m;
  return m;
}

}  // namespace

RequestScope::RequestScope() : lock_(requestMutex(), std::defer_lock) {
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
  if (!lock_.try_lock_until(deadline)) {
    throw Unavailable(Unavailable::kBudgetExhausted,
                      "The request waited its whole time budget for the one before it");
  }
  DBConnection::getInstance()->setDeadline(deadline);
}

RequestScope::~RequestScope() {
  if (!lock_.owns_lock()) return;
  DBTransaction transaction;
  transaction.endRequest();
}
