#include "RowLock.h"

RowLock::RowLock(LockFamily family, const std::vector<LockedRow>& rows) {
  DBTransaction::lockRows(family, rows);
}

RowLock::~RowLock() { DBTransaction::unlockRows(); }
