#include "DBFailure.h"

#include <ServerIDL.hh>

#include "DBConnection.h"

Unavailable::Reason unavailabilityOf(unsigned int code) {
  if (code == DBConnection::kBudgetExhausted) return Unavailable::kBudgetExhausted;
  if (DBConnection::isTimeLimit(code)) return Unavailable::kLockWait;
  if (DBConnection::isConnectionLost(code)) return Unavailable::kConnectionLost;
  return Unavailable::kStatementFailed;
}

void raiseStatementFailure(const std::string& prefix, const char* error, unsigned int code) {
  const std::string text = prefix + (error ? error : "");
  if (DBConnection::isContentError(code)) throw TavrinException(text.c_str());
  throw Unavailable(unavailabilityOf(code), text);
}
