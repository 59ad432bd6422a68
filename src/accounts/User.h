// Accounts: log-in and log-out (the sessions themselves are Sessions'),
// registration, profile changes, account removal and the count of movies a
// user holds.
//
// One instance per server process, created on first use (thread safe) and
// never destroyed. Thread safe: it keeps no request state, each request's
// statements go to its thread's connection (RequestScope), and the timing
// files are written one line at a time under a lock.
//
// Errors: TavrinException is an answer of the rules (a bad ticket, a wrong
// password, a taken user name, movies still out, values the database
// refuses); every replica gives the same one, and the request log repeats
// it. Unavailable means this replica could not do the work (DBFailure.h).
// Nothing else escapes.
//
// No password, card number or session token appears in a trace line (the
// statement echo masks them, SqlText), nor in the database: passwords are
// hashed (PasswordHash), card numbers sealed (SecretBox).
#ifndef TAVRIN_USER_H
#define TAVRIN_USER_H

#include <ServerIDL.hh>

#include <string>

#include "LoggedRequest.h"
#include "RequestProtocol.h"
#include "TimingFile.h"

class User {
 public:
  static User* getInstance();

  // Checks the password (one slow hash per request: the replicas after the
  // first find the logged answer for the same credentials), fills in the
  // stored user name and the six profile members of uinfo and returns a new
  // session's ticket, which carries the stored name. A session the user
  // had ends. Refused at once, without a check, while the name is cut off
  // for guessing from this caller.
  Ticket_var login(UserInfo& uinfo, const ClientTransaction& ctinfo);
  // Ends the ticket's session when it is the user's live one; any other
  // ticket ends nothing, and gets the same answer.
  void logout(const Ticket_var& custTicket);

  void createProfile(const UserInfo& uinfo, const ClientTransaction& ctinfo);
  // With a ticket, the request acts only while the ticket's session exists,
  // checked before and again under the table lock.
  void updateProfile(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                     const Ticket* ticket = nullptr);
  // Closes the account for good: refused while the user has movies out;
  // otherwise the account, its sessions and its waiting rows go in one
  // transaction, so an old ticket acts for no one.
  void discontinueAccount(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                          const Ticket* ticket = nullptr);
  // Movies the user has out. Runs inside whatever locks and transaction the
  // caller holds.
  unsigned int getOutstandingMovieCount(const std::string& username);

  // Hashes the password and seals the card number of one account that
  // still holds either in the clear; false when none is left. Safe beside
  // running replicas.
  bool upgradeStoredSecrets();

 private:
  User();
  User(const User&) = delete;
  User& operator=(const User&) = delete;

  // An account as stored: its name as registered and its password hash (or
  // an old plain password).
  struct Stored {
    std::string username;
    std::string password;
    std::string card;  // as stored: sealed, or an old plain number
  };
  // What the check before the lock found.
  struct LogInCheck {
    bool verified = false;
    std::string storedPassword;
  };

  // Answers a log-in logged for these credentials: its refusal, or its
  // sealed ticket. False when it is not logged for them.
  bool loggedLogIn(const LoggedRequest& log, UserInfo& uinfo, Ticket_var& ticket);
  // The slow check; a wrong password is counted and logged, and refused.
  void checkPassword(UserInfo& uinfo, const ClientTransaction& ctinfo, const LoggedRequest& log,
                     LogInCheck& check);
  // The work of a log-in, under the lock: ends the user's session, opens a
  // new one and logs the request with the sealed ticket.
  void openSession(UserInfo& uinfo, const ClientTransaction& ctinfo, const LoggedRequest& log,
                   const LogInCheck& check, Ticket_var& ticket);
  // Rewrites an old plain password or card number of this account.
  void upgradeAccount(const Stored& account, const std::string& password);
  // The work of a log-out, under the user's row lock.
  void endSession(const std::string& username);
  // Reads the account by name (as the database compares names); with
  // `uinfo`, fills in its six profile members, the card opened.
  bool readAccount(const std::string& username, Stored& account, UserInfo* uinfo);
  void _createProfile(const UserInfo& uinfo);
  void _updateProfile(const UserInfo& uinfo);
  void _discontinueAccount(const UserInfo& uinfo);

  // A profile request through RequestProtocol: the request log before and
  // under the lock, with the ticket (when given) checked before the lock
  // and its session under it, then `worker`. False when the request had
  // already been carried out.
  bool runProfileRequest(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                         const Ticket* ticket, const char* operation,
                         void (User::*worker)(const UserInfo&),
                         const RequestProtocol::Texts& texts);
  TimingFile fileLogin;
  TimingFile fileLogout;
  TimingFile fileCreateProfile;
};

#endif
