// Transaction and table-lock controls on the process's connection. The
// transaction and locks belong to the connection, not to this object, and
// outlive it. None of the methods throws; failures are printed.
#ifndef TAVRIN_DBTRANSACTION_H
#define TAVRIN_DBTRANSACTION_H

class DBTransaction {
 public:
  DBTransaction();
  // Each returns 1 on success, else 0 after printing the failure.
  int start();     // set autocommit = 0
  int rollback();
  int commit();
  // Both print their trace lines; 1 when the lock was taken, else 0. The
  // caller must refuse the request without the lock.
  int lockMovieTables();
  int lockAccountTables();
  void unlockTables();
  // Ends a request: releases any table lock and returns to autocommit,
  // which commits. Silent unless it fails.
  void endRequest();

  // Text of the last failed statement of this object, for the business
  // layer's refusals (for example kAccountLockFailed + mySQLerror).
  char mySQLerror[1024];

  // Failure prefixes, for the business layer's refusals.
  static const char* const kMovieLockFailed;
  static const char* const kAccountLockFailed;

 private:
  int run(const char* stmt, const char* failPrefix);
  int lockTables(const char* stmt, const char* before, const char* after,
                 const char* failPrefix);
};

#endif
