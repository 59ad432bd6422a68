#include "DBTransaction.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

#include "DBConnection.h"
#include "DBQuery.h"

const char* const DBTransaction::kMovieLockFailed = "locking of movie related tables failed: ";
const char* const DBTransaction::kAccountLockFailed =
    "locking of account related tables failed: ";

namespace {

void setError(char* dst, const char* text) {
  std::memset(dst, 0, 1024);
  std::snprintf(dst, 1024, "%s", text);
}

}  // namespace

DBTransaction::DBTransaction() : mySQLerrno(0) { std::memset(mySQLerror, 0, sizeof mySQLerror); }

int DBTransaction::run(const std::string& stmt, const char* failPrefix) {
  DBQuery queryObj;
  if (queryObj.query(stmt.c_str())) return 1;
  std::memcpy(mySQLerror, queryObj.mySQLerror, sizeof mySQLerror);
  mySQLerrno = queryObj.mySQLerrno;
  std::cout << failPrefix << queryObj.mySQLerror << std::endl;
  return 0;
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

int DBTransaction::prepare(const std::string& claim) {
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
  if (!run(stmt, "cannot prepare the request: ")) return 0;
  conn->setPrepared(true);
  if (claiming) conn->setClaimHeld(true);
  return 1;
}

int DBTransaction::start() {
  if (!run("set autocommit = 0;", "cannot set autocommit to 0: ")) return 0;
  DBConnection::getInstance()->setAutocommitOff(true);
  return 1;
}

int DBTransaction::rollback() { return run("rollback;", "rollback failed: "); }

int DBTransaction::commit() {
  DBConnection* conn = DBConnection::getInstance();
  if (conn->hasDeadline() && conn->secondsLeft() <= 0) {
    setError(mySQLerror, "The request's time budget ran out before its commit");
    mySQLerrno = DBConnection::kBudgetExhausted;
    std::cout << "commit failed: " << mySQLerror << std::endl;
    return 0;
  }
  return run("commit;", "commit failed: ");
}

int DBTransaction::lockTables(const char* stmt, const char* before, const char* after,
                              const char* failPrefix) {
  std::cout << "<-- " << static_cast<long>(time(nullptr)) << before << std::endl;
  int ok = run(stmt, failPrefix);
  std::cout << "--> " << static_cast<long>(time(nullptr)) << after << std::endl;
  if (ok) DBConnection::getInstance()->setLockHeld(true);
  return ok;
}

int DBTransaction::lockMovieTables() {
  return lockTables(
      "lock table movie write, checkedoutmovies write, transactions write, "
      "waitlistedmovies write;",
      "Trying to lock Movie tables movie (write), checkedoutmovies (write), "
      "transactions (write), waitlistedmovies (write)",
      " Locked Movie tables movie (write), checkedoutmovies (write), transactions (write), "
      "waitlistedmovies (write)",
      kMovieLockFailed);
}

int DBTransaction::lockAccountTables() {
  return lockTables(
      "lock table ticket write, user write, transactions write, client write;",
      "Trying to lock Account tables ticket (write), user (write), transactions (write), "
      "client (write)",
      " Locked Account tables ticket (write), user (write), transactions (write), "
      "client (write)",
      kAccountLockFailed);
}

// Write locks only: a read lock on a table that the other families lock for
// writing lets the database's lock acquisition deadlock between them.
int DBTransaction::lockAccountAndRentalTables() {
  return lockTables(
      "lock table ticket write, user write, transactions write, client write, "
      "checkedoutmovies write, waitlistedmovies write;",
      "Trying to lock Account tables ticket (write), user (write), transactions (write), "
      "client (write), checkedoutmovies (write), waitlistedmovies (write)",
      " Locked Account tables ticket (write), user (write), transactions (write), "
      "client (write), checkedoutmovies (write), waitlistedmovies (write)",
      kAccountLockFailed);
}

void DBTransaction::unlockTables() {
  std::cout << "<-- " << static_cast<long>(time(nullptr)) << "Trying to unlock tables"
            << std::endl;
  if (run("unlock tables;", "unlocking of tables failed: "))
    DBConnection::getInstance()->setLockHeld(false);
  std::cout << "--> " << static_cast<long>(time(nullptr)) << " Unlocked tables" << std::endl;
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
  // Whatever a request did not commit must not become committed now, by
  // the UNLOCK TABLES or the autocommit below.
  if (conn->uncommittedWork()) {
    DBQuery undo;
    if (!undo.query("rollback;")) {
      std::cout << "rollback failed: " << undo.mySQLerror << std::endl;
      // The session cannot be trusted with that work: drop it, and the
      // database rolls it back.
      conn->closeConnection();
      return;
    }
  }
  if (conn->lockHeld()) {
    DBQuery unlock;
    if (unlock.query("unlock tables;"))
      conn->setLockHeld(false);
    else
      std::cout << "unlocking of tables failed: " << unlock.mySQLerror << std::endl;
  }
  if (!conn->autocommitOff() && !conn->prepared()) return;
  // One statement puts the whole session back: autocommit (which commits),
  // the usual idle limit, and no claim.
  std::string stmt = "set session autocommit = 1";
  if (conn->prepared())
    stmt += ", session wait_timeout = " + std::to_string(DBConnection::kIdleLimitSec);
  if (conn->claimHeld()) stmt += ", @tavrin_claim = release_all_locks()";
  stmt += ";";
  DBQuery restore;
  if (restore.query(stmt.c_str())) {
    conn->setAutocommitOff(false);
    conn->setPrepared(false);
    conn->setClaimHeld(false);
  } else {
    std::cout << "cannot set autocommit to 1: " << restore.mySQLerror << std::endl;
  }
}
