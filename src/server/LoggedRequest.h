// The request log's steps of a request keyed by (user name, client, number,
// operation), for RequestProtocol: before the lock a request found logged
// for this caller is answered from its entry (its logged refusal raised
// again); the entry is then inserted first in the transaction, and one
// already there (another replica's, committed while this one waited on its
// key) is the answer. A refusal is logged with the request. Optionally the
// ticket's session is read under the row locks, and a request whose session
// has ended meanwhile is refused.
//
// The caller is told apart by a keyed hash (callerTag, or the ticket's via
// forTicket): a logged answer goes only to the caller that made the request.
//
// Holds references to its arguments: lives within the request, on its
// thread. Not thread safe.
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

  // Fills in the claim, beforeLock, logFirst, underLock and record of `steps`.
  // `checkTicket`, when given, runs before the lock once the request is
  // found not logged (a refusal there is not logged).
  void supply(RequestProtocol::Steps& steps, std::function<void()> checkTicket = nullptr);

  // Before the lock, the log is read with autocommit on.
  bool answeredFromLog();
  // Inserts the entry, first in the transaction: false when it went in;
  // else answers from the entry found (true, or its refusal raised).
  bool logFirst();
  // Under the row locks: whether the session has ended.
  bool sessionEnded();
  // See RequestProtocol::Steps::record.
  bool record(const std::string& refusal, bool rowKept);
  const CustTransaction::Key& key() const { return key_; }

 private:
  // Inserts the entry: false when the request has one already.
  bool insert(const std::string& refusal);
  // The entry another replica logged: true, or its refusal raised.
  bool answeredByOther();

  CustTransaction::Key key_;
  std::string sessionTag_;
  const char* noSession_;
};

#endif
