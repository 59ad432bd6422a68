#include "User.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "Contract.h"
#include "CustTransaction.h"
#include "DBConnection.h"
#include "DBQuery.h"
#include "DBTransaction.h"
#include "tavrinTimer.h"

namespace {

const char* const kBadTicket = "more than one or no user found with the same uname/ticket\n";
const char* const kBadPassword = "More than one or no user found with the same uname/password\n";
const char* const kLoginAlreadyDone =
    "This log-in was already carried out and its session has ended\n";

[[noreturn]] void fail(const std::string& message) { throw TavrinException(message.c_str()); }

// Text of a value for use between single quotes in a statement.
std::string q(const char* value) { return DBConnection::escape(str(value)); }

// Echoes and sends one statement; a failure raises prefix + the error text.
void send(DBQuery& queryObj, const std::string& stmt, const char* prefix, bool echo = true) {
  if (echo) std::cout << "Query: " << stmt << std::endl;
  if (!queryObj.query(stmt.c_str())) fail(prefix + std::string(queryObj.mySQLerror));
}

// Stores the result of a SELECT and returns its row count; a failure raises
// the error text alone.
long storeRows(DBQuery& queryObj) {
  if (!queryObj.storeResults()) fail(queryObj.mySQLerror);
  return queryObj.rows();
}

// Copies a column of the current row into a contract string; a missing value
// reads as empty.
void copyColumn(DBQuery& queryObj, const char* column, CORBA::String_member& target) {
  const char* value = queryObj.valueOf(column);
  target = CORBA::string_dup(value ? value : "");
}

// Any non-zero 32-bit value from the OS random source.
CORBA::Long randomToken() {
  for (int attempt = 0; attempt < 64; ++attempt) {
    uint32_t value = 0;
    ssize_t n = getrandom(&value, sizeof value, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof value)) {
      int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      n = ::read(fd, &value, sizeof value);
      ::close(fd);
      if (n != static_cast<ssize_t>(sizeof value)) continue;
    }
    if (value != 0) return static_cast<CORBA::Long>(value);
  }
  std::cout << "User::generateTicket(): no random source" << std::endl;
  fail(kInternalServerError);
}

// Opens a timing file for appending, creating it rw-rw-r-- (less the umask).
void openTiming(std::ofstream& file, const char* path) {
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
  if (fd >= 0) ::close(fd);
  file.open(path, std::ios::out | std::ios::app);
}

struct Clock {
  uint32_t sec;
  uint32_t usec;
};

Clock now() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return {static_cast<uint32_t>(tv.tv_sec), static_cast<uint32_t>(tv.tv_usec)};
}

}  // namespace

User* User::instance = nullptr;

User* User::getInstance() {
  if (instance == nullptr) instance = new User;
  return instance;
}

User::User() {
  openTiming(fileLogin, "accountServerLogin.dat");
  openTiming(fileLogout, "accountServerLogout.dat");
  openTiming(fileCreateProfile, "accountServerCreateProfile.dat");
}

User::~User() {
  fileLogin.close();
  fileLogout.close();
  fileCreateProfile.close();
}

void User::writeTiming(std::ofstream& file, uint32_t secBefore, uint32_t usecBefore) {
  Clock after = now();
  file << tavrinTimer::millisBetween(secBefore, usecBefore, after.sec, after.usec) << std::endl;
}

void User::lockAccountTables() {
  DBTransaction transaction;
  if (transaction.lockAccountTables()) return;
  fail(std::string(DBTransaction::kAccountLockFailed) + transaction.mySQLerror);
}

void User::startOrRefuse(DBTransaction& transaction, bool locked) {
  if (transaction.start()) return;
  if (locked) transaction.unlockTables();
  fail(std::string("cannot set autocommit to 0: ") + transaction.mySQLerror);
}

// A lost commit must not be answered as success.
void User::commitOrRefuse(DBTransaction& transaction, bool locked, const char* tavrinMsg) {
  if (transaction.commit()) return;
  TavrinException e((std::string("commit failed: ") + transaction.mySQLerror).c_str());
  std::cout << tavrinMsg << e << std::endl;
  transaction.rollback();
  if (locked) transaction.unlockTables();
  throw e;
}

// ---------------------------------------------------------------- sessions

