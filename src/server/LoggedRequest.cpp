#include "LoggedRequest.h"

#include "Contract.h"
#include "DBSettings.h"
#include "SecretBox.h"

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
  return LoggedRequest(str(ticket.username), ctinfo, operation,
                       SecretBox::deployment().tag(
                           "ticket", {str(ticket.username), std::to_string(ticket.token)}));
}

void LoggedRequest::requireSession(const Ticket& ticket, const char* refusal) {
  sessionTag_ = SecretBox::deployment().tag(
      "ticket", {str(ticket.username), std::to_string(ticket.token)});
  noSession_ = refusal;
}

void LoggedRequest::supply(RequestProtocol::Steps& steps, std::function<void()> checkTicket) {
  steps.claim = DBTransaction::claimKey(key_.username, key_.clientID, key_.transactionID);
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
  CustTransaction::Entry entry;
  bool session = true;
  const bool withSession = underLock && noSession_ != nullptr;
  const DBSettings::Limits& limits = DBSettings::current().limits();
  const bool logged = log.CheckTransaction(key_, &entry, withSession ? &sessionTag_ : nullptr,
                                           limits.sessionIdle, limits.sessionMax,
                                           withSession ? &session : nullptr);
  if (!logged) {
    if (!session) throw TavrinException(noSession_);
    return false;
  }
  if (!entry.refusal.empty()) throw TavrinException(entry.refusal.c_str());
  return true;
}

void LoggedRequest::record(const std::string& refusal) {
  CustTransaction().AddTransaction(key_, refusal);
}
