// Scope guard for a request's row locks: taken on construction, inside the
// open transaction (within the request's budget, with the trace lines
// before and after); released by the commit, or by the rollback this guard
// sends when the scope ends without one, whichever way it ends. Declare it
// after the TransactionGuard it runs in. Lives on one thread, as its
// connection does: not thread safe.
#ifndef TAVRIN_ROWLOCK_H
#define TAVRIN_ROWLOCK_H

#include <vector>

#include "DBTransaction.h"

class RowLock {
 public:
  // Raises DBFailure (with the family's failure prefix) when the rows were
  // not had; the transaction is to be rolled back then.
  RowLock(LockFamily family, const std::vector<LockedRow>& rows);
  ~RowLock();  // rolls back what is not committed; never raises
  RowLock(const RowLock&) = delete;
  RowLock& operator=(const RowLock&) = delete;
};

#endif
