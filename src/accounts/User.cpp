#include "User.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/time.h>
#include <unistd.h>

#include <mysqld_error.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "Contract.h"
#include "CredentialRules.h"
#include "CustTransaction.h"
#include "DBFailure.h"
#include "DBQuery.h"
#include "DBSettings.h"
#include "GuessLimit.h"
#include "PasswordHash.h"
#include "SecretBox.h"
#include "SqlText.h"
#include "Trace.h"
#include "Unavailable.h"
#include "tavrinTimer.h"

namespace {

const char* const kBadTicket = "more than one or no user found with the same uname/ticket\n";
const char* const kBadPassword = "More than one or no user found with the same uname/password\n";
const char* const kLoginAlreadyDone =
    "This log-in was already carried out and its session has ended\n";
const char* const kMoviesOut = "Please return your movies before discontinuing your account";
const char* const kCutOff = "Too many failed log-ins; please try again later";

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

// Sends `statement` for the user's rows: " where username = ..." and `tail`.
void sendForUser(const char* statement, const std::string& username, const char* prefix,
                 const std::string& tail = "", bool echo = true) {
  DBQuery queryObj;
  SqlText sql;
  sql << statement << " where username = '";
  sql.value(username) << "'" << tail;
  send(queryObj, sql, prefix, echo);
}

const char* const kTicketGone = "Ticket cannot be removed: ";

// Ends the user's session, if any. Its ticket is kept for the guessing
// window, so that its late requests are not counted as guesses against the
// customer; the sealed ticket of its log-in goes with it.
void dropSession(const std::string& username) {
  const long window = DBSettings::current().limits().guessWindow;
  sendForUser("delete from ended_ticket", username, kTicketGone,
              " and endedAt < now(6) - interval " + std::to_string(window) + " second");
  sendForUser("insert ignore into ended_ticket (username, tokenTag) "
              "select username, tokenTag from ticket",
              username, kTicketGone);
  sendForUser("delete from ticket", username, kTicketGone);
  sendForUser("update transactions set answer = ''", username,
              "Deletion of transactions failed: ", " and operation = 'logIn'");
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

// The keyed hash a session's token is stored and compared as.
std::string ticketTag(const std::string& username, CORBA::Long token) {
  return SecretBox::deployment().tag("ticket", {username, std::to_string(token)});
}

// The sealed answer of a log-in: the session's token and stored name.
std::string sealTicket(const Ticket& ticket) {
  return SecretBox::deployment().seal(std::to_string(ticket.token) + ":" + str(ticket.username));
}

bool openTicket(const std::string& sealed, Ticket_var& ticket) {
  std::string plain;
  if (sealed.empty() || !SecretBox::deployment().open(sealed, plain)) return false;
  const size_t colon = plain.find(':');
  if (colon == std::string::npos) return false;
  ticket = new Ticket;
  ticket->token = static_cast<CORBA::Long>(std::stol(plain.substr(0, colon)));
  ticket->username = CORBA::string_dup(plain.substr(colon + 1).c_str());
  return true;
}

// A card number as stored: sealed; an empty one stays empty.
std::string sealCard(const std::string& number) {
  return number.empty() ? number : SecretBox::deployment().seal(number);
}

// Checked against when the account does not exist, so that the time of an
// answer does not tell whether a name is registered.
const std::string& unknownAccountHash() {
  static const std::string hash = PasswordHash::hash("no account has this password");
  return hash;
}

// The claim of a log-out: its replicas take turns. Keyed on the ticket's
// hash; a client identity holds digits only, so no log-in's key is the same.
std::string logoutClaim(const std::string& username, const std::string& tag) {
  return DBTransaction::claimKey(username, "logout " + tag.substr(0, 32), 0);
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
  CredentialRules::checkLogIn(uinfo);
  const std::string typed = str(uinfo.username);
  // The replicas after the first know their caller by these credentials'
  // keyed hash in the logged answer: one slow hash per log-in.
  const LoggedRequest log(typed, ctinfo, "logIn",
                          SecretBox::deployment().tag("logIn", {typed, str(uinfo.password)}));
  LogInCheck check;
  Ticket_var ticket;
  RequestProtocol::Steps steps;
  // Replicas of one log-in take turns: the first opens the session, the
  // others find it with this client's identity and hand out its ticket.
  steps.claim = DBTransaction::claimKey(typed, str(ctinfo.clientID), ctinfo.transactionID);
  steps.rows = [&] { return std::vector<LockedRow>{LockedRow::user(typed)}; };
  steps.texts = {"User::login(): TavrinExceptin occured:",
                 "User::login(): Generic Exception occured: ",
                 "User::login(): already carried out, answered from the request log"};
  steps.beforeLock = [&] {
    if (loggedLogIn(log, uinfo, ticket)) return true;
    checkPassword(uinfo, ctinfo, log, check);
    return false;
  };
  steps.underLock = [&] { return loggedLogIn(log, uinfo, ticket); };
  steps.work = [&] { openSession(uinfo, ctinfo, log, check, ticket); };
  if (RequestProtocol::run(steps)) {
    writeTiming(fileLogin, before.sec, before.usec);
    GuessLimit(GuessLimit::Kind::kPassword, typed).clear();
  }
  return ticket;
}

bool User::loggedLogIn(const LoggedRequest& log, UserInfo& uinfo, Ticket_var& ticket) {
  CustTransaction::Entry entry;
  if (!CustTransaction().CheckTransaction(log.key(), &entry)) return false;
  if (!entry.refusal.empty()) fail(entry.refusal);
  // Carried out, its session since ended: opening or ending a session now
  // would act for nobody.
  if (!openTicket(entry.answer, ticket)) fail(kLoginAlreadyDone);
  Stored account;
  readAccount(str(ticket->username), account, &uinfo);
  uinfo.username = CORBA::string_dup(str(ticket->username).c_str());
  return true;
}

void User::checkPassword(UserInfo& uinfo, const ClientTransaction& ctinfo,
                         const LoggedRequest& log, LogInCheck& check) {
  const std::string typed = str(uinfo.username);
  const std::string password = str(uinfo.password);
  GuessLimit guesses(GuessLimit::Kind::kPassword, typed);
  if (guesses.cutOff()) fail(kCutOff);
  Stored account;
  const bool found = readAccount(typed, account, nullptr);
  const bool right = PasswordHash::verify(found ? account.password : unknownAccountHash(), password);
  check.verified = found && right;
  check.storedPassword = account.password;
  if (check.verified) return;
  // Counted once per request, whichever replica checks first; the refusal
  // is logged so that the others answer it without a hash of their own
  // (unless the key is another caller's: one entry per request).
  guesses.recordFailure(SecretBox::deployment().tag(
      "guess", {str(ctinfo.clientID), std::to_string(ctinfo.transactionID), password}));
  CustTransaction log2;
  try {
    if (!log2.isLogged(log.key())) log2.AddTransaction(log.key(), kBadPassword);
  } catch (const DBFailure& f) {
    // Another replica logged it first: one entry per request.
    if (f.code() != ER_DUP_ENTRY) throw;
  }
  fail(kBadPassword);
}

void User::openSession(UserInfo& uinfo, const ClientTransaction& ctinfo,
                       const LoggedRequest& log, const LogInCheck& check, Ticket_var& ticket) {
  const std::string password = str(uinfo.password);
  Stored account;
  if (!readAccount(str(uinfo.username), account, &uinfo)) fail(kBadPassword);
  // Changed since the check before the lock: checked again.
  if (account.password != check.storedPassword && !PasswordHash::verify(account.password, password))
    fail(kBadPassword);
  upgradeAccount(account, password);
  if (sessionStored(account.username, "", false)) {
    trace("User::logout called");
    Clock before = now();
    endSession(account.username);
    writeTiming(fileLogout, before.sec, before.usec);
  }
  _login(account.username, ctinfo);
  trace("User::generateTicket called");
  ticket = new Ticket;
  ticket->username = CORBA::string_dup(account.username.c_str());
  ticket->token = randomToken();
  trace("User::addTicket called");
  DBQuery queryObj;
  SqlText sql;
  sql << "insert into ticket (username, tokenTag, openedAt, seenAt) values ('";
  sql.value(account.username) << "', '";
  sql.secret(ticketTag(account.username, ticket->token)) << "', now(6), now(6))";
  send(queryObj, sql, "Ticket cannot be added: ");
  uinfo.username = CORBA::string_dup(account.username.c_str());
  CustTransaction().AddTransaction(log.key(), "", sealTicket(ticket.in()));
}

void User::upgradeAccount(const Stored& account, const std::string& password) {
  const bool plainCard = !account.card.empty() && !SecretBox::isSealed(account.card);
  if (!PasswordHash::needsRehash(account.password) && !plainCard) return;
  DBQuery queryObj;
  SqlText sql;
  sql << "update user set password = '";
  sql.secret(PasswordHash::needsRehash(account.password) ? PasswordHash::hash(password)
                                                         : account.password)
      << "', creditCardNum = '";
  sql.secret(plainCard ? SecretBox::deployment().seal(account.card) : account.card)
      << "' where username = '";
  sql.value(account.username) << "'";
  send(queryObj, sql, "Updation of profile failed: ");
}

void User::logout(const Ticket_var& custTicket) {
  trace("User::logout called");
  Clock before = now();
  const std::string username = str(custTicket->username);
  const std::string tag = ticketTag(username, custTicket->token);
  RequestProtocol::Steps steps;
  steps.claim = logoutClaim(username, tag);
  steps.rows = [&] { return std::vector<LockedRow>{LockedRow::user(username)}; };
  steps.texts = {"User::logout(): TavrinException Occured: ",
                 "User::logout(): Generic Exception Occured ",
                 "User::logout(): not the live session, nothing to end"};
  // A ticket that is not the session's ends nothing and is answered as a
  // name without a session is: the caller is logged out either way, and
  // learns nothing of anyone's session.
  steps.beforeLock = [&] { return !sessionStored(username, tag, false); };
  steps.underLock = [&] { return !sessionStored(username, tag, false); };
  steps.work = [&] { endSession(username); };
  RequestProtocol::run(steps);
  writeTiming(fileLogout, before.sec, before.usec);
}

void User::endSession(const std::string& username) {
  _logout(username);
  trace("User::removeTicket called");
  dropSession(username);
}

void User::_login(const std::string& username, const ClientTransaction& ctinfo) {
  trace("User::_login called");
  trace("ClientTransaction.clientID: ", TraceValue{str(ctinfo.clientID)});
  trace("ClientTransaction.transactionID: ", ctinfo.transactionID);
  trace("UserInfo.username: ", TraceValue{username});
  DBQuery queryObj;
  SqlText sql;
  sql << "insert into client values ('";
  sql.value(username) << "', '";
  sql.value(str(ctinfo.clientID)) << "')";
  send(queryObj, sql, "Insertion of customer ID - username mapping failed: ");
}

void User::_logout(const std::string& username) {
  trace("User::_logout called");
  // The user's request log outlives the session: a replica that is slow to
  // run one of its requests must still find it. Only entries no replica can
  // still be working on are dropped.
  sendForUser("delete from transactions", username, "Deletion of transactions failed: ",
              " and loggedAt < now() - interval 1 day");
  sendForUser("delete from client", username,
              "Deletion of customer ID - username mapping failed: ", "", false);
}

void User::validateTicket(const Ticket_var& custTicket) {
  trace("User::validateTicket called");
  const std::string username = str(custTicket->username);
  GuessLimit guesses(GuessLimit::Kind::kTicket, username);
  // No answer of the rules while cut off: it would tell a guesser nothing,
  // but a refusal of a valid ticket could outvote a replica that checked
  // before the cut-off began and carried the request out.
  if (guesses.cutOff())
    throw Unavailable(Unavailable::kCutOff, "guessing of this name's tickets is cut off");
  const std::string tag = ticketTag(username, custTicket->token);
  if (!sessionStored(username, tag, true)) {
    if (!ownEndedTicket(username, tag)) guesses.recordFailure(tag);
    fail(kBadTicket);
  }
  // Kept alive, written at most once per tenth of the idle limit.
  const long idle = DBSettings::current().limits().sessionIdle;
  DBQuery queryObj;
  SqlText sql;
  sql << "update ticket set seenAt = now(6) where username = '";
  sql.value(username) << "' and tokenTag = '";
  sql.secret(tag) << "' and seenAt < now(6) - interval " << idle * 100000 << " microsecond";
  send(queryObj, sql, "Query failed: ", false);
}

bool User::sessionStored(const std::string& username, const std::string& tokenTag, bool live) {
  trace("User::checkSessionStatus called");
  DBQuery queryObj;
  SqlText sql;
  sql << "select username from ticket where username = '";
  sql.value(username) << "'";
  if (!tokenTag.empty()) {
    sql << " and tokenTag = '";
    sql.secret(tokenTag) << "'";
  }
  if (live) {
    const DBSettings::Limits& limits = DBSettings::current().limits();
    sql << " and seenAt > now(6) - interval " << limits.sessionIdle
        << " second and openedAt > now(6) - interval " << limits.sessionMax << " second";
  }
  send(queryObj, sql, "Check user session status failed: ");
  return storeRows(queryObj) > 0;
}

bool User::ownEndedTicket(const std::string& username, const std::string& tokenTag) {
  if (sessionStored(username, tokenTag, false)) return true;
  DBQuery queryObj;
  SqlText sql;
  sql << "select username from ended_ticket where username = '";
  sql.value(username) << "' and tokenTag = '";
  sql.secret(tokenTag) << "'";
  send(queryObj, sql, "Check user session status failed: ");
  return storeRows(queryObj) > 0;
}

bool User::readAccount(const std::string& username, Stored& account, UserInfo* uinfo) {
  trace("User::populateUserInfo called");
  DBQuery queryObj;
  SqlText sql;
  sql << "select * from user where userName = '";
  sql.value(username) << "'";
  send(queryObj, sql, "Query failed: ");
  if (storeRows(queryObj) != 1 || !queryObj.isRows()) return false;
  const char* name = queryObj.valueOf("username");
  const char* password = queryObj.valueOf("password");
  const char* card = queryObj.valueOf("creditCardNum");
  account.username = name ? name : "";
  account.password = password ? password : "";
  account.card = card ? card : "";
  if (uinfo == nullptr) return true;
  copyColumn(queryObj, "fName", uinfo->fName);
  copyColumn(queryObj, "lName", uinfo->lName);
  copyColumn(queryObj, "address", uinfo->address);
  copyColumn(queryObj, "phoneNum", uinfo->phoneNum);
  copyColumn(queryObj, "eMail", uinfo->eMail);
  std::string opened = account.card;
  if (SecretBox::isSealed(account.card) && !SecretBox::deployment().open(account.card, opened)) {
    trace("User: a card number cannot be opened with this deployment's sealing key");
    opened.clear();
  }
  uinfo->creditCardNum = CORBA::string_dup(opened.c_str());
  return true;
}

bool User::upgradeStoredSecrets() {
  DBQuery queryObj;
  SqlText sql;
  sql << "select username from user where password not like '$argon2id$%' or "
         "(creditCardNum <> '' and creditCardNum not like 's1:%') limit 1";
  send(queryObj, sql, "Query failed: ");
  if (storeRows(queryObj) == 0 || !queryObj.isRows()) return false;
  const char* name = queryObj.valueOf("username");
  Stored account;
  if (name == nullptr || !readAccount(name, account, nullptr)) return false;
  // The old row holds the password itself: it is what gets hashed.
  upgradeAccount(account, account.password);
  return true;
}

// ---------------------------------------------------------------- profiles

bool User::runProfileRequest(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                             const Ticket* ticket, const char* operation,
                             void (User::*worker)(const UserInfo&),
                             const RequestProtocol::Texts& texts) {
  // A logged answer goes only to the caller that made the request: the
  // ticket's holder, or for a registration the one who chose the password.
  LoggedRequest log =
      ticket != nullptr
          ? LoggedRequest::forTicket(*ticket, ctinfo, operation)
          : LoggedRequest(str(uinfo.username), ctinfo, operation,
                          SecretBox::deployment().tag(operation, {str(uinfo.username),
                                                                  str(uinfo.password)}));
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
  CredentialRules::checkNew(uinfo);
  if (runProfileRequest(uinfo, ctinfo, nullptr, "createAccount", &User::_createProfile,
                        {"User::createProfile(): TavrinException occured: ",
                         "User::createProfile(): Generic Exceptin occured: ",
                         "User::createProfile(): already carried out, answered from the "
                         "request log"}))
    writeTiming(fileCreateProfile, before.sec, before.usec);
}

void User::updateProfile(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                         const Ticket* ticket) {
  trace("User::updateProfile called");
  CredentialRules::checkNew(uinfo);
  runProfileRequest(uinfo, ctinfo, ticket, "updateProfile", &User::_updateProfile,
                    {"User::updateProfile(): TavrinException occured : ",
                     "User::updateProfile(): Generic Exception occured: ",
                     "User::updateProfile(): already carried out, answered from the request log"});
}

void User::discontinueAccount(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                              const Ticket* ticket) {
  trace("User::discontinueAccount called");
  // The customer's row keeps rentals and waiting rows still: every request
  // that changes them locks it.
  runProfileRequest(uinfo, ctinfo, ticket, "discontinueAccount", &User::_discontinueAccount,
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
  sql.secret(sealCard(str(uinfo.creditCardNum))) << "', '";
  sql.value(str(uinfo.phoneNum)) << "', '";
  sql.value(str(uinfo.eMail)) << "', '";
  sql.value(str(uinfo.username)) << "', '";
  sql.secret(PasswordHash::hash(str(uinfo.password))) << "')";
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
  sql.secret(sealCard(str(uinfo.creditCardNum))) << "', ";
  sql << "phoneNum = '";
  sql.value(str(uinfo.phoneNum)) << "', ";
  sql << "eMail = '";
  sql.value(str(uinfo.eMail)) << "', ";
  sql << "password = '";
  sql.secret(PasswordHash::hash(str(uinfo.password)));
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
    const char* statement;
    const char* prefix;
  } rows[] = {{"delete from user", "Deletion of profile failed: "},
              {"delete from client", "Deletion of customer ID - username mapping failed: "},
              {"delete from waitlistedmovies", "Deletion of waiting list entries failed: "}};
  for (const auto& r : rows) sendForUser(r.statement, username, r.prefix);
  dropSession(username);
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
