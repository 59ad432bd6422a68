// Transaction and table-lock controls on the process's connection. The
// transaction, the locks and the claim belong to the connection, not to this
// object, and outlive it. None of the methods throws; failures are printed.
//
// One state-changing request, in order:
//   prepare(claim) the short idle limit, and the request's claim
//   ...            look in the request log (autocommit on, no table lock)
//   lock...()      the family's table locks, within the request's budget
//   start()        autocommit off
//   ...            the log again (the authority), the work, the log entry
//   commit(), unlockTables()
//   endRequest()   (RequestScope) autocommit on, idle limit back, no claim
#ifndef TAVRIN_DBTRANSACTION_H
#define TAVRIN_DBTRANSACTION_H

#include <string>

class DBConnection;

class DBTransaction {
 public:
  DBTransaction();
  // Each returns 1 on success, else 0 after printing the failure, with the
  // text in mySQLerror and the error number in mySQLerrno.
  //
  // Shortens the session's idle limit for the rest of the request, so that
  // a replica frozen while it holds the request's claim, table locks or
  // transaction frees them within seconds. With a `claim` (the request's
  // key), also waits, within the request's budget, until no other replica of
  // the same request holds it: replicas of one request then take turns, and
  // those after the first find the request logged without queueing for the
  // table lock. A claim not had in time is no error: the table lock and the
  // log under it decide.
  int prepare(const std::string& claim = "");
  int start();  // set autocommit = 0
  int rollback();
  // Refuses to commit once the request's budget has run out: the client has
  // stopped waiting, and the work must not take effect behind its back.
  int commit();
  // Both print their trace lines; 1 when the lock was taken, else 0. The
  // caller must refuse the request without the lock.
  int lockMovieTables();
  int lockAccountTables();
  // Account removal: the account family and the rental tables it reads or
  // clears, in one statement.
  int lockAccountAndRentalTables();
  void unlockTables();
  // Ends a request: releases any table lock and the claim, and returns the
  // session to autocommit (which commits) and its usual idle limit. Silent
  // unless it fails.
  void endRequest();

  // The claim key of a request: short and fixed in length whatever the user
  // name and client identity, as the database wants its lock names.
  static std::string claimKey(const std::string& username, const std::string& clientID,
                              int transactionID);

  // Text and number of the last failed statement of this object, for the
  // business layer's answers (for example kAccountLockFailed + mySQLerror).
  char mySQLerror[1024];
  unsigned int mySQLerrno;

  // Failure prefixes, for the business layer's refusals.
  static const char* const kMovieLockFailed;
  static const char* const kAccountLockFailed;

 private:
  static void restoreSession(DBConnection* conn);
  int run(const std::string& stmt, const char* failPrefix);
  int lockTables(const char* stmt, const char* before, const char* after,
                 const char* failPrefix);
};

#endif
