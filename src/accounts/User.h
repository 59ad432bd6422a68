// Accounts and sessions: log-in tickets, session checks, log-out,
// registration, profile changes, account removal and the count of movies a
// user holds.
//
// One instance per server process, created on first use and never
// destroyed. Not thread safe: the servants serialise requests (RequestScope),
// so only one thread at a time uses it and the process's one database
// connection. Every operation raises TavrinException and nothing else.
#ifndef TAVRIN_USER_H
#define TAVRIN_USER_H

#include <ServerIDL.hh>

#include <cstdint>
#include <fstream>

class DBTransaction;
#include <string>

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
  void updateProfile(const UserInfo& uinfo, const ClientTransaction& ctinfo);
  void discontinueAccount(const UserInfo& uinfo, const ClientTransaction& ctinfo);
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

  // Locks the account tables or raises the lock failure.
  void lockAccountTables();
  // Opens the request's transaction or raises; unlocks first when `locked`.
  void startOrRefuse(DBTransaction& transaction, bool locked);
  // Commits or raises after rolling back; unlocks when `locked`.
  void commitOrRefuse(DBTransaction& transaction, bool locked, const char* tavrinMsg);
  // The profile requests' common course: lock (where `locked`), transaction,
  // repeat check, `worker`, request log, commit. False when the request had
  // already been carried out.
  bool runProfileRequest(const UserInfo& uinfo, const ClientTransaction& ctinfo, bool locked,
                         void (User::*worker)(const UserInfo&), const char* tavrinMsg,
                         const char* genericMsg);
  // Appends one duration line (milliseconds) to a timing file.
  static void writeTiming(std::ofstream& file, uint32_t secBefore, uint32_t usecBefore);

  std::ofstream fileLogin;
  std::ofstream fileLogout;
  std::ofstream fileCreateProfile;

  static User* instance;
};

#endif
