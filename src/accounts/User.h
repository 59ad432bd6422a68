// Accounts and sessions: log-in tickets, session checks, log-out,
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
// No password, card number or session token appears in a trace line: the
// statement echo masks them (SqlText).
#ifndef TAVRIN_USER_H
#define TAVRIN_USER_H

#include <ServerIDL.hh>

#include <cstdint>
#include <fstream>
#include <string>

#include "RequestProtocol.h"

class User {
 public:
  static User* getInstance();
  ~User();

  // Checks the password, fills in the six profile members of uinfo and
  // returns the session's ticket: the stored one when this client instance
  // already holds the session, else a new one. A log-in another replica
  // carried out is answered before the table lock, the password checked
  // all the same.
  Ticket_var login(UserInfo& uinfo, const ClientTransaction& ctinfo);
  // Ends the ticket's user's session. Refused when the user has a session
  // whose token is not the ticket's; succeeds when there is no session,
  // then without the table lock. The replicas of one log-out take turns.
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
  // True, with the session's ticket, when this client instance holds the
  // user's session; the caller is authenticated first. `hasSession` says
  // whether the user has a session at all.
  bool sessionOfThisClient(UserInfo& uinfo, const ClientTransaction& ctinfo, Ticket_var& ticket,
                           bool& hasSession);
  // The work of a log-in: ends another client instance's session (only for
  // someone who knows the password), opens a new one and logs the request.
  void openSession(UserInfo& uinfo, const ClientTransaction& ctinfo, bool hasSession,
                   Ticket_var& ticket);
  // The work of a log-out, under the account tables' lock.
  void endSession(const Ticket_var& custTicket);
  Ticket_var generateTicket(UserInfo& uinfo);
  // The stored session's ticket; false when there is not exactly one.
  bool storedTicket(UserInfo& uinfo, Ticket_var& ticket);
  unsigned int checkSessionStatus(std::string username);
  void populateUserInfo(UserInfo& uinfo);
  void _createProfile(const UserInfo& uinfo);
  void _updateProfile(const UserInfo& uinfo);
  void _discontinueAccount(const UserInfo& uinfo);

  // A profile request through RequestProtocol: the request log before and
  // under the lock, with the ticket (when given) checked before the lock
  // and its session under it, then `worker`. False when the request had
  // already been carried out.
  bool runProfileRequest(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                         const Ticket* ticket,
                         void (User::*worker)(const UserInfo&),
                         const RequestProtocol::Texts& texts);
  // Appends one duration line (milliseconds) to a timing file.
  static void writeTiming(std::ofstream& file, uint32_t secBefore, uint32_t usecBefore);

  std::ofstream fileLogin;
  std::ofstream fileLogout;
  std::ofstream fileCreateProfile;

  static User* instance;
};

#endif
