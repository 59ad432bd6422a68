// The request log's steps of a request keyed by (user name, client, number,
// operation), for RequestProtocol: before the lock, and again under it (the
// authority), a request found logged for this caller is answered from its
// entry (its logged refusal raised again); after the work, the entry.
// Optionally the ticket's session is read with the log under the lock, in
// one statement, and a request whose session has ended meanwhile is refused.
//
// The caller is told apart by a keyed hash (callerTag, or the ticket's via
// forTicket): a logged answer goes only to the caller that made the request.
//
// Holds references to its arguments: lives within the request. Not thread
// safe.
#ifndef TAVRIN_LOGGEDREQUEST_H
#define TAVRIN_LOGGEDREQUEST_H

#include <ServerIDL.hh>

#include <string>

#include "CustTransaction.h"
#include "RequestProtocol.h"

class LoggedRequest {
 public:
  LoggedRequest(const std::string& username, const ClientTransaction& ctinfo,
                const char* operation, const std::string& callerTag);
  // A request made with `ticket`: its caller is the ticket's holder.
  static LoggedRequest forTicket(const Ticket& ticket, const ClientTransaction& ctinfo,
                                 const char* operation);

  // Under the lock, the ticket's session must still exist, else the request
  // is refused with `refusal`.
  void requireSession(const Ticket& ticket, const char* refusal);

  // Fills in the claim, beforeLock, underLock and record of `steps`.
  // `checkTicket`, when given, runs before the lock once the request is
  // found not logged (a refusal there is not logged).
  void supply(RequestProtocol::Steps& steps, std::function<void()> checkTicket = nullptr);

  bool answeredFromLog(bool underLock);
  void record(const std::string& refusal);
  const CustTransaction::Key& key() const { return key_; }

 private:
  CustTransaction::Key key_;
  std::string sessionTag_;
  const char* noSession_;
};

#endif
