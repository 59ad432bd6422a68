#include "RequestLogPruner.h"

#include <mutex>
#include <string>
#include <thread>

#include "DBConnection.h"
#include "RequestScope.h"
#include "Trace.h"
#include "Unavailable.h"

long long RequestLogPruner::pruneBatch() {
  RequestScope scope;
  // A batch that meets a row held by a request gives up soon, and the next
  // round tries again.
  DBConnection::getInstance()->setDeadline(std::chrono::steady_clock::now() + kBatchBudget);
  const std::string stmt = "delete from transactions where loggedAt < now() - interval " +
                           std::to_string(kMaxAgeHours) + " hour limit " +
                           std::to_string(kBatchRows);
  DBConnection* conn = DBConnection::getInstance();
  conn->execute(stmt);
  const my_ulonglong n = mysql_affected_rows(DBConnection::getHandle());
  return n == static_cast<my_ulonglong>(-1) ? 0 : static_cast<long long>(n);
}

long long RequestLogPruner::pruneOnce() {
  long long total = 0;
  try {
    for (int i = 0; i < kMaxBatches; ++i) {
      const long long n = pruneBatch();
      total += n;
      if (n < kBatchRows) break;
    }
  } catch (const DBFailure& f) {
    trace("Request log: pruning stopped: ", TraceValue{f.what()});
  } catch (const Unavailable& e) {
    trace("Request log: pruning stopped: ", TraceValue{e.what()});
  }
  if (total > 0) trace("Request log: pruned ", total, " rows older than a day");
  return total;
}

void RequestLogPruner::start() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::thread([] {
      for (;;) {
        pruneOnce();
        std::this_thread::sleep_for(kInterval);
      }
    }).detach();
  });
}
