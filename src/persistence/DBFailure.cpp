#include "DBFailure.h"

#include <ServerIDL.hh>
#include <errmsg.h>
#include <mysqld_error.h>

DBFailure::DBFailure(unsigned int code, const std::string& text)
    : std::runtime_error(text), code_(code) {}

DBFailure DBFailure::prefixed(const std::string& prefix) const {
  return DBFailure(code_, prefix + what());
}

bool DBFailure::isConnectionLost(unsigned int code) {
  switch (code) {
    case CR_CONNECTION_ERROR:      // 2002
    case CR_CONN_HOST_ERROR:       // 2003
    case CR_SERVER_GONE_ERROR:     // 2006
    case CR_SERVER_LOST:           // 2013
    case 2055:                     // lost, extended form
    case CR_SSL_CONNECTION_ERROR:  // 2026: lost, as a TLS link reports it
    case ER_SERVER_SHUTDOWN:       // 1053
    case ER_CONNECTION_KILLED:     // 1927
    case 4031:                     // disconnected for inactivity
      return true;
    default:
      return false;
  }
}

DBFailure::Kind DBFailure::kindOf(unsigned int code) {
  switch (code) {
    case ER_DUP_ENTRY:                        // 1062: a taken user name
    case ER_DATA_TOO_LONG:                    // 1406
    case ER_TRUNCATED_WRONG_VALUE_FOR_FIELD:  // 1366: not valid text
    case ER_TRUNCATED_WRONG_VALUE:            // 1292
    case ER_WARN_DATA_OUT_OF_RANGE:           // 1264
    case ER_BAD_NULL_ERROR:                   // 1048
    case ER_INVALID_CHARACTER_STRING:         // 1300
    case WARN_DATA_TRUNCATED:                 // 1265
    case ER_DATA_OUT_OF_RANGE:                // 1690
      return Kind::kContentRefused;
    case ER_LOCK_WAIT_TIMEOUT:
    case ER_LOCK_DEADLOCK:
    case ER_STATEMENT_TIMEOUT:
    case ER_QUERY_INTERRUPTED:
      return Kind::kLockWait;
    case kBudgetExhausted:
      return Kind::kBudget;
    default:
      return isConnectionLost(code) ? Kind::kConnectionLost : Kind::kOther;
  }
}

Unavailable::Reason unavailabilityOf(const DBFailure& f, Unavailable::Reason otherwise) {
  switch (f.kind()) {
    case DBFailure::Kind::kBudget:
      return Unavailable::kBudgetExhausted;
    case DBFailure::Kind::kLockWait:
      return Unavailable::kLockWait;
    case DBFailure::Kind::kConnectionLost:
      return Unavailable::kConnectionLost;
    default:
      return otherwise;
  }
}

Unavailable commitFailure(const DBFailure& f) {
  Unavailable::Reason reason = Unavailable::kCommitFailed;
  // A TLS link lost mid-statement reports 2026 where a plain one says 2013:
  // the commit may have happened all the same.
  if (f.code() == CR_SERVER_LOST || f.code() == 2055 || f.code() == CR_SSL_CONNECTION_ERROR)
    reason = Unavailable::kCommitUnknown;
  if (f.kind() == DBFailure::Kind::kBudget) reason = Unavailable::kBudgetExhausted;
  return Unavailable(reason, std::string("commit failed: ") + f.what());
}

void raiseFor(const DBFailure& f, const std::string& prefix) {
  const std::string text = prefix + f.what();
  if (f.kind() == DBFailure::Kind::kContentRefused) throw TavrinException(text.c_str());
  throw Unavailable(unavailabilityOf(f), text);
}
