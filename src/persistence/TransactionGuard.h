// Scope guard for one transaction: opened on construction (autocommit off),
// rolled back when the scope ends without commit(), so that no path out of
// a request, an exception included, leaves work to be committed by someone
// else. Declare the RowLock after it: the rows are then released by the
// guard's rollback or the commit. Lives on one thread: not thread safe.
#ifndef TAVRIN_TRANSACTIONGUARD_H
#define TAVRIN_TRANSACTIONGUARD_H

class TransactionGuard {
 public:
  // Raises DBFailure ("cannot set autocommit to 0: ...") when it cannot.
  TransactionGuard();
  // Rolls back what is not committed; a failure is printed, and the end of
  // the request drops the session rather than commit it. Never raises.
  ~TransactionGuard();
  TransactionGuard(const TransactionGuard&) = delete;
  TransactionGuard& operator=(const TransactionGuard&) = delete;

  // Undoes the work so far; the transaction stays open for more (a refusal
  // logged after its work was undone). Raises DBFailure when it failed.
  void rollback();
  // Commits; from then on the guard has nothing to undo. Raises DBFailure
  // (the database's text; see commitFailure) when nothing may be taken as
  // committed, the budget having run out included.
  void commit();

 private:
  bool committed_;
};

#endif
