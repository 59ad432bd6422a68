#include "User.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "Contract.h"
#include "CustTransaction.h"
#include "DBConnection.h"
#include "DBFailure.h"
#include "DBQuery.h"
#include "DBTransaction.h"
#include "SqlText.h"
#include "tavrinTimer.h"

namespace {

const char* const kBadTicket = "more than one or no user found with the same uname/ticket\n";
const char* const kBadPassword = "More than one or no user found with the same uname/password\n";
const char* const kLoginAlreadyDone =
    "This log-in was already carried out and its session has ended\n";
const char* const kMoviesOut = "Please return your movies before discontinuing your account";

[[noreturn]] void fail(const std::string& message) { throw TavrinException(message.c_str()); }

// Echoes and sends one statement, secrets masked; a failure raises prefix +
// the error text, as a refusal of the values or as Unavailable.
void send(DBQuery& queryObj, const SqlText& sql, const char* prefix, bool echo = true) {
  if (echo) std::cout << "Query: " << sql.shown() << std::endl;
  if (!queryObj.query(sql.text().c_str()))
    raiseStatementFailure(prefix, sql.masked(queryObj.mySQLerror).c_str(), queryObj.mySQLerrno);
}

// Stores the result of a SELECT and returns its row count; a failure raises
// the error text alone.
long storeRows(DBQuery& queryObj) {
  if (!queryObj.storeResults())
    raiseStatementFailure("", queryObj.mySQLerror, queryObj.mySQLerrno);
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
  throw Unavailable(Unavailable::kInternal, "no random source for the session token");
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

void prepareOrFail(DBTransaction& transaction, const std::string& claim) {
  if (transaction.prepare(claim)) return;
  throw Unavailable(unavailabilityOf(transaction.mySQLerrno, Unavailable::kStartFailed),
                    std::string("cannot prepare the request: ") + transaction.mySQLerror);
}

// Opens the transaction once the lock is held; unlocks before raising.
void startOrFail(DBTransaction& transaction) {
  if (transaction.start()) return;
  Unavailable e(unavailabilityOf(transaction.mySQLerrno, Unavailable::kStartFailed),
                std::string("cannot set autocommit to 0: ") + transaction.mySQLerror);
  transaction.unlockTables();
  throw e;
}

void lockOrFail(DBTransaction& transaction, bool withRentals = false) {
  if (withRentals ? transaction.lockAccountAndRentalTables() : transaction.lockAccountTables())
    return;
  throw Unavailable(unavailabilityOf(transaction.mySQLerrno, Unavailable::kStatementFailed),
                    DBTransaction::kAccountLockFailed + std::string(transaction.mySQLerror));
}


void commitOrFail(DBTransaction& transaction, bool locked, const char* message) {
  if (transaction.commit()) return;
  Unavailable e = commitFailure(transaction.mySQLerrno, transaction.mySQLerror);
  std::cout << message << e.what() << std::endl;
  transaction.rollback();
  if (locked) transaction.unlockTables();
  throw e;
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

void User::guarded(DBTransaction& transaction, bool locked, const char* tavrinMsg,
                   const char* genericMsg, const std::function<void()>& body) {
  try {
    body();
  } catch (const TavrinException& e) {
    std::cout << tavrinMsg << e << std::endl;
    transaction.rollback();
    if (locked) transaction.unlockTables();
    throw;
  } catch (const Unavailable& e) {
    std::cout << genericMsg << ": " << e.what() << std::endl;
    transaction.rollback();
    if (locked) transaction.unlockTables();
    throw;
  } catch (...) {
    std::cout << genericMsg << std::endl;
    transaction.rollback();
    if (locked) transaction.unlockTables();
    throw Unavailable(Unavailable::kInternal, genericMsg);
  }
}

// ---------------------------------------------------------------- sessions

Ticket_var User::login(UserInfo& uinfo, const ClientTransaction& ctinfo) {
  std::cout << "User::login called" << std::endl;
  Clock before = now();
  DBTransaction transaction;
  CustTransaction ctrans;
  Ticket_var ticket;

  // Replicas of one log-in take turns: the first opens the session, the
  // others find it with this client's identity and hand out its ticket.
  prepareOrFail(transaction, DBTransaction::claimKey(str(uinfo.username), str(ctinfo.clientID),
                                                      ctinfo.transactionID));
  lockOrFail(transaction);
  startOrFail(transaction);

  bool repeat = false;
  guarded(transaction, true, "User::login(): TavrinExceptin occured:",
          "User::login(): Generic Exception occured", [&] {
            bool hasSession = checkSessionStatus(str(uinfo.username)) == 1;
            if (hasSession && validateClient(uinfo, ctinfo) == 1) {
              // A repeat from this client instance: every replica answers
              // with the stored ticket.
              populateUserInfo(uinfo);
              ticket = getTicket(uinfo);
              repeat = true;
              return;
            }
            // A log-in that another replica carried out, whose session has
            // since ended or been replaced: opening or ending a session now
            // would act for nobody.
            if (ctrans.CheckTransaction(uinfo, ctinfo) == 1) fail(kLoginAlreadyDone);
            if (hasSession) {
              // Another client instance holds the session. Its session ends
              // only for someone who knows the password.
              populateUserInfo(uinfo);
              Ticket_var stored = getTicket(uinfo);
              endSession(stored, false);
            }
          });
  if (repeat) {
    transaction.unlockTables();
    return ticket;
  }

  guarded(transaction, true, "User::login(): TavrinException 2 occured: ",
          "User::login(): Generic Exceptin 2 occured", [&] {
            populateUserInfo(uinfo);
            _login(uinfo, ctinfo);
            ticket = generateTicket(uinfo);
            addTicket(ticket);
            ctrans.AddTransaction(uinfo, ctinfo);
          });
  commitOrFail(transaction, true, "User::login(): TavrinException 2 occured: ");
  transaction.unlockTables();
  writeTiming(fileLogin, before.sec, before.usec);
  return ticket;
}

void User::logout(const Ticket_var& custTicket) { endSession(custTicket, true); }

void User::endSession(const Ticket_var& custTicket, bool lockTables) {
  std::cout << "User::logout called" << std::endl;
  Clock before = now();
  DBTransaction transaction;

  // The session check and the deletes must not interleave with another
  // replica's log-in replacing the session.
  if (lockTables) {
    prepareOrFail(transaction, "");
    lockOrFail(transaction);
    startOrFail(transaction);
  }
  guarded(transaction, lockTables, "User::logout(): TavrinException Occured: ",
          "User::logout(): Generic Exception Occured ", [&] {
            // Only the session's own ticket ends it; without a session there
            // is nothing to protect, so every replica of one log-out succeeds.
            if (checkSessionStatus(str(custTicket->username)) == 1) validateTicket(custTicket);
            _logout(custTicket);
            removeTicket(custTicket);
          });
  commitOrFail(transaction, lockTables, "User::logout(): TavrinException Occured: ");
  if (lockTables) transaction.unlockTables();
  writeTiming(fileLogout, before.sec, before.usec);
}

void User::_login(UserInfo& uinfo, const ClientTransaction& ctinfo) {
  std::cout << "User::_login called" << std::endl;
  std::cout << "ClientTransaction.clientID: " << str(ctinfo.clientID) << std::endl;
  std::cout << "ClientTransaction.transactionID: " << ctinfo.transactionID << std::endl;
  std::cout << "UserInfo.username: " << str(uinfo.username) << std::endl;
  DBQuery queryObj;
  SqlText sql;
  sql << "insert into client values ('";
  sql.value(str(uinfo.username)) << "', '";
  sql.value(str(ctinfo.clientID)) << "')";
  send(queryObj, sql, "Insertion of customer ID - username mapping failed: ");
}

void User::_logout(const Ticket_var& custTicket) {
  std::cout << "User::_logout called" << std::endl;
  const std::string username = str(custTicket->username);
  DBQuery queryObj;
  // The user's request log outlives the session: a replica that is slow to
  // run one of its requests must still find it. Only entries no replica can
  // still be working on are dropped.
  SqlText prune;
  prune << "delete from transactions where username = '";
  prune.value(username) << "' and loggedAt < now() - interval 1 day";
  send(queryObj, prune, "Deletion of transactions failed: ");
  SqlText client;
  client << "delete from client where username = '";
  client.value(username) << "'";
  send(queryObj, client, "Deletion of customer ID - username mapping failed: ", false);
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
  SqlText sql;
  sql << "select token from ticket where username = '";
  sql.value(str(uinfo.username)) << "';";
  send(queryObj, sql, "Query failed: ");
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
  SqlText sql;
  sql << "insert into ticket values ('";
  sql.value(str(custTicket->username)) << "', ";
  sql.secret(std::to_string(custTicket->token)) << ")";
  send(queryObj, sql, "Ticket cannot be added: ");
}

void User::validateTicket(const Ticket_var& custTicket) {
  std::cout << "User::validateTicket called" << std::endl;
  DBQuery queryObj;
  SqlText sql;
  sql << "select * from ticket where username = '";
  sql.value(str(custTicket->username)) << "' and token = ";
  sql.secret(std::to_string(custTicket->token));
  send(queryObj, sql, "Query failed: ");
  long rows = storeRows(queryObj);
  queryObj.freeit();
  if (rows != 1) fail(kBadTicket);
}

unsigned int User::checkSessionStatus(std::string username) {
  std::cout << "User::checkSessionStatus called" << std::endl;
  DBQuery queryObj;
  SqlText sql;
  sql << "select * from ticket where username = '";
  sql.value(username) << "';";
  send(queryObj, sql, "Check user session status failed: ");
  long rows = storeRows(queryObj);
  queryObj.freeit();
  return rows > 0 ? 1 : 0;
}

void User::removeTicket(const Ticket_var& custTicket) {
  std::cout << "User::removeTicket called" << std::endl;
  DBQuery queryObj;
  SqlText sql;
  sql << "delete from ticket where username = '";
  sql.value(str(custTicket->username)) << "';";
  send(queryObj, sql, "Ticket cannot be removed: ");
}

unsigned int User::validateClient(const UserInfo& uinfo, const ClientTransaction& ctinfo) {
  std::cout << "User::validateClient called" << std::endl;
  DBQuery queryObj;
  SqlText sql;
  sql << "select * from client where username = '";
  sql.value(str(uinfo.username)) << "' and clientID = '";
  sql.value(str(ctinfo.clientID)) << "';";
  send(queryObj, sql, "Query failed: ");
  long rows = storeRows(queryObj);
  queryObj.freeit();
  return rows == 1 ? 1 : 0;
}

void User::populateUserInfo(UserInfo& uinfo) {
  std::cout << "User::populateUserInfo called" << std::endl;
  DBQuery queryObj;
  SqlText sql;
  sql << "select * from user where userName = '";
  sql.value(str(uinfo.username)) << "' and password = '";
  sql.secret(str(uinfo.password)) << "'";
  send(queryObj, sql, "Query failed: ");
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
                             const Ticket* ticket, Tables tables,
                             void (User::*worker)(const UserInfo&), const char* operation,
                             const char* tavrinMsg, const char* genericMsg) {
  DBTransaction transaction;
  CustTransaction ctrans;
  prepareOrFail(transaction, DBTransaction::claimKey(str(uinfo.username), str(ctinfo.clientID),
                                                      ctinfo.transactionID));

  // True when the request is logged as carried out; raises its logged
  // refusal, or, under the lock, the session refusal when the ticket no
  // longer holds a session. A logged answer is final, also once the session
  // has ended (the first replica may have ended it: a discontinuation).
  auto answeredFromLog = [&](bool underLock) -> bool {
    std::string refusal;
    bool session = true;
    unsigned int logged =
        ticket && underLock ? ctrans.CheckTransaction(*ticket, ctinfo, &refusal, &session)
                            : ctrans.CheckTransaction(uinfo, ctinfo, &refusal);
    if (!logged) {
      if (!session) fail(kBadTicket);
      return false;
    }
    if (!refusal.empty()) fail(refusal);
    return true;
  };

  // A committed log entry is final: the replicas after the first answer
  // from it without queueing for the table lock. Before the lock one table
  // at a time, so that no statement can deadlock with a replica taking its
  // table locks.
  bool logged = false;
  guarded(transaction, false, tavrinMsg, genericMsg, [&] {
    logged = answeredFromLog(false);
    if (!logged && ticket != nullptr) {
      Ticket_var own = copyTicket(*ticket);
      validateTicket(own);
    }
  });
  if (logged) {
    std::cout << "User::" << operation << "(): already carried out, answered from the request log"
              << std::endl;
    return false;
  }

  lockOrFail(transaction, tables == Tables::kAccountsAndRentals);
  startOrFail(transaction);

  // Under the lock the log and the session decide. A refusal of the work is
  // logged with the request, so that a replica running it later gives the
  // same answer instead of carrying it out on changed tables.
  std::unique_ptr<TavrinException> refused;
  guarded(transaction, true, tavrinMsg, genericMsg, [&] {
    if ((logged = answeredFromLog(true))) return;
    try {
      (this->*worker)(uinfo);
    } catch (const TavrinException& e) {
      std::cout << tavrinMsg << e << std::endl;
      refused.reset(new TavrinException(e));
      if (!transaction.rollback())
        throw Unavailable(unavailabilityOf(transaction.mySQLerrno, Unavailable::kStatementFailed),
                          std::string("rollback failed: ") + transaction.mySQLerror);
    }
    ctrans.AddTransaction(uinfo, ctinfo, refused ? str(refused->errorMessage.in()) : "");
  });
  if (logged) {
    transaction.unlockTables();
    return false;
  }
  commitOrFail(transaction, true, tavrinMsg);
  transaction.unlockTables();
  if (refused) throw TavrinException(*refused);
  return true;
}

void User::createProfile(const UserInfo& uinfo, const ClientTransaction& ctinfo) {
  std::cout << "User::createProfile called" << std::endl;
  Clock before = now();
  if (runProfileRequest(uinfo, ctinfo, nullptr, Tables::kAccounts, &User::_createProfile,
                        "createProfile", "User::createProfile(): TavrinException occured: ",
                        "User::createProfile(): Generic Exceptin occured"))
    writeTiming(fileCreateProfile, before.sec, before.usec);
}

void User::updateProfile(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                         const Ticket* ticket) {
  std::cout << "User::updateProfile called" << std::endl;
  runProfileRequest(uinfo, ctinfo, ticket, Tables::kAccounts, &User::_updateProfile,
                    "updateProfile", "User::updateProfile(): TavrinException occured : ",
                    "User::updateProfile(): Generic Exception occured");
}

void User::discontinueAccount(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                              const Ticket* ticket) {
  std::cout << "User::discontinueAccount called" << std::endl;
  // The rental tables too: whether movies are out, and the waiting rows
  // that go with the account.
  runProfileRequest(uinfo, ctinfo, ticket, Tables::kAccountsAndRentals,
                    &User::_discontinueAccount, "discontinueAccount",
                    "User::discontinueAccount(): TavrinException occured: ",
                    "User::discontinueAccount(): Generic Exception occured");
}

void User::_createProfile(const UserInfo& uinfo) {
  std::cout << "User::_createProfile called" << std::endl;
  DBQuery queryObj;
  SqlText sql;
  sql << "insert into user values ('";
  sql.value(str(uinfo.fName)) << "', '";
  sql.value(str(uinfo.lName)) << "', '";
  sql.value(str(uinfo.address)) << "', '";
  sql.secret(str(uinfo.creditCardNum)) << "', '";
  sql.value(str(uinfo.phoneNum)) << "', '";
  sql.value(str(uinfo.eMail)) << "', '";
  sql.value(str(uinfo.username)) << "', '";
  sql.secret(str(uinfo.password)) << "')";
  send(queryObj, sql, "Creation of profile failed: ");
}

void User::_updateProfile(const UserInfo& uinfo) {
  std::cout << "User::_updateProfile called" << std::endl;
  DBQuery queryObj;
  SqlText sql;
  sql << "update user set ";
  sql << "fName = '";
  sql.value(str(uinfo.fName)) << "', ";
  sql << "lname = '";
  sql.value(str(uinfo.lName)) << "', ";
  sql << "address = '";
  sql.value(str(uinfo.address)) << "', ";
  sql << "creditCardNum = '";
  sql.secret(str(uinfo.creditCardNum)) << "', ";
  sql << "phoneNum = '";
  sql.value(str(uinfo.phoneNum)) << "', ";
  sql << "eMail = '";
  sql.value(str(uinfo.eMail)) << "', ";
  sql << "password = '";
  sql.secret(str(uinfo.password));
  sql << "' where username = '";
  sql.value(str(uinfo.username)) << "'";
  send(queryObj, sql, "Updation of profile failed: ");
}

void User::_discontinueAccount(const UserInfo& uinfo) {
  std::cout << "User::_discontinueAccount called" << std::endl;
  // Copies out under this name would leave circulation for good, and a
  // later registrant of the name would inherit them.
  Ticket_var holder = new Ticket;
  holder->username = CORBA::string_dup(str(uinfo.username).c_str());
  holder->token = 0;
  if (getOutstandingMovieCount(holder) > 0) fail(kMoviesOut);

  // The account, its sessions and its waiting rows go together: an old
  // ticket then acts for no one, and no return hands a copy to the name.
  // The request log stays.
  const std::string username = str(uinfo.username);
  const struct {
    const char* table;
    const char* prefix;
  } rows[] = {{"user", "Deletion of profile failed: "},
              {"ticket", "Ticket cannot be removed: "},
              {"client", "Deletion of customer ID - username mapping failed: "},
              {"waitlistedmovies", "Deletion of waiting list entries failed: "}};
  for (const auto& r : rows) {
    DBQuery queryObj;
    SqlText sql;
    sql << "delete from " << r.table << " where username = '";
    sql.value(username) << "'";
    send(queryObj, sql, r.prefix);
  }
}

unsigned int User::getOutstandingMovieCount(const Ticket_var& custTicket) {
  std::cout << "User::getOutstandingMovieCount called" << std::endl;
  DBQuery queryObj;
  SqlText sql;
  sql << "select count(username) from checkedoutmovies where userName = '";
  sql.value(str(custTicket->username)) << "'";
  send(queryObj, sql, "Query failed: ");
  storeRows(queryObj);
  unsigned int returnVal = 0;
  if (queryObj.isRows()) {
    const char* value = queryObj.valueOf("count(username)");
    if (value) returnVal = static_cast<unsigned int>(std::atoi(value));
  }
  queryObj.freeit();
  return returnVal;
}
