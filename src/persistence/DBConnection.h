// The one database connection of a server process.
//
// Created on first use and never destroyed. Not thread safe: the servants
// serialise requests, so only one thread uses the connection at a time.
// mysql_library_init must have run (DBConnection::libraryInit) before any
// thread starts.
#ifndef TAVRIN_DBCONNECTION_H
#define TAVRIN_DBCONNECTION_H

#include <mysql.h>

#include <cstdint>
#include <string>

#include "DBSettings.h"

class DBConnection {
 public:
  static DBConnection* getInstance();
  // The process's connection handle; connects first when there is none.
  static MYSQL* getHandle();

  // Calls mysql_library_init once. Must be called before any thread starts.
  static void libraryInit();

  // Escapes a value for use between single quotes in a statement.
  static std::string escape(const std::string& value);

  // Connects to the first writable endpoint of DBSettings::current(), in
  // list order: 1 when connected, else 0 and mySQLerror says what each
  // endpoint answered.
  int mySQLconnect();
  int mySQLselectDB();  // 1 on success, else 0 and mySQLerror set
  // Index in DBSettings::current().endpoints of the database in use, or -1
  // while not connected.
  int endpointInUse() const { return connected ? endpointInUse_ : -1; }

  // Runs one statement on the connection, reconnecting when the connection
  // was never made or has been lost, and retrying once when nothing of the
  // session (table lock, open transaction) was lost with it. Returns the
  // library's status: 0 on success. On failure, fills err (1024 bytes).
  int execute(const char* stmt, unsigned long len, char* err);

  // Session bookkeeping, kept by DBTransaction: a lost connection only
  // retries a statement when neither is set.
  void setLockHeld(bool held) { lockHeld_ = held; }
  void setAutocommitOff(bool off) { autocommitOff_ = off; }
  bool lockHeld() const { return lockHeld_; }
  bool autocommitOff() const { return autocommitOff_; }
  bool isConnected() const { return connected != 0; }
  // Set when the connection was lost while it held a lock or an open
  // transaction: every statement fails until endRequest() clears it, so
  // that nothing of that request runs without its lock.
  bool sessionBroken() const { return sessionBroken_; }
  void clearSessionBroken() { sessionBroken_ = false; }

  // Closes the connection; the next statement reconnects. For tests.
  void closeConnection();

  // Client error codes that mean the connection is gone.
  static bool isConnectionLost(unsigned int code);

  char mySQLerror[1024];
  std::string db;

 private:
  DBConnection();
  DBConnection(const DBConnection&) = delete;
  DBConnection& operator=(const DBConnection&) = delete;

  bool reconnect();  // close, connect, select, session setup
  int sessionSetup();
  // One connection attempt, with the writable check: 1, or 0 with `why`.
  int connectTo(const DBSettings::Endpoint& ep, std::string& why);

  int connected;
  int isDB;
  DBSettings settings_;
  std::string dbname;    // host of the endpoint in use (the first before connecting)
  std::string username;
  std::string password;
  uint16_t port;         // its port; 0 means MYSQL_TCP_PORT
  int endpointInUse_;
  bool lockHeld_;
  bool autocommitOff_;
  bool sessionBroken_;

  static MYSQL mysql;
  static DBConnection* instance;
};

#endif