Ticket_var User::login(UserInfo& uinfo, const ClientTransaction& ctinfo) {
  std::cout << "User::login called" << std::endl;
  Clock before = now();
  DBTransaction transaction;
  CustTransaction ctrans;
  Ticket_var ticket;

  lockAccountTables();
  startOrRefuse(transaction, true);

  try {
    bool hasSession = checkSessionStatus(str(uinfo.username)) == 1;
    if (hasSession && validateClient(uinfo, ctinfo) == 1) {
      // A repeat from this client instance: every replica answers with
      // the stored ticket.
      populateUserInfo(uinfo);
      ticket = getTicket(uinfo);
      transaction.unlockTables();
      return ticket;
    }
    // A log-in that another replica carried out, whose session has since
    // ended or been replaced: opening or ending a session now would act for
    // nobody.
    if (ctrans.CheckTransaction(uinfo, ctinfo) == 1) fail(kLoginAlreadyDone);
    if (hasSession) {
      // Another client instance holds the session. Its session ends only
      // for someone who knows the password.
      populateUserInfo(uinfo);
      Ticket_var stored = getTicket(uinfo);
      endSession(stored, false);
    }
  } catch (const TavrinException& e) {
    std::cout << "User::login(): TavrinExceptin occured:" << e << std::endl;
    transaction.rollback();
    transaction.unlockTables();
    throw;
  } catch (...) {
    std::cout << "User::login(): Generic Exception occured" << std::endl;
    transaction.rollback();
    transaction.unlockTables();
    fail(kInternalServerError);
  }

  try {
    populateUserInfo(uinfo);
    _login(uinfo, ctinfo);
    ticket = generateTicket(uinfo);
    addTicket(ticket);
    ctrans.AddTransaction(uinfo, ctinfo);
    writeTiming(fileLogin, before.sec, before.usec);
  } catch (const TavrinException& e) {
    std::cout << "User::login(): TavrinException 2 occured: " << e << std::endl;
    transaction.rollback();
    transaction.unlockTables();
    throw;
  } catch (...) {
    std::cout << "User::login(): Generic Exceptin 2 occured" << std::endl;
    transaction.rollback();
    transaction.unlockTables();
    fail(kInternalServerError);
  }

  commitOrRefuse(transaction, true, "User::login(): TavrinException 2 occured: ");
  transaction.unlockTables();
  return ticket;
}

void User::logout(const Ticket_var& custTicket) { endSession(custTicket, true); }

void User::endSession(const Ticket_var& custTicket, bool lockTables) {
  std::cout << "User::logout called" << std::endl;
  Clock before = now();
  DBTransaction transaction;

  // The session check and the deletes must not interleave with another
  // replica's log-in replacing the session.
  if (lockTables) lockAccountTables();
  startOrRefuse(transaction, lockTables);
  try {
    // Only the session's own ticket ends it; without a session there is
    // nothing to protect, so every replica of one log-out succeeds.
    if (checkSessionStatus(str(custTicket->username)) == 1) validateTicket(custTicket);
    _logout(custTicket);
    removeTicket(custTicket);
  } catch (const TavrinException& e) {
    std::cout << "User::logout(): TavrinException Occured: " << e << std::endl;
    transaction.rollback();
    if (lockTables) transaction.unlockTables();
    throw;
  } catch (...) {
    std::cout << "User::logout(): Generic Exception Occured " << std::endl;
    transaction.rollback();
    if (lockTables) transaction.unlockTables();
    fail(kInternalServerError);
  }
  commitOrRefuse(transaction, lockTables, "User::logout(): TavrinException Occured: ");
  if (lockTables) transaction.unlockTables();
  writeTiming(fileLogout, before.sec, before.usec);
}

void User::_login(UserInfo& uinfo, const ClientTransaction& ctinfo) {
  std::cout << "User::_login called" << std::endl;
  std::cout << "ClientTransaction.clientID: " << str(ctinfo.clientID) << std::endl;
  std::cout << "ClientTransaction.transactionID: " << ctinfo.transactionID << std::endl;
  std::cout << "UserInfo.username: " << str(uinfo.username) << std::endl;
  DBQuery queryObj;
  std::string stmt = "insert into client values ('" + q(uinfo.username) + "', '" +
                     q(ctinfo.clientID) + "')";
  send(queryObj, stmt, "Insertion of customer ID - username mapping failed: ");
}

