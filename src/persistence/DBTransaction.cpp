#include "DBTransaction.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "DBConnection.h"
#include "DBFailure.h"
#include "DBQuery.h"
#include "Trace.h"

const char* const DBTransaction::kMovieLockFailed = "locking of movie related tables failed: ";
const char* const DBTransaction::kAccountLockFailed =
    "locking of account related tables failed: ";
const char* const DBTransaction::kPrepareFailed = "cannot prepare the request: ";
const char* const DBTransaction::kStartFailed = "cannot set autocommit to 0: ";

namespace {

struct LockTexts {
  const char* stmt;
  const char* before;
  const char* after;
  const char* failPrefix;
};

// Write locks only: a read lock on a table that the other families lock for
// writing lets the database's lock acquisition deadlock between them.
LockTexts lockTexts(TableFamily family) {
  switch (family) {
    case TableFamily::kMovies:
      return {"lock table movie write, checkedoutmovies write, transactions write, "
              "waitlistedmovies write;",
              "Trying to lock Movie tables movie (write), checkedoutmovies (write), "
              "transactions (write), waitlistedmovies (write)",
              " Locked Movie tables movie (write), checkedoutmovies (write), transactions "
              "(write), waitlistedmovies (write)",
              DBTransaction::kMovieLockFailed};
    case TableFamily::kAccounts:
      return {"lock table ticket write, user write, transactions write, client write;",
              "Trying to lock Account tables ticket (write), user (write), transactions "
              "(write), client (write)",
              " Locked Account tables ticket (write), user (write), transactions (write), "
              "client (write)",
              DBTransaction::kAccountLockFailed};
    case TableFamily::kAccountsAndRentals:
      break;
  }
  return {"lock table ticket write, user write, transactions write, client write, "
          "checkedoutmovies write, waitlistedmovies write;",
          "Trying to lock Account tables ticket (write), user (write), transactions (write), "
          "client (write), checkedoutmovies (write), waitlistedmovies (write)",
          " Locked Account tables ticket (write), user (write), transactions (write), "
          "client (write), checkedoutmovies (write), waitlistedmovies (write)",
          DBTransaction::kAccountLockFailed};
}

long nowSeconds() { return static_cast<long>(time(nullptr)); }

}  // namespace

void DBTransaction::run(const std::string& stmt, const char* failPrefix, bool prefixed) {
  try {
    DBQuery queryObj;
    queryObj.query(stmt);
  } catch (const DBFailure& f) {
    trace(failPrefix, TraceValue{f.what()});
    if (prefixed) throw f.prefixed(failPrefix);
    throw;
  }
}

std::string DBTransaction::claimKey(const std::string& username, const std::string& clientID,
                                    int transactionID) {
  // FNV-1a over the three parts, each ended by a NUL so that no two keys
  // run together; the same on every replica and every build.
  uint64_t h = 14695981039346656037ull;
  auto mix = [&h](const std::string& part) {
    for (unsigned char c : part) h = (h ^ c) * 1099511628211ull;
    h = (h ^ 0u) * 1099511628211ull;
  };
  mix(username);
  mix(clientID);
  mix(std::to_string(transactionID));
  char key[32];
  std::snprintf(key, sizeof key, "tavrin-%016llx", static_cast<unsigned long long>(h));
  return key;
}

void DBTransaction::prepare(const std::string& claim) {
  DBConnection* conn = DBConnection::getInstance();
  std::string stmt = "set session wait_timeout = " +
                     std::to_string(DBConnection::kIdleLimitWhileHoldingSec);
  const bool claiming = !claim.empty();
  if (claiming) {
    // Leave time for the work after the wait; a claim not had in time
    // (get_lock gives 0) only costs this replica a turn at the table lock.
    char wait[32];
    std::snprintf(wait, sizeof wait, "%.3f", std::max(conn->secondsLeft() - 1.0, 0.0));
    stmt += ", @tavrin_claim = get_lock('" + DBConnection::escape(claim) + "', " + wait + ")";
  }
  stmt += ";";
  // The first statement of a request: a connection found broken here held
  // nothing, so it may be made again and the statement sent once more.
  run(stmt, kPrepareFailed);
  conn->setPrepared(true);
  if (claiming) conn->setClaimHeld(true);
}

void DBTransaction::start() {
  run("set autocommit = 0;", kStartFailed);
  DBConnection::getInstance()->setAutocommitOff(true);
}

void DBTransaction::rollback() { run("rollback;", "rollback failed: "); }

void DBTransaction::commit() {
  DBConnection* conn = DBConnection::getInstance();
  if (conn->hasDeadline() && conn->secondsLeft() <= 0) {
    DBFailure late(DBFailure::kBudgetExhausted,
                   "The request's time budget ran out before its commit");
    trace("commit failed: ", TraceValue{late.what()});
    throw late;
  }
  run("commit;", "commit failed: ", false);
}

void DBTransaction::lock(TableFamily family) {
  const LockTexts texts = lockTexts(family);
  trace("<-- ", nowSeconds(), texts.before);
  try {
    run(texts.stmt, texts.failPrefix);
  } catch (const DBFailure&) {
    trace("--> ", nowSeconds(), texts.after);
    throw;
  }
  trace("--> ", nowSeconds(), texts.after);
  DBConnection::getInstance()->setLockHeld(true);
}

void DBTransaction::unlockTables() {
  trace("<-- ", nowSeconds(), "Trying to unlock tables");
  try {
    run("unlock tables;", "unlocking of tables failed: ");
    DBConnection::getInstance()->setLockHeld(false);
  } catch (const DBFailure&) {
    // Printed; the end of the request, or the lost session, frees them.
  }
  trace("--> ", nowSeconds(), " Unlocked tables");
}

void DBTransaction::endRequest() {
  DBConnection* conn = DBConnection::getInstance();
  conn->clearDeadline();
  if (!conn->sessionBroken() && conn->isConnected()) restoreSession(conn);
  // A connection lost during the request, or found lost just now, took its
  // locks, transaction and claim with it: the next request starts afresh.
  conn->clearSessionBroken();
}

void DBTransaction::restoreSession(DBConnection* conn) {
  try {
    // Whatever a request did not commit must not become committed now, by
    // the UNLOCK TABLES or the autocommit below.
    if (conn->uncommittedWork()) run("rollback;", "rollback failed: ");
  } catch (const DBFailure&) {
    // The session cannot be trusted with that work: drop it, and the
    // database rolls it back.
    conn->closeConnection();
    return;
  }
  try {
    if (conn->lockHeld()) {
      run("unlock tables;", "unlocking of tables failed: ");
      conn->setLockHeld(false);
    }
  } catch (const DBFailure&) {
    // Printed; the autocommit below still goes out.
  }
  try {
    if (!conn->autocommitOff() && !conn->prepared()) return;
    // One statement puts the whole session back: autocommit (which commits),
    // the usual idle limit, and no claim.
    std::string stmt = "set session autocommit = 1";
    if (conn->prepared())
      stmt += ", session wait_timeout = " + std::to_string(DBConnection::kIdleLimitSec);
    if (conn->claimHeld()) stmt += ", @tavrin_claim = release_all_locks()";
    stmt += ";";
    run(stmt, "cannot set autocommit to 1: ");
    conn->setAutocommitOff(false);
    conn->setPrepared(false);
    conn->setClaimHeld(false);
  } catch (const DBFailure&) {
    // Printed; the next request's statements find what is left.
  }
}
