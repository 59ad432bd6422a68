#include "DBFailure.h"

#include <ServerIDL.hh>
#include <errmsg.h>

#include "DBConnection.h"

Unavailable::Reason unavailabilityOf(unsigned int code) {
  if (code == DBConnection::kBudgetExhausted) return Unavailable::kBudgetExhausted;
  if (DBConnection::isTimeLimit(code)) return Unavailable::kLockWait;
  if (DBConnection::isConnectionLost(code)) return Unavailable::kConnectionLost;
  return Unavailable::kStatementFailed;
}

Unavailable::Reason unavailabilityOf(unsigned int code, Unavailable::Reason otherwise) {
  Unavailable::Reason r = unavailabilityOf(code);
  return r == Unavailable::kStatementFailed ? otherwise : r;
}

Unavailable commitFailure(unsigned int code, const std::string& error) {
  Unavailable::Reason reason = Unavailable::kCommitFailed;
  // A TLS link lost mid-statement reports 2026 where a plain one says 2013:
  // the commit may have happened all the same.
  if (code == CR_SERVER_LOST || code == 2055 || code == CR_SSL_CONNECTION_ERROR)
    reason = Unavailable::kCommitUnknown;
  if (code == DBConnection::kBudgetExhausted) reason = Unavailable::kBudgetExhausted;
  return Unavailable(reason, "commit failed: " + error);
}

void raiseStatementFailure(const std::string& prefix, const char* error, unsigned int code) {
  const std::string text = prefix + (error ? error : "");
  if (DBConnection::isContentError(code)) throw TavrinException(text.c_str());
  throw Unavailable(unavailabilityOf(code), text);
}
