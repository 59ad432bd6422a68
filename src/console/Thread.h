// One worker of a fan-out: sends the client's current request to one
// replica on a thread of its own and records the outcome for the
// requesting thread. Or, started with StartProbe, one liveness probe of a
// suspect replica.
//
// Ownership: the Client creates and deletes its workers on the requesting
// thread. A worker still running when its request was decided is retired
// (its later lines are marked late) and deleted once it has ended; one still
// running when the Client goes away is abandoned and deletes itself when its
// call ends. After Start a worker uses nothing of the Client's: its request
// is a private copy, and it reports through the shared channel and replica
// health.
#ifndef TAVRIN_THREAD_H
#define TAVRIN_THREAD_H

#include <ServerIDL.hh>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "ReplicaHealth.h"

class Client;
class ConsoleChannel;

// Outcome of one worker. completionStatus: 0 open, 1 carried out,
// 2 refused by the business logic, -1 the call failed; for -1, completion
// says whether the failed call may have reached the replica's work.
struct RequestStatus {
  int completionStatus = 0;
  unsigned long ThreadId = 0;
  CORBA::CompletionStatus completion = CORBA::COMPLETED_NO;
};

class Thread {
 public:
  Thread();
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Takes a private copy of the client's request (operation, replica
  // `index`, records, deadline) and starts the thread. `arg` is the Client;
  // the replica must have been handed out by its ReplicaHealth::choose.
  void Start(void* arg, int index);
  // Starts a liveness probe of `replica`, handed out by
  // ReplicaHealth::dueForProbe.
  void StartProbe(std::shared_ptr<ConsoleChannel> channel, std::shared_ptr<ReplicaHealth> health,
                  CORBA::Object_ptr replica, int index);
  // Waits for the thread to end; 0 when joined (or never started).
  int join();
  // The thread has done all its work (join() returns at once).
  bool ended() const { return state_.load() != kRunning; }
  // From now on its lines are background lines marked late.
  void retire();
  // Lets go of a running worker: it deletes itself when it ends. The caller
  // must not use the pointer afterwards.
  void abandon();

  // Calls of this process's workers and probes still in flight.
  static int callsInFlight() { return inFlight_.load(); }
  // Some worker was let go while it ran: it may still release its object
  // references, so the ORB must not be destroyed under it.
  static bool anyAbandoned() { return abandonedRunning_.load(); }

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
  enum { kRunning, kEnded, kAbandoned };
  void launch();
  void probe();
  // The last step of a call: the replica is free again, then the status.
  void finish(int status, CORBA::CompletionStatus completion = CORBA::COMPLETED_NO);
  void finish(int status, CORBA::CompletionStatus completion, ReplicaHealth::Ended how);
  void say(const std::string& line) const;

  std::thread ThreadId;
  void* arg = nullptr;
  int index = 0;
  std::atomic<int> completionStatus{0};
  std::atomic<int> failedCompletion{CORBA::COMPLETED_NO};
  std::atomic<unsigned long> runningId{0};
  std::atomic<bool> late_{false};
  std::atomic<int> state_{kEnded};
  bool probe_ = false;
  std::string error;
  static std::atomic<int> inFlight_;
  static std::atomic<bool> abandonedRunning_;

  std::shared_ptr<ConsoleChannel> channel_;
  std::shared_ptr<ReplicaHealth> health_;
  std::chrono::system_clock::time_point deadline_;

  // The request of this attempt, owned by this worker alone.
  int methodNumber = 0;
  CORBA::Object_var target_;
  Account_var account;
  OrderFulfillment_var order;
  UserInfo uObj;
  MovieInfo movieObj;
  Ticket sTckt;
  ClientTransaction trans;
  Ticket replyTckt;
};

#endif
