// Transaction and table-lock controls on the process's connection. The
// transaction, the locks and the claim belong to the connection, not to this
// object, and outlive it. None of the methods throws; failures are printed.
//
// One state-changing request, in order:
//   start(claim)   autocommit off, the short idle limit, the request's claim
//   ...            look in the request log (no table lock yet)
//   lock...()      the family's table locks, within the request's budget
//   ...            the log again (the authority), the work, the log entry
//   commit(), unlockTables()
//   endRequest()   (RequestScope) autocommit on, idle limit and claim back
#ifndef TAVRIN_DBTRANSACTION_H
#define TAVRIN_DBTRANSACTION_H

#include <string>

class DBTransaction {
 public:
  DBTransaction();
  // Each returns 1 on success, else 0 after printing the failure, with the
  // text in mySQLerror and the error number in mySQLerrno.
  //
  // Opens the request's transaction (autocommit off) and shortens the
  // session's idle limit, so that a replica frozen while it holds the
  // request's locks frees them within seconds. With a `claim` (the request's
  // key), first waits, within the request's budget, until no other replica
  // of the same request holds it: replicas of one request then take turns,
  // and those after the first find the request logged without queueing for
  // the table lock. A claim that cannot be had in time is not an error: the
  // table lock and the log under it decide.
  int start(const std::string& claim = "");
  int rollback();
  // Refuses to commit once the request's budget has run out: the client has
  // stopped waiting, and the work must not take effect behind its back.
  int commit();
  // Both print their trace lines; 1 when the lock was taken, else 0. The
  // caller must refuse the request without the lock. The movie family also
  // reads `ticket` and `user`, so that a request can check under its lock
  // that its session, and the accounts it serves, still exist.
  int lockMovieTables();
  int lockAccountTables();
  // Account removal: the account family and the rental tables at once.
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
  int run(const std::string& stmt, const char* failPrefix);
  int lockTables(const char* stmt, const char* before, const char* after,
                 const char* failPrefix);
};

#endif
