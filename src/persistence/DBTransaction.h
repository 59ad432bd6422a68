// Transaction and table-lock controls on the process's connection. The
// transaction, the locks and the claim belong to the connection, not to this
// object, and outlive it. Callers pair them through the scope guards
// TableLock and TransactionGuard, never by hand; the request's course
// (RequestProtocol) is the one caller of prepare().
//
// Each control prints its failure line and raises DBFailure, with the
// failure prefix below in front of the database's text (commit: the text
// alone). Not thread safe.
//
// One state-changing request, in order:
//   prepare(claim) the short idle limit, and the request's claim
//   ...            look in the request log (autocommit on, no table lock)
//   lock(family)   the family's table locks, within the request's budget
//   start()        autocommit off
//   ...            the log again (the authority), the work, the log entry
//   commit(), unlockTables()
//   endRequest()   (RequestScope) autocommit on, idle limit back, no claim
#ifndef TAVRIN_DBTRANSACTION_H
#define TAVRIN_DBTRANSACTION_H

#include <string>

class DBConnection;

// The tables one family of requests locks, all for writing, in one statement.
enum class TableFamily {
  kMovies,              // movie, checkedoutmovies, transactions, waitlistedmovies
  kAccounts,            // ticket, user, transactions, client
  kAccountsAndRentals,  // the accounts' and the rental tables (account removal)
};

class DBTransaction {
 public:
  // Shortens the session's idle limit for the rest of the request, so that
  // a replica frozen while it holds the request's claim, table locks or
  // transaction frees them within seconds. With a `claim` (the request's
  // key), also waits, within the request's budget, until no other replica of
  // the same request holds it: replicas of one request then take turns, and
  // those after the first find the request logged without queueing for the
  // table lock. A claim not had in time is no error: the table lock and the
  // log under it decide.
  static void prepare(const std::string& claim = "");
  static void start();  // set autocommit = 0
  static void rollback();
  // Refuses to commit once the request's budget has run out: the client has
  // stopped waiting, and the work must not take effect behind its back.
  static void commit();
  // Prints the trace lines before and after the attempt.
  static void lock(TableFamily family);
  static void unlockTables();
  // Ends a request: releases any table lock and the claim, and returns the
  // session to autocommit (which commits no work: that is rolled back) and
  // its usual idle limit. Silent unless it fails; never raises.
  static void endRequest();

  // The claim key of a request: short and fixed in length whatever the user
  // name and client identity, as the database wants its lock names.
  static std::string claimKey(const std::string& username, const std::string& clientID,
                              int transactionID);

  // Failure prefixes of the lock controls.
  static const char* const kMovieLockFailed;
  static const char* const kAccountLockFailed;
  static const char* const kPrepareFailed;
  static const char* const kStartFailed;

 private:
  static void restoreSession(DBConnection* conn);
  static void run(const std::string& stmt, const char* failPrefix, bool prefixed = true);
};

#endif
