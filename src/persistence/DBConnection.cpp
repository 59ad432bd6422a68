#include "DBConnection.h"
#include "DBTls.h"
#include "Trace.h"

#include <mysqld_error.h>
#include <errmsg.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <mutex>
#include <vector>

namespace {
// Bounded so a dead database host fails a request within seconds. The read
// limit stays above the longest time limit a statement is sent with, so a
// slow statement ends with its own error, not a dropped connection.
const unsigned int kConnectTimeoutSec = 3;
const unsigned int kReadTimeoutSec = 10;
const unsigned int kWriteTimeoutSec = 10;

const char* const kSessionSetup =
    "set session lock_wait_timeout = 8, session innodb_lock_wait_timeout = 8, "
    "session wait_timeout = 30";

// Row locks under READ COMMITTED take no gap locks on secondary indexes, so
// requests for other customers and other titles never wait for each other.
const char* const kIsolation = "set session transaction isolation level read committed";

const char* const kBudgetText = "The request's time budget ran out";

// The connection bound to this thread for its request, and the thread's own.
thread_local DBConnection* boundConnection = nullptr;
thread_local std::unique_ptr<DBConnection> ownConnection;

// Said once per process: every connection would say the same.
std::atomic<bool> mismatchReported{false};
}  // namespace

void DBConnection::libraryInit() {
  static std::once_flag once;
  std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
}

DBConnection* DBConnection::getInstance() {
  if (boundConnection != nullptr) return boundConnection;
  if (!ownConnection) {
    ownConnection = create();
    ownConnection->ready_ = ownConnection->mySQLconnect() && ownConnection->mySQLselectDB() &&
                            ownConnection->sessionSetup();
  }
  return ownConnection.get();
}

MYSQL* DBConnection::getHandle() { return &getInstance()->mysql; }

std::unique_ptr<DBConnection> DBConnection::create() {
  return std::unique_ptr<DBConnection>(new DBConnection());
}

void DBConnection::bindToThread(DBConnection* conn) { boundConnection = conn; }

DBConnection::~DBConnection() { mysql_close(&mysql); }

DBConnection::DBConnection()
    : connected(0),
      isDB(1),
      settings_(DBSettings::current()),
      dbname(settings_.endpoints().front().host()),
      username(settings_.user()),
      password(settings_.password()),
      port(static_cast<uint16_t>(settings_.endpoints().front().port())),
      ready_(false),
      endpointInUse_(-1),
      lockHeld_(false),
      autocommitOff_(false),
      sessionBroken_(false),
      prepared_(false),
      claimHeld_(false),
      uncommitted_(false),
      hasDeadline_(false),
      protocolRefused_(false) {
  libraryInit();
  mysql_init(&mysql);
}

