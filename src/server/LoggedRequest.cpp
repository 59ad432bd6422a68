#include "LoggedRequest.h"

#include "Contract.h"
#include "CustTransaction.h"
#include "DBFailure.h"
#include "Sessions.h"
#include "Unavailable.h"

#include <mysqld_error.h>

LoggedRequest::LoggedRequest(const std::string& username, const ClientTransaction& ctinfo,
                             const char* operation, const std::string& callerTag)
    : noSession_(nullptr) {
  key_.username = username;
  key_.clientID = str(ctinfo.clientID);
  key_.transactionID = ctinfo.transactionID;
  key_.operation = operation;
  key_.callerTag = callerTag;
}

LoggedRequest LoggedRequest::forTicket(const Ticket& ticket, const ClientTransaction& ctinfo,
                                       const char* operation) {
  return LoggedRequest(str(ticket.username), ctinfo, operation, Sessions::tag(ticket));
}

void LoggedRequest::requireSession(const Ticket& ticket, const char* refusal) {
  sessionTag_ = Sessions::tag(ticket);
  noSession_ = refusal;
}

void LoggedRequest::supply(RequestProtocol::Steps& steps, std::function<void()> checkTicket) {
  steps.claim = DBTransaction::claimKey(key_.username, key_.clientID, key_.transactionID);
  steps.beforeLock = [this, checkTicket] {
    if (answeredFromLog()) return true;
    if (checkTicket) checkTicket();
    return false;
  };
  steps.logFirst = [this] { return logFirst(); };
  steps.underLock = [this] {
    if (sessionEnded()) throw TavrinException(noSession_);
    return false;
  };
  steps.record = [this](const std::string& refusal, bool rowKept) {
    return record(refusal, rowKept);
  };
}

// A logged answer is final, also once the session has ended (the first
// replica may have ended it: a discontinuation). It goes only to the caller
// that made the request.
bool LoggedRequest::answeredFromLog() {
  CustTransaction::Entry entry;
  if (!CustTransaction().CheckTransaction(key_, &entry)) return false;
  if (!entry.refusal.empty()) throw TavrinException(entry.refusal.c_str());
  return true;
}

bool LoggedRequest::insert(const std::string& refusal) {
  try {
    CustTransaction().AddTransaction(key_, refusal);
    return true;
  } catch (const DBFailure& f) {
    if (f.code() != ER_DUP_ENTRY) throw;
  }
  return false;
}

// Another replica's entry, committed while this one waited on its key. An
// entry of another caller under the same key is not this caller's answer.
bool LoggedRequest::answeredByOther() {
  if (answeredFromLog()) return true;
  throw Unavailable(Unavailable::kStatementFailed, "the request's log entry could not be read");
}

bool LoggedRequest::logFirst() { return !insert("") && answeredByOther(); }

bool LoggedRequest::sessionEnded() {
  return noSession_ != nullptr && !Sessions::live(key_.username, sessionTag_);
}

bool LoggedRequest::record(const std::string& refusal, bool rowKept) {
  if (rowKept) {
    CustTransaction().SetRefusal(key_, refusal);
    return true;
  }
  // The entry went with the rollback; another replica may have logged the
  // request since, and then its answer is the one.
  return insert(refusal) || !answeredByOther();
}
