#include "LoggedRequest.h"

#include "Contract.h"
#include "CustTransaction.h"

LoggedRequest::LoggedRequest(const std::string& username, const ClientTransaction& ctinfo)
    : username_(username), ctinfo_(ctinfo), session_(nullptr), noSession_(nullptr) {}

void LoggedRequest::requireSession(const Ticket& ticket, const char* refusal) {
  session_ = &ticket;
  noSession_ = refusal;
}

void LoggedRequest::supply(RequestProtocol::Steps& steps, std::function<void()> checkTicket) {
  steps.claim = DBTransaction::claimKey(username_, str(ctinfo_.clientID), ctinfo_.transactionID);
  steps.beforeLock = [this, checkTicket] {
    if (answeredFromLog(false)) return true;
    if (checkTicket) checkTicket();
    return false;
  };
  steps.underLock = [this] { return answeredFromLog(true); };
  steps.record = [this](const std::string& refusal) { record(refusal); };
}

// A logged answer is final, also once the session has ended (the first
// replica may have ended it: a discontinuation).
bool LoggedRequest::answeredFromLog(bool underLock) {
  CustTransaction log;
  std::string refusal;
  bool session = true;
  const bool withSession = underLock && session_ != nullptr;
  const bool logged = log._CheckTransaction(username_, str(ctinfo_.clientID),
                                            ctinfo_.transactionID, &refusal,
                                            withSession ? &session_->token : nullptr,
                                            withSession ? &session : nullptr);
  if (!logged) {
    if (!session) throw TavrinException(noSession_);
    return false;
  }
  if (!refusal.empty()) throw TavrinException(refusal.c_str());
  return true;
}

void LoggedRequest::record(const std::string& refusal) {
  CustTransaction log;
  log._AddTransaction(username_, str(ctinfo_.clientID), ctinfo_.transactionID, refusal);
}
