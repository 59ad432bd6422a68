// The one course of every state-changing request of both servers. An
// operation supplies only what is its own (its claim key, the tables it
// locks, its checks, its work, its log entry and its trace texts) as a
// RequestProtocol::Steps; run() does the rest, in this order:
//
//   1. the claim: the replicas of one request take turns (DBTransaction)
//   2. beforeLock: with autocommit on and no table lock, one table per
//      statement; a request carried out before is answered here, so the
//      replicas after the first do not queue for the table lock
//   3. the family's table lock (TableLock), then the transaction
//      (TransactionGuard)
//   4. underLock: the authority; a request carried out before is answered
//   5. work, then the log entry (record), then the commit
//   6. the unlock, and (RequestScope) the end of the request
//
// Errors: a refusal of the rules or of the database (TavrinException, or a
// DBFailure for the values) is the request's answer. Where the steps have a
// `record`, a refusal by the work is logged with the request and committed,
// so that every replica gives the same answer: the work is undone first,
// unless it is a RefusalKeepingWork. Any other failure leaves as
// Unavailable, after one trace line. The guards undo and unlock on every
// way out. Runs inside the request's RequestScope; not thread safe.
//
// Adding an operation: write its work as a function that raises
// TavrinException for the rules' answers, and fill in a Steps; for a
// request keyed by (user, client, number) LoggedRequest supplies the log's
// steps.
#ifndef TAVRIN_REQUESTPROTOCOL_H
#define TAVRIN_REQUESTPROTOCOL_H

#include <ServerIDL.hh>

#include <functional>
#include <string>

#include "DBTransaction.h"

class TransactionGuard;

// A refusal whose work so far is committed with its log entry (the waiting
// row that the refusal at the limit of three promises).
class RefusalKeepingWork : public TavrinException {
 public:
  explicit RefusalKeepingWork(const char* msg) : TavrinException(msg) {}
};

class RequestProtocol {
 public:
  struct Texts {
    const char* refused;   // before a refusal in its trace line
    const char* failed;    // before a failure's text in its trace line
    const char* answered;  // the line for a request answered before the lock, or null
  };

  struct Steps {
    std::string claim;  // the request's claim key (DBTransaction::claimKey); "" for none
    TableFamily tables = TableFamily::kAccounts;
    Texts texts = {"", "", nullptr};
    // True when the request is answered already; may raise a refusal.
    // Either may be left unset (nothing answered there).
    std::function<bool()> beforeLock;
    std::function<bool()> underLock;
    std::function<void()> work;
    // Logs the request as carried out (refusal "") or refused. Unset: the
    // request has no log entry, and a refusal is answered unlogged.
    std::function<void(const std::string& refusal)> record;
  };

  // True when this replica did the work and committed it; false when the
  // request was answered before (beforeLock or underLock).
  static bool run(const Steps& steps);

 private:
  static void prepare(const Steps& steps);
  static bool answeredBeforeLock(const Steps& steps);
  static bool runLocked(const Steps& steps);
  static void workAndCommit(const Steps& steps, TransactionGuard& transaction);
  static void logRefusal(const Steps& steps, TransactionGuard& transaction,
                         const TavrinException& refusal);
  static void commit(const Steps& steps, TransactionGuard& transaction);
  // Inside a catch: prints the exception in flight and raises it as the
  // request's answer, TavrinException or Unavailable.
  [[noreturn]] static void answerFailure(const Texts& texts);
};

#endif
