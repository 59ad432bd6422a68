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
  if (code == CR_SERVER_LOST || code == 2055) reason = Unavailable::kCommitUnknown;
  if (code == DBConnection::kBudgetExhausted) reason = Unavailable::kBudgetExhausted;
  return Unavailable(reason, "commit failed: " + error);
}

void raiseStatementFailure(const std::string& prefix, const char* error, unsigned int code) {
  const std::string text = prefix + (error ? error : "");
  if (DBConnection::isContentError(code)) throw TavrinException(text.c_str());
  throw Unavailable(unavailabilityOf(code), text);
}
