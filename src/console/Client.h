// The console client's dialogues: the menu loop, the account and session
// flows, and the movie flows (MovieFlows.cpp), built on its parts: the
// terminal (ConsoleTerminal), the replicas (ReplicaDirectory), the fan-out
// of one request (FanOut) and the request identity (ClientIdentity).
//
// Threads: one requesting thread (the console's) calls everything here.
// A request returns to its flow as soon as it is decided: workers still
// running end on their own (FanOut).
#ifndef TAVRIN_CLIENT_H
#define TAVRIN_CLIENT_H

#include <ServerIDL.hh>
#include <omniORB4/CORBA.h>

#include <iostream>
#include <memory>
#include <string>

#include "ClientIdentity.h"
#include "ConsoleTerminal.h"
#include "DialogueState.h"
#include "FanOut.h"
#include "Operation.h"
#include "ReplicaDirectory.h"

class Client {
 public:
  explicit Client(std::istream& in = std::cin, std::ostream& out = std::cout);
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // --- parts ---------------------------------------------------------------
  ConsoleTerminal& terminal() { return terminal_; }
  ReplicaDirectory& replicas() { return replicas_; }
  ClientIdentity& identity() { return identity_; }
  // What an unknown outcome does: `ask` the customer whether to try again
  // (the interactive console), else resend up to `resends` times.
  void settleUnknown(bool ask, int resends);

  // --- account and session flows -------------------------------------------
  int invokeClient();
  int checkClientstate();
  void selectOption();
  void authUserOption();
  bool login(const std::string& uname, const std::string& password);
  bool createAccount(const std::string* userInput);  // the 8 fields of the form
  void updateProfile();
  void logOut();
  int getClientState() const { return number(state_); }
  void setClientState(DialogueState s) { state_ = s; }

  // --- movie flows -----------------------------------------------------------
  bool search(const std::string& title, bool userPreference);
  void checkOutMovie();
  void waitList();
  bool returnMovie(const std::string& title);

  // --- requests --------------------------------------------------------------
  // Sends `op` with the current records to its replica set: true when it
  // was carried out. Settles an unknown outcome as settleUnknown() says.
  bool request(Operation op);
  // The request number for the next state-changing `op` on `key` (a user
  // name or a title): the unsettled one's, when this repeats it.
  void numberRequest(Operation op, const std::string& key);
  UserInfo& userInfo() { return uObj; }
  MovieInfo& movieInfo() { return movieObj; }
  const Ticket& ticket() const { return s_Tckt; }
  bool searchFound() const { return searchStatus; }

 private:
  void login();
  void createAccount();
  void updateField(int fieldNum);
  void discontinueAccount();
  void search();
  void showMovie();
  bool sessionEnded(const CallReply& reply);
  bool tryAgain(FanOutResult result, int* resends);

  ConsoleTerminal terminal_;
  ReplicaDirectory replicas_;
  FanOut fanOut_;
  ClientIdentity identity_;
  DialogueState state_ = DialogueState::MainMenu;
  Ticket s_Tckt;
  UserInfo uObj;
  MovieInfo movieObj;
  bool searchStatus = false;  // the last search found the movie
  bool askToSettle_ = false;
  int resendsToSettle_ = 0;
  // The last request whose outcome stayed unknown.
  struct Unsettled {
    Operation op = Operation::None;
    std::string key;
    CORBA::Short number = 0;
  } unsettled_;
};

// When set (to a folder), the console is quiet: its trace goes to
// client-<pid>.log in that folder, created private.
constexpr const char* kClientLogDirVariable = "TAVRIN_CLIENT_LOG_DIR";

// The whole program: mode, ORB, start-up, the chosen mode. The process
// exit status.
int clientMain(int argc, char** argv);

#endif