int DBConnection::connectTo(const DBSettings::Endpoint& ep, std::string& why) {
  mysql_options(&mysql, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectTimeoutSec);
  mysql_options(&mysql, MYSQL_OPT_READ_TIMEOUT, &kReadTimeoutSec);
  mysql_options(&mysql, MYSQL_OPT_WRITE_TIMEOUT, &kWriteTimeoutSec);
  mysql_options(&mysql, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  // Automatic reconnection would silently drop locks and autocommit state.
  my_bool reconnectFlag = 0;
  mysql_options(&mysql, MYSQL_OPT_RECONNECT, &reconnectFlag);
  DBTls::apply(&mysql, settings_);
  // Port 0: the client library takes MYSQL_TCP_PORT from the environment.
  if (mysql_real_connect(&mysql, ep.host().c_str(), username.c_str(), password.c_str(), nullptr,
                         ep.port(), nullptr, 0) == nullptr) {
    why = mysql_error(&mysql);
    return 0;
  }
  if (!DBTls::check(&mysql, settings_, why)) return 0;
  // A standby accepts connections but refuses our writes; only the primary
  // may serve. Nothing here promotes a standby: that is the operator's act.
  if (mysql_query(&mysql, "select @@global.read_only") != 0) {
    why = mysql_error(&mysql);
    return 0;
  }
  MYSQL_RES* res = mysql_store_result(&mysql);
  MYSQL_ROW row = res != nullptr ? mysql_fetch_row(res) : nullptr;
  bool writable = row != nullptr && row[0] != nullptr && std::strcmp(row[0], "0") == 0;
  if (res != nullptr) mysql_free_result(res);
  if (!writable) {
    why = "the database is read-only (a standby)";
    return 0;
  }
  return 1;
}

int DBConnection::mySQLconnect() {
  // Endpoints in the configured order; the first writable one serves.
  std::string errors;
  const std::vector<DBSettings::Endpoint>& eps = settings_.endpoints();
  for (size_t i = 0; i < eps.size(); ++i) {
    if (i > 0) {
      mysql_close(&mysql);
      mysql_init(&mysql);
    }
    std::string why;
    if (connectTo(eps[i], why)) {
      connected = 1;
      endpointInUse_ = static_cast<int>(i);
      dbname = eps[i].host();
      port = static_cast<uint16_t>(eps[i].port());
      return 1;
    }
    // One endpoint: the library's own text, as callers have always seen it.
    if (eps.size() == 1) {
      errors = why;
    } else {
      if (!errors.empty()) errors += "; ";
      errors += eps[i].text() + ": " + why;
    }
  }
  connected = 0;
  endpointInUse_ = -1;
  if (eps.size() > 1) errors = "No writable database among the endpoints: " + errors;
  lastError_ = errors;
  return 0;
}

int DBConnection::mySQLselectDB() {
  db = settings_.database();
  isDB = mysql_select_db(&mysql, db.c_str());
  if (isDB != 0) {
    lastError_ = mysql_error(&mysql);
    return 0;
  }
  return 1;
}

int DBConnection::sessionSetup() {
  if (mysql_query(&mysql, kSessionSetup) != 0 || mysql_query(&mysql, kIsolation) != 0) {
    lastError_ = mysql_error(&mysql);
    return 0;
  }
  return protocolMatches() ? 1 : 0;
}

bool DBConnection::protocolMatches() {
  protocolRefused_ = false;
  if (mysql_query(&mysql, "select version from protocol_version") != 0) {
    lastError_ = mysql_error(&mysql);
    return false;
  }
  MYSQL_RES* res = mysql_store_result(&mysql);
  MYSQL_ROW row = res != nullptr ? mysql_fetch_row(res) : nullptr;
  const std::string recorded = row != nullptr && row[0] != nullptr ? row[0] : "none";
  if (res != nullptr) mysql_free_result(res);
  if (recorded == std::to_string(kProtocolVersion)) return true;
  protocolRefused_ = true;
  lastError_ = "the database records request protocol " + recorded + ", this replica speaks " +
               std::to_string(kProtocolVersion) + ": not serving it";
  if (!mismatchReported.exchange(true)) trace("Server: ", TraceValue{lastError_});
  return false;
}

bool DBConnection::reconnect() {
  closeConnection();
  ready_ = mySQLconnect() && mySQLselectDB() && sessionSetup();
  return ready_;
}

void DBConnection::closeConnection() {
  mysql_close(&mysql);
  mysql_init(&mysql);
  connected = 0;
  ready_ = false;
  endpointInUse_ = -1;
  lockHeld_ = false;
  autocommitOff_ = false;
  prepared_ = false;
  claimHeld_ = false;
  uncommitted_ = false;
}

void DBConnection::setDeadline(TimePoint deadline) {
  deadline_ = deadline;
  hasDeadline_ = true;
}

double DBConnection::secondsLeft() const {
  if (!hasDeadline_) return kNoDeadlineSec;
  return std::chrono::duration<double>(deadline_ - std::chrono::steady_clock::now()).count();
}

namespace {

// Whether `stmt` begins with `word`, ignoring letter case.
bool startsWith(const std::string& stmt, const char* word) {
  const size_t n = std::strlen(word);
  return stmt.size() >= n && strncasecmp(stmt.c_str(), word, n) == 0;
}

}  // namespace

DBFailure DBConnection::lastFailure() {
  return DBFailure(mysql_errno(&mysql), mysql_error(&mysql));
}

void DBConnection::checkSendable(bool rollback) {
  if (sessionBroken_) {
    // Not sent: unlike CR_SERVER_LOST, surely not done.
    throw DBFailure(CR_SERVER_GONE_ERROR, "Lost connection to the database during this request");
  }
  if (hasDeadline_ && !rollback && secondsLeft() <= 0)
    throw DBFailure(DBFailure::kBudgetExhausted, kBudgetText);
  if (!ready_ && !reconnect())
    throw DBFailure(protocolRefused_ ? kProtocolMismatch : CR_CONNECTION_ERROR, lastError_);
  if (mysql.status == MYSQL_STATUS_GET_RESULT) {
    // An earlier statement's result was never read; without this the
    // connection would refuse every later statement as out of sync.
    MYSQL_RES* unread = mysql_store_result(&mysql);
    if (unread != nullptr) mysql_free_result(unread);
  }
}

// The database itself ends a statement, lock waits included, once the
// request's time is up: no work can take effect after that.
int DBConnection::send(const std::string& stmt, bool rollback) {
  if (!hasDeadline_ || rollback) return mysql_real_query(&mysql, stmt.data(), stmt.size());
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "SET STATEMENT max_statement_time=%.3f FOR ",
                std::max(secondsLeft(), 0.001));
  const std::string bounded = prefix + stmt;
  return mysql_real_query(&mysql, bounded.data(), bounded.size());
}

void DBConnection::execute(const std::string& stmt) {
  // Ending the transaction either way leaves no work behind it; session
  // settings and table locks add none; any other statement in it adds work
  // that must be committed or rolled back.
  const bool rollback = startsWith(stmt, "rollback");
  const bool ends = rollback || startsWith(stmt, "commit");
  const bool addsWork = !ends && !startsWith(stmt, "set ") && !startsWith(stmt, "lock ") &&
                        !startsWith(stmt, "unlock ");
  checkSendable(rollback);
  if (autocommitOff_ && addsWork) uncommitted_ = true;
  if (send(stmt, rollback) != 0) recover(stmt, rollback);
  if (ends) uncommitted_ = false;
}

void DBConnection::recover(const std::string& stmt, bool rollback) {
  DBFailure failure = lastFailure();
  // A database made read-only while it runs (a planned switchover) keeps
  // the connection but takes no writes: connect again, to the first
  // endpoint that does.
  if (!DBFailure::isConnectionLost(failure.code()) && failure.code() != ER_OPTION_PREVENTS_STATEMENT)
    throw failure;
  // The server has dropped the session, or this one is of no use; whatever
  // it held is gone with it.
  const bool heldSession = lockHeld_ || autocommitOff_ || claimHeld_;
  closeConnection();
  if (heldSession) {
    sessionBroken_ = true;
    throw failure;
  }
  if (!reconnect()) throw failure;
  if (send(stmt, rollback) != 0) throw lastFailure();
}

std::string DBConnection::escape(const std::string& value) {
  DBConnection* conn = getInstance();
  std::vector<char> buf(2 * value.size() + 1);
  unsigned long n;
  if (conn->connected) {
    n = mysql_real_escape_string(&conn->mysql, buf.data(), value.data(), value.size());
  } else {
    // No server to ask for its charset: the client's own utf8mb4 rules.
    n = mysql_escape_string(buf.data(), value.data(), value.size());
  }
  return std::string(buf.data(), n);
}
