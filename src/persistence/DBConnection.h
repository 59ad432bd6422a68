// One database connection and the state of the request it serves (deadline,
// claim, locks, open transaction, idle limit).
//
// A server process keeps several in a pool (server/ConnectionPool); a
// request's thread binds one to itself for the request's length, and every
// statement of that thread goes to it (getInstance). A thread with none
// bound gets a connection of its own, made on first use and kept until the
// thread ends. An object is used by one thread at a time, never by two: not
// thread safe. The static functions are. mysql_library_init must have run
// (DBConnection::libraryInit) before any thread starts.
#ifndef TAVRIN_DBCONNECTION_H
#define TAVRIN_DBCONNECTION_H

#include <mysql.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "DBFailure.h"
#include "DBSettings.h"

class DBConnection {
 public:
  // The calling thread's connection: the one bound to it, else its own.
  static DBConnection* getInstance();
  // Its handle; connects first when there is none.
  static MYSQL* getHandle();

  // A new connection, for a pool; it connects on its first statement.
  static std::unique_ptr<DBConnection> create();
  // Binds `conn` to the calling thread (null: unbinds, back to its own).
  // The caller keeps `conn` alive while bound, and binds it to one thread
  // at a time.
  static void bindToThread(DBConnection* conn);

  // The version of the request protocol this build speaks. A database that
  // records another (table protocol_version) is refused at connection set-up:
  // replicas of two locking schemes must never serve one database together.
  static constexpr int kProtocolVersion = 2;
  // Ours: the database records another protocol version.
  static constexpr unsigned int kProtocolMismatch = 60004;

  ~DBConnection();

  // Calls mysql_library_init once. Must be called before any thread starts.
  static void libraryInit();

  // Escapes a value for use between single quotes in a statement.
  static std::string escape(const std::string& value);

  // Index in DBSettings::current().endpoints of the database in use, or -1
  // while not connected.
  int endpointInUse() const { return connected ? endpointInUse_ : -1; }

  // Runs one statement on the connection, reconnecting when the connection
  // was never made, has been lost or was left half set up, and retrying once
  // when nothing of the session (table lock, open transaction) was lost with
  // it. Raises DBFailure when the statement failed or could not be sent.
  void execute(const std::string& stmt);

  // --- the request in progress ---------------------------------------------
  using TimePoint = std::chrono::steady_clock::time_point;
  // Until clearDeadline(), every statement is sent with what is left until
  // `deadline` as its own time limit (lock waits included), and none is sent
  // once the deadline has passed: it fails with DBFailure::kBudgetExhausted. A ROLLBACK
  // is the exception: it undoes work, so it always goes out, unbounded. Set
  // by the request's scope; without one, statements are bounded by the
  // session's limits alone.
  void setDeadline(TimePoint deadline);
  void clearDeadline() { hasDeadline_ = false; }
  bool hasDeadline() const { return hasDeadline_; }
  // Seconds left until the deadline; kNoDeadlineSec without one.
  double secondsLeft() const;
  static constexpr double kNoDeadlineSec = 8.0;

  // How long the database lets a session sit idle while it holds table
  // locks, an open transaction or a claim, before it closes the session and
  // so frees what it held: a replica frozen there stalls the others no
  // longer than this. Between requests the session gets kIdleLimitSec.
  static constexpr unsigned int kIdleLimitWhileHoldingSec = 3;
  static constexpr unsigned int kIdleLimitSec = 30;

  // Session bookkeeping, kept by DBTransaction: a lost connection only
  // retries a statement when neither is set.
  void setLockHeld(bool held) { lockHeld_ = held; }
  void setAutocommitOff(bool off) {
    autocommitOff_ = off;
    if (!off) uncommitted_ = false;  // autocommit on commits
  }
  // Set while the request's session settings (prepared) and claim are in
  // force (DBTransaction::prepare).
  void setPrepared(bool prepared) { prepared_ = prepared; }
  void setClaimHeld(bool held) { claimHeld_ = held; }
  bool prepared() const { return prepared_; }
  bool lockHeld() const { return lockHeld_; }
  bool autocommitOff() const { return autocommitOff_; }
  // A statement ran in the open transaction since its last COMMIT or
  // ROLLBACK: ending the request must roll it back, since UNLOCK TABLES
  // and autocommit would commit it.
  bool uncommittedWork() const { return uncommitted_; }
  bool claimHeld() const { return claimHeld_; }
  bool isConnected() const { return connected != 0; }
  // Set when the connection was lost while it held a lock or an open
  // transaction: every statement fails until endRequest() clears it, so
  // that nothing of that request runs without its lock.
  bool sessionBroken() const { return sessionBroken_; }
  void clearSessionBroken() { sessionBroken_ = false; }

  // Closes the connection; the next statement reconnects. For tests.
  void closeConnection();

 private:
  DBConnection();
  bool protocolMatches();  // the database's recorded version is ours
  DBConnection(const DBConnection&) = delete;
  DBConnection& operator=(const DBConnection&) = delete;

  bool reconnect();  // close, connect, select, session setup
  // Connects to the first writable endpoint of the settings, in list order:
  // 1 when connected, else 0 and lastError_ says what each endpoint answered.
  int mySQLconnect();
  int mySQLselectDB();  // 1 on success, else 0 and lastError_ set
  int sessionSetup();
  // One connection attempt, with the writable check: 1, or 0 with `why`.
  int connectTo(const DBSettings::Endpoint& ep, std::string& why);
  // Raises the failure, when there is one, that keeps `stmt` from being
  // sent now (a broken session, the budget run out, no connection).
  void checkSendable(bool rollback);
  // Sends once, within what is left of the budget (a rollback unbounded):
  // the library's status, 0 on success.
  int send(const std::string& stmt, bool rollback);
  // After a failed send: reconnects where the session held nothing and
  // sends once more; raises when that is not possible or fails too.
  void recover(const std::string& stmt, bool rollback);
  DBFailure lastFailure();  // the library's error of the last call

  std::string lastError_;
  std::string db;

  int connected;
  int isDB;
  DBSettings settings_;
  std::string dbname;    // host of the endpoint in use (the first before connecting)
  std::string username;
  std::string password;
  uint16_t port;         // its port; 0 means MYSQL_TCP_PORT
  // Connected, database selected and session set up: a connection that came
  // up only partly is made again before the next statement.
  bool ready_;
  int endpointInUse_;
  bool lockHeld_;
  bool autocommitOff_;
  bool sessionBroken_;
  bool prepared_;
  bool claimHeld_;
  bool uncommitted_;
  bool hasDeadline_;
  TimePoint deadline_;
  bool protocolRefused_;  // the last set-up found another protocol version

  MYSQL mysql;
};

#endif