void User::_logout(const Ticket_var& custTicket) {
  std::cout << "User::_logout called" << std::endl;
  std::string username = q(custTicket->username);
  DBQuery queryObj;
  // The user's request log outlives the session: a replica that is slow to
  // run one of its requests must still find it. Only entries no replica can
  // still be working on are dropped.
  send(queryObj,
       "delete from transactions where username = '" + username +
           "' and loggedAt < now() - interval 1 day",
       "Deletion of transactions failed: ");
  send(queryObj, "delete from client where username = '" + username + "'",
       "Deletion of customer ID - username mapping failed: ", false);
}

Ticket_var User::generateTicket(UserInfo& uinfo) {
  std::cout << "User::generateTicket called" << std::endl;
  Ticket_var ticket = new Ticket;
  ticket->username = CORBA::string_dup(str(uinfo.username).c_str());
  ticket->token = randomToken();
  return ticket;
}

Ticket_var User::getTicket(UserInfo& uinfo) {
  std::cout << "User::getTicket called" << std::endl;
  DBQuery queryObj;
  send(queryObj, "select token from ticket where username = '" + q(uinfo.username) + "';",
       "Query failed: ");
  if (storeRows(queryObj) != 1) {
    queryObj.freeit();
    fail("more than one or no user found with the specified username");
  }
  queryObj.isRows();
  const char* token = queryObj.valueOf("token");
  Ticket_var ticket = new Ticket;
  ticket->username = CORBA::string_dup(str(uinfo.username).c_str());
  ticket->token = token ? std::atoi(token) : 0;
  queryObj.freeit();
  return ticket;
}

void User::addTicket(const Ticket_var& custTicket) {
  std::cout << "User::addTicket called" << std::endl;
  DBQuery queryObj;
  send(queryObj,
       "insert into ticket values ('" + q(custTicket->username) + "', " +
           std::to_string(custTicket->token) + ")",
       "Ticket cannot be added: ");
}

void User::validateTicket(const Ticket_var& custTicket) {
  std::cout << "User::validateTicket called" << std::endl;
  DBQuery queryObj;
  send(queryObj,
       "select * from ticket where username = '" + q(custTicket->username) +
           "' and token = " + std::to_string(custTicket->token),
       "Query failed: ");
  long rows = storeRows(queryObj);
  queryObj.freeit();
  if (rows != 1) fail(kBadTicket);
}

unsigned int User::checkSessionStatus(std::string username) {
  std::cout << "User::checkSessionStatus called" << std::endl;
  DBQuery queryObj;
  send(queryObj,
       "select * from ticket where username = '" + DBConnection::escape(username) + "';",
       "Check user session status failed: ");
  long rows = storeRows(queryObj);
  queryObj.freeit();
  return rows > 0 ? 1 : 0;
}

void User::removeTicket(const Ticket_var& custTicket) {
  std::cout << "User::removeTicket called" << std::endl;
  DBQuery queryObj;
  send(queryObj, "delete from ticket where username = '" + q(custTicket->username) + "';",
       "Ticket cannot be removed: ");
}

unsigned int User::validateClient(const UserInfo& uinfo, const ClientTransaction& ctinfo) {
  std::cout << "User::validateClient called" << std::endl;
  DBQuery queryObj;
  send(queryObj,
       "select * from client where username = '" + q(uinfo.username) + "' and clientID = '" +
           q(ctinfo.clientID) + "';",
       "Query failed: ");
  long rows = storeRows(queryObj);
  queryObj.freeit();
  return rows == 1 ? 1 : 0;
}

void User::populateUserInfo(UserInfo& uinfo) {
  std::cout << "User::populateUserInfo called" << std::endl;
  DBQuery queryObj;
  send(queryObj,
       "select * from user where userName = '" + q(uinfo.username) + "' and password = '" +
           q(uinfo.password) + "'",
       "Query failed: ");
  if (storeRows(queryObj) != 1) {
    queryObj.freeit();
    fail(kBadPassword);
  }
  queryObj.isRows();
  copyColumn(queryObj, "fName", uinfo.fName);
  copyColumn(queryObj, "lName", uinfo.lName);
  copyColumn(queryObj, "address", uinfo.address);
  copyColumn(queryObj, "creditCardNum", uinfo.creditCardNum);
  copyColumn(queryObj, "phoneNum", uinfo.phoneNum);
  copyColumn(queryObj, "eMail", uinfo.eMail);
  queryObj.freeit();
}

// ---------------------------------------------------------------- profiles

