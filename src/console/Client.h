// The console client: replica discovery, the client's request identity,
// the fan-out of each request over the replicas of a server, and the
// account and movie dialogues of the interactive and automatic modes.
//
// Threads: one requesting thread (the console's) calls everything here;
// say() and write() may also be called from any thread. The workers of a
// request get private copies of it (see Thread). A request returns to its
// flow as soon as it is decided: workers still running are retired and
// reaped at a later request, or abandoned when the Client goes away.
#ifndef TAVRIN_CLIENT_H
#define TAVRIN_CLIENT_H

#include <ServerIDL.hh>
#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "ClientIdentity.h"
#include "ConsoleChannel.h"
#include "ReplicaHealth.h"

class FailureNotice;
class Thread;

// Raised by the console reads when standard input has ended.
struct EndOfInput {};

class Client {
 public:
  explicit Client(std::istream& in = std::cin, std::ostream& out = std::cout);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // --- start-up, discovery, identity ---------------------------------------
  void setNamingContext(CosNaming::NamingContext_ptr context);
  void clearAndObtainAccountIOR();
  void clearAndObtainOFSIOR();
  int getNoOfAccountServers() const { return noOfAccountServers; }
  int getNoOfOFSServers() const { return noOfOFSServers; }

  // A fresh identity for this host and process (see ClientIdentity).
  std::string generateClientID();
  void setClientID();
  // Advances the 16-bit request number; when the identity has used all its
  // numbers, takes a fresh identity first and traces it.
  void setClientTrans();
  ClientTransaction getclientTransObj() const;
  ClientIdentity& identity() { return clientIdentity; }
  static void removeStr(std::string& inStr, const std::string& subStr);
  static std::string intToStr(int intVal);
  int getClientState() const { return i_client_state; }
  void setClientState(int clientState) { i_client_state = clientState; }
  void retrieveRefrence(const Ticket& tempTckt);

  // --- fan-out -------------------------------------------------------------
  bool threadLogic(int typeOfIOR);
  void createAndStartThreads(int typeOfIOR);
  int findFirstOccurenceOfCompletionOrCompleteFailure();
  // The decision rule over the workers' statuses in replica order: the
  // index of the first decided worker (1 or 2), -1 when all failed (also
  // when there are none), -2 while the outcome is open.
  static int decide(const std::vector<int>& statuses);
  // Joins and deletes the workers of the attempt in progress.
  void clearVector();
  // What this client knows of the replicas of set `typeOfIOR` (0 account,
  // 1 order).
  ReplicaHealth& replicaHealth(int typeOfIOR) {
    return typeOfIOR == 0 ? *accountHealth_ : *orderHealth_;
  }
  void setMethodNumber(int m) { methodNumber = m; }
  int getMethodNumber() const { return methodNumber; }

  // --- account and session flows -------------------------------------------
  int invokeClient();
  int checkClientstate();
  void selectOption();
  void authUserOption();
  void login();
  bool login(const std::string& uname, const std::string& password);
  void createAccount();
  bool callCreateAccount(const std::string* userInput);
  bool createAccount(const std::string& afname, const std::string& alname,
                     const std::string& aaddress, const std::string& acreditcardNum,
                     const std::string& aphoneNum, const std::string& aemail,
                     const std::string& auname, const std::string& apassword);
  void updateProfile();
  void updateField(int fieldNum);
  void logOut();
  void discontinueAccount();
  void clrscr();

  // --- movie flows -----------------------------------------------------------
  void search();
  std::string titleEntry();
  bool callSearch(const std::string& movStr);
  bool search(const std::string& movStr, bool userPreference);
  void checkOutMovie();
  void waitList();
  void returnMovie();
  bool callretMovie(const std::string& movStr);
  static bool getSearchStatus() { return searchStatus; }
  static void setSearchStatus(bool s) { searchStatus = s; }

  // --- records -----------------------------------------------------------------
  UserInfo& userInfo() { return uObj; }
  MovieInfo& movieInfo() { return movieObj; }
  const Ticket& ticket() const { return s_Tckt; }

  // --- console -------------------------------------------------------------------
  void say(const std::string& line);   // one whole line, safe from any thread
  void write(const std::string& text); // text as it is, flushed
  // What "PRESS ENTER TO CONTINUE" does; by default one byte from fd 0.
  void setPause(std::function<void()> pause) { pauseHook = std::move(pause); }
  void setScreenClearing(bool on) { clearScreens = on; }

 private:
  friend class Thread;

  void pause();
  char readChoice();       // one character after white space
  char readMenuChoice();   // the same, then the end of the line
  std::string readField(int maxLength, bool secret = false);
  std::string readPassword(const std::string& prompt, int maxLength);
  int readNumber();        // the rest of the line is discarded
  void adoptReply(const Thread& decider);
  void showMovie();
  // Fan-out helpers, all on the requesting thread.
  void reapLate();                 // deletes background workers that ended
  void startProbes();              // liveness probes due for suspect replicas
  void retireWorkers(const Thread* keep);  // the rest of vec goes on in the background
  void startWorkers(const std::vector<size_t>& replicas, const std::string& line);
  bool callRemaining(int typeOfIOR);  // false: every replica was called
  void callFreed(int typeOfIOR);      // replicas whose earlier call has ended
  bool timedOut(FailureNotice& notice);
  void rediscover(int typeOfIOR);

  int i_client_state = 0;
  ClientIdentity clientIdentity;
  int methodNumber = 0;
  int noOfRetries = 0;
  int noOfAccountServers = 0;
  int noOfOFSServers = 0;
  CosNaming::NamingContext_var nc;
  std::vector<Account_var> account;
  std::vector<OrderFulfillment_var> orderObj;
  Ticket s_Tckt;
  UserInfo uObj;
  MovieInfo movieObj;
  static bool searchStatus;
  std::vector<Thread*> vec;

  std::istream& in;
  std::ostream& out;
  std::function<void()> pauseHook;
  bool clearScreens = true;
  // Shared with the workers, which may outlive a request or the Client.
  std::shared_ptr<ConsoleChannel> channel_;
  std::shared_ptr<ReplicaHealth> accountHealth_;
  std::shared_ptr<ReplicaHealth> orderHealth_;
  std::vector<Thread*> late_;  // retired workers and probes, still ours to delete
  std::vector<size_t> attemptCalled_;  // replicas called in the attempt in progress
  // When the request in progress stops being waited for (whole seconds,
  // as the limit is tested); every call of the request carries it.
  std::chrono::system_clock::time_point requestLimit_;
};

// The start-up sequence and the chosen mode (0 interactive, 1 automatic):
// 0, 1 or -1.
int run(CORBA::ORB_ptr orb, int clientMode, const std::string& suffix);

// The whole program: mode, ORB, run. The process exit status.
int clientMain(int argc, char** argv);

#endif
