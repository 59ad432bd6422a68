#include "User.h"

#include <mysqld_error.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Contract.h"
#include "CredentialRules.h"
#include "CustTransaction.h"
#include "DBFailure.h"
#include "DBQuery.h"
#include "DBSettings.h"
#include "GuessLimit.h"
#include "PasswordHash.h"
#include "SecretBox.h"
#include "Sessions.h"
#include "SqlText.h"
#include "Trace.h"
#include "Unavailable.h"

namespace {

const char* const kBadPassword = "More than one or no user found with the same uname/password\n";
const char* const kLoginAlreadyDone =
    "This log-in was already carried out and its session has ended\n";
const char* const kMoviesOut = "Please return your movies before discontinuing your account";
const char* const kCutOff = "Too many failed log-ins; please try again later";

[[noreturn]] void fail(const std::string& message) { throw TavrinException(message.c_str()); }

// Sends `statement` for the user's rows: " where username = ..." and `tail`.
void sendForUser(const char* statement, const std::string& username, const char* prefix,
                 const std::string& tail = "", bool echo = true) {
  SqlText sql;
  sql << statement << " where username = '";
  sql.value(username) << "'" << tail;
  DBQuery().send(sql, prefix, echo);
}

// A column of table `user` and its value as stored.
struct ProfileColumn {
  const char* name;
  std::string value;
  bool secret;
};

// The profile in the table's column order: the card sealed (an empty one
// stays empty), the password hashed.
std::vector<ProfileColumn> storedProfile(const UserInfo& u) {
  const std::string card = str(u.creditCardNum);
  return {{"fName", str(u.fName), false},
          {"lname", str(u.lName), false},
          {"address", str(u.address), false},
          {"creditCardNum", card.empty() ? card : SecretBox::deployment().seal(card), true},
          {"phoneNum", str(u.phoneNum), false},
          {"eMail", str(u.eMail), false},
          {"username", str(u.username), false},
          {"password", PasswordHash::hash(str(u.password)), true}};
}

void quoted(SqlText& sql, const ProfileColumn& c) {
  sql << "'";
  (c.secret ? sql.secret(c.value) : sql.value(c.value)) << "'";
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

User* User::getInstance() {
  // Made once even when the first requests arrive together.
  static User* const made = new User;
  return made;
}

User::User()
    : fileLogin("accountServerLogin.dat"),
      fileLogout("accountServerLogout.dat"),
      fileCreateProfile("accountServerCreateProfile.dat") {}

// ---------------------------------------------------------------- sessions

Ticket_var User::login(UserInfo& uinfo, const ClientTransaction& ctinfo) {
  trace("User::login called");
  const TimingFile::Start before = TimingFile::now();
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
    fileLogin.record(before);
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
  if (!Sessions::unseal(entry.answer, ticket)) fail(kLoginAlreadyDone);
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
  if (Sessions::stored(account.username)) {
    trace("User::logout called");
    const TimingFile::Start before = TimingFile::now();
    endSession(account.username);
    fileLogout.record(before);
  }
  ticket = Sessions::open(account.username, ctinfo);
  uinfo.username = CORBA::string_dup(account.username.c_str());
  CustTransaction().AddTransaction(log.key(), "", Sessions::seal(ticket.in()));
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
  queryObj.send(sql, "Updation of profile failed: ");
}

void User::logout(const Ticket_var& custTicket) {
  trace("User::logout called");
  const TimingFile::Start before = TimingFile::now();
  const std::string username = str(custTicket->username);
  const std::string tag = Sessions::tag(username, custTicket->token);
  RequestProtocol::Steps steps;
  steps.claim = logoutClaim(username, tag);
  steps.rows = [&] { return std::vector<LockedRow>{LockedRow::user(username)}; };
  steps.texts = {"User::logout(): TavrinException Occured: ",
                 "User::logout(): Generic Exception Occured ",
                 "User::logout(): not the live session, nothing to end"};
  // A ticket that is not the session's ends nothing and is answered as a
  // name without a session is: the caller is logged out either way, and
  // learns nothing of anyone's session.
  steps.beforeLock = [&] { return !Sessions::stored(username, tag); };
  steps.underLock = [&] { return !Sessions::stored(username, tag); };
  steps.work = [&] { endSession(username); };
  RequestProtocol::run(steps);
  fileLogout.record(before);
}

void User::endSession(const std::string& username) {
  trace("User::_logout called");
  // The user's request log outlives the session: a replica that is slow to
  // run one of its requests must still find it. Only entries no replica can
  // still be working on are dropped.
  sendForUser("delete from transactions", username, "Deletion of transactions failed: ",
              " and loggedAt < now() - interval 1 day");
  trace("User::removeTicket called");
  Sessions::end(username);
}

bool User::readAccount(const std::string& username, Stored& account, UserInfo* uinfo) {
  trace("User::populateUserInfo called");
  DBQuery queryObj;
  SqlText sql;
  sql << "select * from user where userName = '";
  sql.value(username) << "'";
  if (queryObj.select(sql, "Query failed: ") != 1 || !queryObj.isRows()) return false;
  account.username = queryObj.text("username");
  account.password = queryObj.text("password");
  account.card = queryObj.text("creditCardNum");
  if (uinfo == nullptr) return true;
  CORBA::String_member* const profile[] = {&uinfo->fName, &uinfo->lName, &uinfo->address,
                                           &uinfo->phoneNum, &uinfo->eMail};
  const char* const columns[] = {"fName", "lName", "address", "phoneNum", "eMail"};
  for (int i = 0; i < 5; ++i) *profile[i] = CORBA::string_dup(queryObj.text(columns[i]).c_str());
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
  if (queryObj.select(sql, "Query failed: ") == 0 || !queryObj.isRows()) return false;
  Stored account;
  if (!readAccount(queryObj.text("username"), account, nullptr)) return false;
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
    log.requireSession(*ticket, Sessions::kBadTicket);
    checkTicket = [ticket] { Sessions::validate(*ticket); };
  }
  log.supply(steps, checkTicket);
  steps.work = [&] { (this->*worker)(uinfo); };
  return RequestProtocol::run(steps);
}

void User::createProfile(const UserInfo& uinfo, const ClientTransaction& ctinfo) {
  trace("User::createProfile called");
  const TimingFile::Start before = TimingFile::now();
  CredentialRules::checkNew(uinfo);
  if (runProfileRequest(uinfo, ctinfo, nullptr, "createAccount", &User::_createProfile,
                        {"User::createProfile(): TavrinException occured: ",
                         "User::createProfile(): Generic Exceptin occured: ",
                         "User::createProfile(): already carried out, answered from the "
                         "request log"}))
    fileCreateProfile.record(before);
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
  SqlText sql;
  sql << "insert into user values (";
  const char* separator = "";
  for (const ProfileColumn& c : storedProfile(uinfo)) {
    sql << separator;
    quoted(sql, c);
    separator = ", ";
  }
  DBQuery().send(sql << ")", "Creation of profile failed: ");
}

void User::_updateProfile(const UserInfo& uinfo) {
  trace("User::_updateProfile called");
  SqlText sql;
  sql << "update user set ";
  const char* separator = "";
  for (const ProfileColumn& c : storedProfile(uinfo)) {
    if (std::strcmp(c.name, "username") == 0) continue;
    quoted(sql << separator << c.name << " = ", c);
    separator = ", ";
  }
  sql << " where username = '";
  sql.value(str(uinfo.username)) << "'";
  DBQuery().send(sql, "Updation of profile failed: ");
}

void User::_discontinueAccount(const UserInfo& uinfo) {
  trace("User::_discontinueAccount called");
  // Copies out under this name would leave circulation for good, and a
  // later registrant of the name would inherit them.
  if (getOutstandingMovieCount(str(uinfo.username)) > 0) fail(kMoviesOut);

  // The account, its sessions and its waiting rows go together: an old
  // ticket then acts for no one, and no return hands a copy to the name.
  // The request log stays.
  const std::string username = str(uinfo.username);
  const struct {
    const char* statement;
    const char* prefix;
  } rows[] = {{"delete from user", "Deletion of profile failed: "},
              {"delete from waitlistedmovies", "Deletion of waiting list entries failed: "}};
  for (const auto& r : rows) sendForUser(r.statement, username, r.prefix);
  Sessions::end(username);
}

unsigned int User::getOutstandingMovieCount(const std::string& username) {
  trace("User::getOutstandingMovieCount called");
  DBQuery queryObj;
  SqlText sql;
  sql << "select count(username) from checkedoutmovies where userName = '";
  sql.value(username) << "'";
  if (queryObj.select(sql, "Query failed: ") == 0 || !queryObj.isRows()) return 0;
  return static_cast<unsigned int>(std::atoi(queryObj.text("count(username)").c_str()));
}
