// The duplicate-request log: every executed state-changing request, in
// table `transactions`, keyed by (user name, client id, request number,
// operation), with the keyed hash of what identified its caller (the
// ticket's, or the credentials of a log-in or registration), the answer of
// a request that the rules refused, and a sealed answer where the request
// has one (the ticket of a log-in).
//
// A row answers only the caller it was made for: a lookup matches the
// caller's tag too, so a request under the same key with another ticket is
// not found, and is checked as a new one.
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

#include <string>

class CustTransaction {
 public:
  struct Key {
    std::string username;
    std::string clientID;
    int transactionID = 0;
    std::string operation;  // the contract's operation name
    std::string callerTag;  // keyed hash of the caller's ticket or credentials
  };

  // What a logged request was answered with.
  struct Entry {
    std::string refusal;  // "" when the request was carried out
    std::string answer;   // the sealed answer, "" when none (or it is gone)
  };

  // True when the request is logged for this caller, with its entry in
  // `entry` when given.
  bool CheckTransaction(const Key& key, Entry* entry = nullptr);
  // True when a request is logged under the key for any caller.
  bool isLogged(const Key& key);
  // Logs the request as carried out, or, with a non-empty `refusal`, as
  // refused with that answer.
  void AddTransaction(const Key& key, const std::string& refusal = "",
                      const std::string& answer = "");
  // Gives the request's entry, inserted earlier in the same transaction,
  // the answer it was refused with.
  void SetRefusal(const Key& key, const std::string& refusal);
};

#endif
