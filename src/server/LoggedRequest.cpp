#include "LoggedRequest.h"

#include "Contract.h"
#include "CustTransaction.h"
#include "DBFailure.h"
#include "Unavailable.h"

#include <mysqld_error.h>

LoggedRequest::LoggedRequest(const std::string& username, const ClientTransaction& ctinfo)
    : username_(username), ctinfo_(ctinfo), session_(nullptr), noSession_(nullptr) {}

void LoggedRequest::requireSession(const Ticket& ticket, const char* refusal) {
  session_ = &ticket;
  noSession_ = refusal;
}

void LoggedRequest::supply(RequestProtocol::Steps& steps, std::function<void()> checkTicket) {
  steps.claim = DBTransaction::claimKey(username_, str(ctinfo_.clientID), ctinfo_.transactionID);
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
// replica may have ended it: a discontinuation).
bool LoggedRequest::answeredFromLog() {
  CustTransaction log;
  std::string refusal;
  if (!log._CheckTransaction(username_, str(ctinfo_.clientID), ctinfo_.transactionID, &refusal,
                             nullptr, nullptr))
    return false;
  if (!refusal.empty()) throw TavrinException(refusal.c_str());
  return true;
}

bool LoggedRequest::insert(const std::string& refusal) {
  try {
    CustTransaction()._AddTransaction(username_, str(ctinfo_.clientID), ctinfo_.transactionID,
                                      refusal);
    return true;
  } catch (const DBFailure& f) {
    if (f.code() != ER_DUP_ENTRY) throw;
  }
  return false;
}

// Another replica's entry, committed while this one waited on its key.
bool LoggedRequest::answeredByOther() {
  if (answeredFromLog()) return true;
  throw Unavailable(Unavailable::kStatementFailed, "the request's log entry could not be read");
}

bool LoggedRequest::logFirst() { return !insert("") && answeredByOther(); }

bool LoggedRequest::sessionEnded() {
  if (session_ == nullptr) return false;
  return !CustTransaction().SessionStored(username_, session_->token);
}

bool LoggedRequest::record(const std::string& refusal, bool rowKept) {
  if (rowKept) {
    CustTransaction().SetRefusal(username_, str(ctinfo_.clientID), ctinfo_.transactionID,
                                 refusal);
    return true;
  }
  // The entry went with the rollback; another replica may have logged the
  // request since, and then its answer is the one.
  return insert(refusal) || !answeredByOther();
}
