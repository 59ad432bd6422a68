#include "DBTransaction.h"

#include <cstring>
#include <ctime>
#include <iostream>

#include "DBConnection.h"
#include "DBQuery.h"

const char* const DBTransaction::kMovieLockFailed = "locking of movie related tables failed: ";
const char* const DBTransaction::kAccountLockFailed =
    "locking of account related tables failed: ";

DBTransaction::DBTransaction() { std::memset(mySQLerror, 0, sizeof mySQLerror); }

int DBTransaction::run(const char* stmt, const char* failPrefix) {
  DBQuery queryObj;
  std::string query = stmt;
  if (queryObj.query(query.c_str())) return 1;
  std::memcpy(mySQLerror, queryObj.mySQLerror, sizeof mySQLerror);
  std::cout << failPrefix << queryObj.mySQLerror << std::endl;
  return 0;
}

int DBTransaction::start() {
  if (!run("set autocommit = 0;", "cannot set autocommit to 0: ")) return 0;
  DBConnection::getInstance()->setAutocommitOff(true);
  return 1;
}

int DBTransaction::rollback() { return run("rollback;", "rollback failed: "); }

int DBTransaction::commit() { return run("commit;", "commit failed: "); }

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

void DBTransaction::unlockTables() {
  std::cout << "<-- " << static_cast<long>(time(nullptr)) << "Trying to unlock tables"
            << std::endl;
  if (run("unlock tables;", "unlocking of tables failed: "))
    DBConnection::getInstance()->setLockHeld(false);
  std::cout << "--> " << static_cast<long>(time(nullptr)) << " Unlocked tables" << std::endl;
}

void DBTransaction::endRequest() {
  DBConnection* conn = DBConnection::getInstance();
  if (conn->sessionBroken()) {
    // The server already dropped that session's lock and transaction.
    conn->clearSessionBroken();
    return;
  }
  if (!conn->isConnected()) return;
  // Unconditional: cheap, and it leaves the connection clean whatever a
  // failed statement left behind. Both statements also commit.
  DBQuery unlock;
  if (unlock.query("unlock tables;"))
    conn->setLockHeld(false);
  else
    std::cout << "unlocking of tables failed: " << unlock.mySQLerror << std::endl;
  DBQuery autocommit;
  if (autocommit.query("set autocommit = 1;"))
    conn->setAutocommitOff(false);
  else
    std::cout << "cannot set autocommit to 1: " << autocommit.mySQLerror << std::endl;
}
