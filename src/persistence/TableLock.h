// Scope guard for a family's table locks: taken on construction (within the
// request's budget, with the trace lines before and after), released when
// the scope ends, whichever way it ends. The locks belong to the process's
// connection; one TableLock at a time. Not thread safe.
#ifndef TAVRIN_TABLELOCK_H
#define TAVRIN_TABLELOCK_H

#include "DBTransaction.h"

class TableLock {
 public:
  // Raises DBFailure (with the family's failure prefix) when the lock was
  // not had; nothing is held then.
  explicit TableLock(TableFamily family);
  ~TableLock();  // unlocks; never raises
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;
};

#endif
