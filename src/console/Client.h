// The console client: the menu loop and the account and session dialogues
// (ClientFlows.cpp), built on its parts: the terminal (ConsoleTerminal),
// the requests with their records and identity (ConsoleRequests, which
// holds the replicas and the fan-out) and the movie dialogues (MovieFlows).
//
// Threads: one requesting thread (the console's) calls everything here.
#ifndef TAVRIN_CLIENT_H
#define TAVRIN_CLIENT_H

#include <iostream>
#include <string>

#include "ConsoleRequests.h"
#include "ConsoleTerminal.h"
#include "DialogueState.h"
#include "MovieFlows.h"

class Client {
 public:
  explicit Client(std::istream& in = std::cin, std::ostream& out = std::cout);
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // --- parts -----------------------------------------------------------------
  ConsoleTerminal& terminal() { return terminal_; }
  ConsoleRequests& requests() { return requests_; }
  MovieFlows& movies() { return movies_; }
  ReplicaDirectory& replicas() { return requests_.replicas(); }
  ClientIdentity& identity() { return requests_.identity(); }
  UserInfo& userInfo() { return requests_.userInfo(); }
  const Ticket& ticket() const { return requests_.ticket(); }

  // --- menu loop and account dialogues ----------------------------------------
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

 private:
  void login();
  void createAccount();
  void updateField(int fieldNum);
  void discontinueAccount();

  ConsoleTerminal terminal_;
  ConsoleRequests requests_;
  DialogueState state_ = DialogueState::MainMenu;
  MovieFlows movies_;
};

// When set (to a folder), the console is quiet: its trace goes to
// client-<pid>.log in that folder, created private.
constexpr const char* kClientLogDirVariable = "TAVRIN_CLIENT_LOG_DIR";

// The whole program: mode, ORB, start-up, the chosen mode. The process
// exit status.
int clientMain(int argc, char** argv);

#endif
