// The duplicate-request log: (user name, client id, request number) of every
// executed state-changing request, in table `transactions`, with the answer
// of a request that the rules refused.
//
// A request has one row (a unique key), once committed final: a replica
// that finds its request logged answers from the row. A replica inserts the
// row first in its transaction; a second replica's insert waits on the key
// until the first commits (then fails as a duplicate: the answer is logged)
// or rolls back (then it goes in).
//
// A statement that fails raises DBFailure, its text after the prefix
// "CheckTransaction query failed: " or "Transaction cannot be added: ".
#ifndef TAVRIN_CUSTTRANSACTION_H
#define TAVRIN_CUSTTRANSACTION_H

#include <ServerIDL.hh>

#include <string>

class CustTransaction {
 public:
  // True when the request is already logged. When `refusal` is given
  // it receives the answer a refused request was logged with ("" when the
  // request was carried out). When `session` is given, the same statement
  // also reads whether exactly the ticket's session is stored, and
  // *session receives that.
  bool CheckTransaction(const Ticket& ticket, const ClientTransaction& ctinfo,
                        std::string* refusal = nullptr, bool* session = nullptr);
  bool CheckTransaction(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                        std::string* refusal = nullptr);
  // Logs the request as carried out, or, with a non-empty `refusal`, as
  // refused with that answer.
  void AddTransaction(const Ticket& ticket, const ClientTransaction& ctinfo,
                      const std::string& refusal = "");
  void AddTransaction(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                      const std::string& refusal = "");

  // The same by the key's parts, for a caller that holds neither form.
  // With `token`, *session receives whether exactly that session is stored.
  bool _CheckTransaction(const std::string& username, const std::string& clientID,
                         int transactionID, std::string* refusal, const CORBA::Long* token,
                         bool* session);
  void _AddTransaction(const std::string& username, const std::string& clientID,
                       int transactionID, const std::string& refusal);
  // Gives the request's entry, inserted earlier in the same transaction,
  // the answer it was refused with.
  void SetRefusal(const std::string& username, const std::string& clientID, int transactionID,
                  const std::string& refusal);
  // Whether exactly that session of the user is stored.
  bool SessionStored(const std::string& username, CORBA::Long token);
};

#endif
