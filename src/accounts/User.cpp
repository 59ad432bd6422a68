#include "User.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "Contract.h"
#include "CustTransaction.h"
#include "DBFailure.h"
#include "DBQuery.h"
#include "LoggedRequest.h"
#include "SqlText.h"
#include "Trace.h"
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
  if (echo) trace("Query: ", sql.shownParts());
  try {
    queryObj.query(sql);
  } catch (const DBFailure& f) {
    raiseFor(f, prefix);
  }
}

// Stores the result of a SELECT and returns its row count; a failure raises
// the error text alone.
long storeRows(DBQuery& queryObj) {
  try {
    return queryObj.storeResults();
  } catch (const DBFailure& f) {
    raiseFor(f);
  }
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
  trace("User::generateTicket(): no random source");
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

// The claim of a log-out: its replicas take turns. Keyed on the ticket; a
// client identity holds digits only, so no log-in's key is the same.
std::string logoutClaim(const Ticket& ticket) {
  return DBTransaction::claimKey(str(ticket.username), "logout " + std::to_string(ticket.token),
                                 0);
}

}  // namespace

User* User::instance = nullptr;

User* User::getInstance() {
  // Made once even when the first requests arrive together.
  static User* const made = instance = new User;
  return made;
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
  static std::mutex mu;
  std::lock_guard<std::mutex> lock(mu);
  file << tavrinTimer::millisBetween(secBefore, usecBefore, after.sec, after.usec) << std::endl;
}

// ---------------------------------------------------------------- sessions

Ticket_var User::login(UserInfo& uinfo, const ClientTransaction& ctinfo) {
  trace("User::login called");
  Clock before = now();
  Ticket_var ticket;
  bool hasSession = false;
  CustTransaction log;
  RequestProtocol::Steps steps;
  // Replicas of one log-in take turns: the first opens the session, the
  // others find it with this client's identity and hand out its ticket.
  steps.claim = DBTransaction::claimKey(str(uinfo.username), str(ctinfo.clientID),
                                        ctinfo.transactionID);
  steps.rows = [&] { return std::vector<LockedRow>{LockedRow::user(str(uinfo.username))}; };
  steps.texts = {"User::login(): TavrinExceptin occured:",
                 "User::login(): Generic Exception occured: ",
                 "User::login(): already carried out, answered from the request log"};
  steps.beforeLock = [&] {
    return log.CheckTransaction(uinfo, ctinfo) &&
           sessionOfThisClient(uinfo, ctinfo, ticket, hasSession);
  };
  steps.underLock = [&] {
    // A repeat from this client instance: every replica answers with the
    // stored ticket.
    if (sessionOfThisClient(uinfo, ctinfo, ticket, hasSession)) return true;
    // Carried out by another replica, its session since ended or replaced:
    // opening or ending a session now would act for nobody.
    if (log.CheckTransaction(uinfo, ctinfo)) fail(kLoginAlreadyDone);
    return false;
  };
  // The refusals of a log-in are not logged: the log entry comes with the
  // session it opened.
  steps.work = [&] { openSession(uinfo, ctinfo, hasSession, ticket); };
  if (RequestProtocol::run(steps)) writeTiming(fileLogin, before.sec, before.usec);
  return ticket;
}

bool User::sessionOfThisClient(UserInfo& uinfo, const ClientTransaction& ctinfo,
                               Ticket_var& ticket, bool& hasSession) {
  hasSession = checkSessionStatus(str(uinfo.username)) == 1;
  if (!hasSession || validateClient(uinfo, ctinfo) != 1) return false;
  populateUserInfo(uinfo);
  // Before the lock the session may have ended since: the lock decides.
  return storedTicket(uinfo, ticket);
}

void User::openSession(UserInfo& uinfo, const ClientTransaction& ctinfo, bool hasSession,
                       Ticket_var& ticket) {
  if (hasSession) {
    // Another client instance holds the session. Its session ends only for
    // someone who knows the password.
    populateUserInfo(uinfo);
    Ticket_var stored;
    if (!storedTicket(uinfo, stored))
      fail("more than one or no user found with the specified username");
    trace("User::logout called");
    Clock before = now();
    endSession(stored);
    writeTiming(fileLogout, before.sec, before.usec);
  }
  populateUserInfo(uinfo);
  _login(uinfo, ctinfo);
  ticket = generateTicket(uinfo);
  addTicket(ticket);
  CustTransaction().AddTransaction(uinfo, ctinfo);
}

