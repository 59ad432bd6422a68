// One worker of a fan-out: sends the client's current request to one
// replica on a thread of its own and records the outcome for the
// requesting thread.
#ifndef TAVRIN_THREAD_H
#define TAVRIN_THREAD_H

#include <ServerIDL.hh>

#include <atomic>
#include <string>
#include <thread>

class Client;

// Outcome of one worker. completionStatus: 0 open, 1 carried out,
// 2 refused by the business logic, -1 the call failed.
struct RequestStatus {
  int completionStatus = 0;
  unsigned long ThreadId = 0;
};

class Thread {
 public:
  Thread();
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Takes a private copy of the client's request (operation, replica
  // `index`, records) and starts the thread. `arg` is the Client.
  void Start(void* arg, int index);
  // Waits for the thread to end; 0 when joined (or never started).
  int join();

  std::thread::id getThreadId() const;
  const std::string& getError() const { return error; }
  RequestStatus getRstatus() const;
  void setIndex(int i) { index = i; }
  int getIndex() const { return index; }

  // The replica's reply; read only after join().
  const UserInfo& userReply() const { return uObj; }
  const MovieInfo& movieReply() const { return movieObj; }
  const Ticket& ticketReply() const { return replyTckt; }

 protected:
  int Run(void* a);
  void* Arg() const { return arg; }
  void Arg(void* a) { arg = a; }
  static void* EntryPoint(void* pthis);
  virtual void Execute(void* a);

 private:
  void finish(int status);
  void say(const std::string& line) const;

  std::thread ThreadId;
  void* arg = nullptr;
  int index = 0;
  std::atomic<int> completionStatus{0};
  std::atomic<unsigned long> runningId{0};
  std::string error;

  // The request of this attempt, owned by this worker alone.
  Client* owner = nullptr;
  int methodNumber = 0;
  Account_var account;
  OrderFulfillment_var order;
  UserInfo uObj;
  MovieInfo movieObj;
  Ticket sTckt;
  ClientTransaction trans;
  Ticket replyTckt;
};

#endif
