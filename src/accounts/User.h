// Accounts and sessions: log-in tickets, session checks, log-out,
// registration, profile changes, account removal and the count of movies a
// user holds.
//
// One instance per server process, created on first use and never
// destroyed. Not thread safe: the servants serialise requests (RequestScope),
// so only one thread at a time uses it and the process's one database
// connection.
//
// Errors: TavrinException is an answer of the rules (a bad ticket, a wrong
// password, a taken user name, movies still out, values the database
// refuses); every replica gives the same one, and the request log repeats
// it. Unavailable means this replica could not do the work (DBFailure.h).
// Nothing else escapes.
//
// No password, card number or session token appears in a trace line: the
// statement echo masks them (SqlText).
#ifndef TAVRIN_USER_H
#define TAVRIN_USER_H

#include <ServerIDL.hh>

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>

class DBTransaction;
class SqlText;

class User {
 public:
  static User* getInstance();
  ~User();

  // Checks the password, fills in the six profile members of uinfo and
  // returns the session's ticket: the stored one when this client instance
  // already holds the session, else a new one.
  Ticket_var login(UserInfo& uinfo, const ClientTransaction& ctinfo);
  // Ends the ticket's user's session. Refused when the user has a session
  // whose token is not the ticket's; succeeds when there is no session.
  void logout(const Ticket_var& custTicket);

  void addTicket(const Ticket_var& custTicket);
  // Returns when exactly this (user name, token) session is stored, else
  // raises "more than one or no user found with the same uname/ticket\n".
  void validateTicket(const Ticket_var& custTicket);
  void removeTicket(const Ticket_var& custTicket);
  // 1 when the user's session belongs to this client instance, else 0.
  unsigned int validateClient(const UserInfo& uinfo, const ClientTransaction& ctinfo);

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
  // Movies the ticket's user has out; the token is not compared. Runs inside
  // whatever lock and transaction the caller holds.
  unsigned int getOutstandingMovieCount(const Ticket_var& custTicket);

 private:
  User();
  User(const User&) = delete;
  User& operator=(const User&) = delete;

  void _login(UserInfo& uinfo, const ClientTransaction& ctinfo);
  void _logout(const Ticket_var& custTicket);
  // The body of logout. Takes the account tables unless the caller (a
  // log-in replacing another client's session) already holds them.
  void endSession(const Ticket_var& custTicket, bool lockTables);
  Ticket_var generateTicket(UserInfo& uinfo);
  Ticket_var getTicket(UserInfo& uinfo);
  unsigned int checkSessionStatus(std::string username);
  void populateUserInfo(UserInfo& uinfo);
  void _createProfile(const UserInfo& uinfo);
  void _updateProfile(const UserInfo& uinfo);
  void _discontinueAccount(const UserInfo& uinfo);

  enum class Tables { kAccounts, kAccountsAndRentals };
  // The profile requests' common course: the claim, the request log, the
  // lock, the log again and the session (the authority), `worker`, the log
  // entry, the commit. A refusal by `worker` is logged with the request.
  // False when the request had already been carried out.
  bool runProfileRequest(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                         const Ticket* ticket, Tables tables,
                         void (User::*worker)(const UserInfo&), const char* operation,
                         const char* tavrinMsg, const char* genericMsg);
  // Runs `body` inside the request's transaction. On any exception: prints
  // it (tavrinMsg or genericMsg), rolls back, unlocks when `locked`, and
  // raises it on; anything but TavrinException and Unavailable leaves as
  // Unavailable.
  static void guarded(DBTransaction& transaction, bool locked, const char* tavrinMsg,
                      const char* genericMsg, const std::function<void()>& body);
  // Appends one duration line (milliseconds) to a timing file.
  static void writeTiming(std::ofstream& file, uint32_t secBefore, uint32_t usecBefore);

  std::ofstream fileLogin;
  std::ofstream fileLogout;
  std::ofstream fileCreateProfile;

  static User* instance;
};

#endif