void User::logout(const Ticket_var& custTicket) {
  trace("User::logout called");
  Clock before = now();
  RequestProtocol::Steps steps;
  steps.claim = logoutClaim(custTicket.in());
  steps.rows = [&] { return std::vector<LockedRow>{LockedRow::user(str(custTicket->username))}; };
  steps.texts = {"User::logout(): TavrinException Occured: ",
                 "User::logout(): Generic Exception Occured ",
                 "User::logout(): no session left, answered without the lock"};
  // Without a session there is nothing to protect or to end: every replica
  // of one log-out succeeds, those after the first without the lock.
  steps.beforeLock = [&] { return checkSessionStatus(str(custTicket->username)) == 0; };
  steps.work = [&] { endSession(custTicket); };
  RequestProtocol::run(steps);
  writeTiming(fileLogout, before.sec, before.usec);
}

void User::endSession(const Ticket_var& custTicket) {
  // Only the session's own ticket ends it.
  if (checkSessionStatus(str(custTicket->username)) == 1) validateTicket(custTicket);
  _logout(custTicket);
  removeTicket(custTicket);
}

void User::_login(UserInfo& uinfo, const ClientTransaction& ctinfo) {
  trace("User::_login called");
  trace("ClientTransaction.clientID: ", TraceValue{str(ctinfo.clientID)});
  trace("ClientTransaction.transactionID: ", ctinfo.transactionID);
  trace("UserInfo.username: ", TraceValue{str(uinfo.username)});
  DBQuery queryObj;
  SqlText sql;
  sql << "insert into client values ('";
  sql.value(str(uinfo.username)) << "', '";
  sql.value(str(ctinfo.clientID)) << "')";
  send(queryObj, sql, "Insertion of customer ID - username mapping failed: ");
}

void User::_logout(const Ticket_var& custTicket) {
  trace("User::_logout called");
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
  trace("User::generateTicket called");
  Ticket_var ticket = new Ticket;
  ticket->username = CORBA::string_dup(str(uinfo.username).c_str());
  ticket->token = randomToken();
  return ticket;
}

bool User::storedTicket(UserInfo& uinfo, Ticket_var& ticket) {
  trace("User::getTicket called");
  DBQuery queryObj;
  SqlText sql;
  sql << "select token from ticket where username = '";
  sql.value(str(uinfo.username)) << "';";
  send(queryObj, sql, "Query failed: ");
  if (storeRows(queryObj) != 1 || !queryObj.isRows()) return false;
  const char* token = queryObj.valueOf("token");
  ticket = new Ticket;
  ticket->username = CORBA::string_dup(str(uinfo.username).c_str());
  ticket->token = token ? std::atoi(token) : 0;
  return true;
}

void User::addTicket(const Ticket_var& custTicket) {
  trace("User::addTicket called");
  DBQuery queryObj;
  SqlText sql;
  sql << "insert into ticket values ('";
  sql.value(str(custTicket->username)) << "', ";
  sql.secret(std::to_string(custTicket->token)) << ")";
  send(queryObj, sql, "Ticket cannot be added: ");
}

void User::validateTicket(const Ticket_var& custTicket) {
  trace("User::validateTicket called");
  DBQuery queryObj;
  SqlText sql;
  sql << "select * from ticket where username = '";
  sql.value(str(custTicket->username)) << "' and token = ";
  sql.secret(std::to_string(custTicket->token));
  send(queryObj, sql, "Query failed: ");
  if (storeRows(queryObj) != 1) fail(kBadTicket);
}

unsigned int User::checkSessionStatus(std::string username) {
  trace("User::checkSessionStatus called");
  DBQuery queryObj;
  SqlText sql;
  sql << "select * from ticket where username = '";
  sql.value(username) << "';";
  send(queryObj, sql, "Check user session status failed: ");
  return storeRows(queryObj) > 0 ? 1 : 0;
}

