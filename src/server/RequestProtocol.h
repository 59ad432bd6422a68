// The one course of every state-changing request of both servers. An
// operation supplies only what is its own (its claim key, the rows it
// locks, its checks, its work, its log entry and its trace texts) as a
// RequestProtocol::Steps; run() does the rest, in this order:
//
//   1. the claim: the replicas of one request take turns (DBTransaction)
//   2. beforeLock: with autocommit on and no lock; a request carried out
//      before is answered here, so the replicas after the first start no
//      transaction
//   3. the transaction (TransactionGuard), and in it, first, the request's
//      log row (logFirst): its unique key makes a second replica of the
//      request wait for the first one's outcome, and a duplicate sends it
//      to the logged answer
//   4. the parent rows the request touches (rows), locked in one fixed
//      order (RowLock); then underLock: the checks that need them
//   5. work, then the commit, which releases the rows
//   6. (RequestScope) the end of the request
//
// A deadlock or lock wait the database reports during 3 to 5 is retried
// from 3 while the request's budget lasts; once it is spent, the request is
// answered Unavailable like any failure.
//
// Errors: a refusal of the rules or of the database (TavrinException, or a
// DBFailure for the values) is the request's answer. Where the steps have a
// `record`, a refusal by the work is logged with the request and committed,
// so that every replica gives the same answer: the work is undone first,
// unless it is a RefusalKeepingWork. Any other failure leaves as
// Unavailable, after one trace line. The guards undo on every way out. Runs
// inside the request's RequestScope, on its thread's connection; requests
// on other threads run alongside. Keeps no state: thread safe.
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
    LockFamily family = LockFamily::kAccounts;
    Texts texts = {"", "", nullptr};
    // True when the request is answered already; may raise a refusal.
    // Any of the three may be left unset (nothing answered there).
    std::function<bool()> beforeLock;
    std::function<bool()> logFirst;  // inserts the log row, first in the transaction
    std::function<bool()> underLock;
    // The parent rows to lock, read before any lock is taken; unset: none.
    std::function<std::vector<LockedRow>()> rows;
    std::function<void()> work;
    // Logs a refusal. `rowKept`: the row logFirst inserted is still in the
    // transaction (the work was kept), else it went with the rollback.
    // False when another replica's entry, a carried-out request, is the
    // answer; may raise that entry's refusal. Unset: the request has no log
    // entry, and a refusal is answered unlogged.
    std::function<bool(const std::string& refusal, bool rowKept)> record;
  };

  // True when this replica did the work and committed it; false when the
  // request was answered before (beforeLock or underLock).
  static bool run(const Steps& steps);

 private:
  static void prepare(const Steps& steps);
  static bool answeredBeforeLock(const Steps& steps);
  // Attempts until one ends other than in a lock conflict, or the budget
  // is spent.
  static bool runTransactions(const Steps& steps);
  static bool runLocked(const Steps& steps);
  // Inside a catch: whether the failure in flight is a lock conflict worth
  // another attempt within the budget.
  static bool retryable();
  static bool workAndCommit(const Steps& steps, TransactionGuard& transaction);
  static bool logRefusal(const Steps& steps, TransactionGuard& transaction,
                         const TavrinException& refusal);
  static void commit(const Steps& steps, TransactionGuard& transaction);
  // Inside a catch: prints the exception in flight and raises it as the
  // request's answer, TavrinException or Unavailable.
  [[noreturn]] static void answerFailure(const Texts& texts);
};

#endif