bool User::runProfileRequest(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                             bool locked, void (User::*worker)(const UserInfo&),
                             const char* tavrinMsg, const char* genericMsg) {
  DBTransaction transaction;
  CustTransaction ctrans;
  if (locked) lockAccountTables();
  startOrRefuse(transaction, locked);
  try {
    if (ctrans.CheckTransaction(uinfo, ctinfo) == 1) {
      transaction.rollback();
      if (locked) transaction.unlockTables();
      return false;
    }
    (this->*worker)(uinfo);
    ctrans.AddTransaction(uinfo, ctinfo);
  } catch (const TavrinException& e) {
    std::cout << tavrinMsg << e << std::endl;
    transaction.rollback();
    if (locked) transaction.unlockTables();
    throw;
  } catch (...) {
    std::cout << genericMsg << std::endl;
    transaction.rollback();
    if (locked) transaction.unlockTables();
    fail(kInternalServerError);
  }
  commitOrRefuse(transaction, locked, tavrinMsg);
  if (locked) transaction.unlockTables();
  return true;
}

void User::createProfile(const UserInfo& uinfo, const ClientTransaction& ctinfo) {
  std::cout << "User::createProfile called" << std::endl;
  Clock before = now();
  if (runProfileRequest(uinfo, ctinfo, true, &User::_createProfile,
                        "User::createProfile(): TavrinException occured: ",
                        "User::createProfile(): Generic Exceptin occured"))
    writeTiming(fileCreateProfile, before.sec, before.usec);
}

void User::updateProfile(const UserInfo& uinfo, const ClientTransaction& ctinfo) {
  std::cout << "User::updateProfile called" << std::endl;
  runProfileRequest(uinfo, ctinfo, true, &User::_updateProfile,
                    "User::updateProfile(): TavrinException occured : ",
                    "User::updateProfile(): Generic Exception occured");
}

void User::discontinueAccount(const UserInfo& uinfo, const ClientTransaction& ctinfo) {
  std::cout << "User::discontinueAccount called" << std::endl;
  // No table lock: a second replica deletes nothing and logs the request again.
  runProfileRequest(uinfo, ctinfo, false, &User::_discontinueAccount,
                    "User::discontinueAccount(): TavrinException occured: ",
                    "User::discontinueAccount(): Generic Exception occured");
}

void User::_createProfile(const UserInfo& uinfo) {
  std::cout << "User::_createProfile called" << std::endl;
  DBQuery queryObj;
  std::string stmt = "insert into user values ('" + q(uinfo.fName) + "', '" + q(uinfo.lName) +
                     "', '" + q(uinfo.address) + "', '" + q(uinfo.creditCardNum) + "', '" +
                     q(uinfo.phoneNum) + "', '" + q(uinfo.eMail) + "', '" +
                     q(uinfo.username) + "', '" + q(uinfo.password) + "')";
  send(queryObj, stmt, "Creation of profile failed: ");
}

void User::_updateProfile(const UserInfo& uinfo) {
  std::cout << "User::_updateProfile called" << std::endl;
  DBQuery queryObj;
  std::string stmt = "update user set ";
  stmt += "fName = '" + q(uinfo.fName) + "', ";
  stmt += "lname = '" + q(uinfo.lName) + "', ";
  stmt += "address = '" + q(uinfo.address) + "', ";
  stmt += "creditCardNum = '" + q(uinfo.creditCardNum) + "', ";
  stmt += "phoneNum = '" + q(uinfo.phoneNum) + "', ";
  stmt += "eMail = '" + q(uinfo.eMail) + "', ";
  stmt += "password = '" + q(uinfo.password);
  stmt += "' where username = '" + q(uinfo.username) + "'";
  send(queryObj, stmt, "Updation of profile failed: ");
}

void User::_discontinueAccount(const UserInfo& uinfo) {
  std::cout << "User::_discontinueAccount called" << std::endl;
  DBQuery queryObj;
  send(queryObj, "delete from user where username = '" + q(uinfo.username) + "'",
       "Deletion of profile failed: ");
}

unsigned int User::getOutstandingMovieCount(const Ticket_var& custTicket) {
  std::cout << "User::getOutstandingMovieCount called" << std::endl;
  DBQuery queryObj;
  send(queryObj,
       "select count(username) from checkedoutmovies where userName = '" +
           q(custTicket->username) + "'",
       "Query failed: ");
  storeRows(queryObj);
  unsigned int returnVal = 0;
  if (queryObj.isRows()) {
    const char* value = queryObj.valueOf("count(username)");
    if (value) returnVal = static_cast<unsigned int>(std::atoi(value));
  }
  queryObj.freeit();
  return returnVal;
}
