#include "DBTransaction.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "DBConnection.h"
#include "DBFailure.h"
#include "DBQuery.h"
#include "Trace.h"
#include <string>
#include <vector>

const char* const DBTransaction::kMovieLockFailed = "locking of movie related rows failed: ";
const char* const DBTransaction::kAccountLockFailed = "locking of account related rows failed: ";
const char* const DBTransaction::kPrepareFailed = "cannot prepare the request: ";
const char* const DBTransaction::kStartFailed = "cannot set autocommit to 0: ";

namespace {

// Both tables in one fixed order, each in key order, so that two requests
// never wait for each other's rows in a circle.
bool lockedBefore(const LockedRow& a, const LockedRow& b) {
  if (a.table != b.table) return a.table == LockedRow::Table::kMovie;
  if (a.table == LockedRow::Table::kMovie) return std::stoul(a.key) < std::stoul(b.key);
  return a.key < b.key;
}

// The trace names each row: "movie 7 (write), user alice (write)". A user
// name came from outside, so it is a value part.
std::vector<TracePart> rowParts(const char* lead, const std::vector<LockedRow>& rows) {
  std::vector<TracePart> parts{{lead, false}};
  for (size_t i = 0; i < rows.size(); ++i) {
    const bool movie = rows[i].table == LockedRow::Table::kMovie;
    parts.push_back({std::string(i > 0 ? ", " : "") + (movie ? "movie " : "user "), false});
    parts.push_back({rows[i].key, !movie});
    parts.push_back({" (write)", false});
  }
  return parts;
}

// One statement per table, keys in order.
std::vector<std::string> lockStatements(const std::vector<LockedRow>& rows) {
  std::string movies, users;
  for (const LockedRow& r : rows) {
    if (r.table == LockedRow::Table::kMovie) {
      movies += (movies.empty() ? "" : ",") + std::to_string(std::stoul(r.key));
    } else {
      users += (users.empty() ? "'" : ",'") + DBConnection::escape(r.key) + "'";
    }
  }
  std::vector<std::string> stmts;
  if (!movies.empty())
    stmts.push_back("select movieID from movie where movieID in (" + movies +
                    ") order by movieID for update");
  if (!users.empty())
    stmts.push_back("select username from user where username in (" + users +
                    ") order by username for update");
  return stmts;
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

LockedRow LockedRow::movie(unsigned long movieID) {
  return {Table::kMovie, std::to_string(movieID)};
}

LockedRow LockedRow::user(const std::string& username) { return {Table::kUser, username}; }

void DBTransaction::lockRows(LockFamily family, std::vector<LockedRow> rows) {
  std::sort(rows.begin(), rows.end(), lockedBefore);
  const bool movies = family == LockFamily::kMovies;
  const char* failPrefix = movies ? kMovieLockFailed : kAccountLockFailed;
  const std::string stamp = std::to_string(nowSeconds());
  traceLine(rowParts(("<-- " + stamp + (movies ? "Trying to lock Movie rows "
                                                : "Trying to lock Account rows "))
                         .c_str(),
                     rows));
  try {
    for (const std::string& stmt : lockStatements(rows)) {
      DBQuery queryObj;
      queryObj.query(stmt);
      queryObj.storeResults();
    }
  } catch (const DBFailure& f) {
    trace(failPrefix, TraceValue{f.what()});
    traceLine(rowParts(("--> " + std::to_string(nowSeconds()) +
                        (movies ? " Locked Movie rows " : " Locked Account rows "))
                           .c_str(),
                       rows));
    throw f.prefixed(failPrefix);
  }
  traceLine(rowParts(
      ("--> " + std::to_string(nowSeconds()) + (movies ? " Locked Movie rows " : " Locked Account rows "))
          .c_str(),
      rows));
}

void DBTransaction::unlockRows() {
  trace("<-- ", nowSeconds(), "Trying to unlock rows");
  DBConnection* conn = DBConnection::getInstance();
  try {
    if (conn->uncommittedWork()) run("rollback;", "rollback failed: ");
  } catch (const DBFailure&) {
    // Printed; the end of the request drops a session that still holds them.
  }
  trace("--> ", nowSeconds(), " Unlocked rows");
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
