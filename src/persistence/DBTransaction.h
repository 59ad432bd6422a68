// Transaction and row-lock controls on the calling thread's connection. The
// transaction, the locks and the claim belong to the connection, not to this
// object, and outlive it. Callers pair them through the scope guards
// RowLock and TransactionGuard, never by hand; the request's course
// (RequestProtocol) is the one caller of prepare().
//
// Each control prints its failure line and raises DBFailure, with the
// failure prefix below in front of the database's text (commit: the text
// alone). Each thread works on its own connection; no state here.
//
// One state-changing request, in order:
//   prepare(claim)  the short idle limit, and the request's claim
//   ...             look in the request log (autocommit on, no lock)
//   start()         autocommit off (READ COMMITTED, set per connection)
//   ...             the request's log row, inserted first
//   lockRows(rows)  the parent rows, in one fixed order, within the budget
//   ...             the checks under the locks, the work
//   commit()        which releases the rows (unlockRows traces it)
//   endRequest()    (RequestScope) autocommit on, idle limit back, no claim
#ifndef TAVRIN_DBTRANSACTION_H
#define TAVRIN_DBTRANSACTION_H

#include <string>
#include <vector>

class DBConnection;

// Whose rows a request locks: the failure prefix and the traces name it.
enum class LockFamily {
  kMovies,    // the order requests
  kAccounts,  // the account requests
};

// A parent row a request locks for writing: a title's `movie` row by its
// number, or a customer's `user` row by name. Every other row a request
// writes hangs off one of these, so these locks alone keep requests for the
// same title or customer apart, and requests for others never wait.
struct LockedRow {
  enum class Table { kMovie, kUser };
  Table table;
  std::string key;  // the movieID in digits, or the user name

  static LockedRow movie(unsigned long movieID);
  static LockedRow user(const std::string& username);
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
  // Locks `rows` for writing (SELECT ... FOR UPDATE) in the one order of
  // every request: titles by number, then customers by name. A row that
  // does not exist locks nothing. Inside a transaction only (start()).
  // Prints the trace lines before and after the attempt.
  static void lockRows(LockFamily family, std::vector<LockedRow> rows);
  // The end of the transaction has released the rows: rolls back what is
  // not committed, and prints the unlock's trace lines. Never raises.
  static void unlockRows();
  // Ends a request: releases any table lock or row lock and the claim, and returns the
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