void User::removeTicket(const Ticket_var& custTicket) {
  trace("User::removeTicket called");
  DBQuery queryObj;
  SqlText sql;
  sql << "delete from ticket where username = '";
  sql.value(str(custTicket->username)) << "';";
  send(queryObj, sql, "Ticket cannot be removed: ");
}

unsigned int User::validateClient(const UserInfo& uinfo, const ClientTransaction& ctinfo) {
  trace("User::validateClient called");
  DBQuery queryObj;
  SqlText sql;
  sql << "select * from client where username = '";
  sql.value(str(uinfo.username)) << "' and clientID = '";
  sql.value(str(ctinfo.clientID)) << "';";
  send(queryObj, sql, "Query failed: ");
  return storeRows(queryObj) == 1 ? 1 : 0;
}

void User::populateUserInfo(UserInfo& uinfo) {
  trace("User::populateUserInfo called");
  DBQuery queryObj;
  SqlText sql;
  sql << "select * from user where userName = '";
  sql.value(str(uinfo.username)) << "' and password = '";
  sql.secret(str(uinfo.password)) << "'";
  send(queryObj, sql, "Query failed: ");
  if (storeRows(queryObj) != 1) fail(kBadPassword);
  queryObj.isRows();
  copyColumn(queryObj, "fName", uinfo.fName);
  copyColumn(queryObj, "lName", uinfo.lName);
  copyColumn(queryObj, "address", uinfo.address);
  copyColumn(queryObj, "creditCardNum", uinfo.creditCardNum);
  copyColumn(queryObj, "phoneNum", uinfo.phoneNum);
  copyColumn(queryObj, "eMail", uinfo.eMail);
}

// ---------------------------------------------------------------- profiles

bool User::runProfileRequest(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                             const Ticket* ticket, void (User::*worker)(const UserInfo&),
                             const RequestProtocol::Texts& texts) {
  LoggedRequest log(str(uinfo.username), ctinfo);
  RequestProtocol::Steps steps;
  // The customer's row: every request that changes what hangs off it
  // (sessions, rentals, waiting rows) locks it first.
  steps.family = LockFamily::kAccounts;
  steps.rows = [&] { return std::vector<LockedRow>{LockedRow::user(str(uinfo.username))}; };
  steps.texts = texts;
  std::function<void()> checkTicket;
  if (ticket != nullptr) {
    log.requireSession(*ticket, kBadTicket);
    checkTicket = [this, ticket] { validateTicket(copyTicket(*ticket)); };
  }
  log.supply(steps, checkTicket);
  steps.work = [&] { (this->*worker)(uinfo); };
  return RequestProtocol::run(steps);
}

void User::createProfile(const UserInfo& uinfo, const ClientTransaction& ctinfo) {
  trace("User::createProfile called");
  Clock before = now();
  if (runProfileRequest(uinfo, ctinfo, nullptr, &User::_createProfile,
                        {"User::createProfile(): TavrinException occured: ",
                         "User::createProfile(): Generic Exceptin occured: ",
                         "User::createProfile(): already carried out, answered from the "
                         "request log"}))
    writeTiming(fileCreateProfile, before.sec, before.usec);
}

void User::updateProfile(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                         const Ticket* ticket) {
  trace("User::updateProfile called");
  runProfileRequest(uinfo, ctinfo, ticket, &User::_updateProfile,
                    {"User::updateProfile(): TavrinException occured : ",
                     "User::updateProfile(): Generic Exception occured: ",
                     "User::updateProfile(): already carried out, answered from the request log"});
}

void User::discontinueAccount(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                              const Ticket* ticket) {
  trace("User::discontinueAccount called");
  // The customer's row keeps rentals and waiting rows still: every request
  // that changes them locks it.
  runProfileRequest(uinfo, ctinfo, ticket, &User::_discontinueAccount,
                    {"User::discontinueAccount(): TavrinException occured: ",
                     "User::discontinueAccount(): Generic Exception occured: ",
                     "User::discontinueAccount(): already carried out, answered from the "
                     "request log"});
}

void User::_createProfile(const UserInfo& uinfo) {
  trace("User::_createProfile called");
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
  trace("User::_updateProfile called");
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
  trace("User::_discontinueAccount called");
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
  trace("User::getOutstandingMovieCount called");
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
  return returnVal;
}
