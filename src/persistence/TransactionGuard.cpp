#include "TransactionGuard.h"

#include "DBConnection.h"
#include "DBFailure.h"
#include "DBTransaction.h"

TransactionGuard::TransactionGuard() : committed_(false) { DBTransaction::start(); }

TransactionGuard::~TransactionGuard() {
  if (committed_ || !DBConnection::getInstance()->uncommittedWork()) return;
  try {
    DBTransaction::rollback();
  } catch (const DBFailure&) {
    // Printed; RequestScope's end of the request drops a session that
    // still holds the work.
  }
}

void TransactionGuard::rollback() {
  committed_ = false;
  DBTransaction::rollback();
}

void TransactionGuard::commit() {
  DBTransaction::commit();
  committed_ = true;
}
