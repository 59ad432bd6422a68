// One worker of a fan-out: sends one request to one replica on a thread of
// its own and records the outcome for the requesting thread. Or, started
// with StartProbe, one liveness probe of a suspect replica.
//
// Ownership: the fan-out owns each worker through std::unique_ptr, on the
// requesting thread. The worker's request is an immutable copy
// (CallRequest); what the running thread writes (status, replies, error)
// lives in a state shared between the handle and that thread, so a worker
// let go while its call runs (abandon) needs nobody to delete it: the state
// goes when the thread ends. A running worker is marked late by retire();
// its later lines are then background lines.
#ifndef TAVRIN_THREAD_H
#define TAVRIN_THREAD_H

#include <ServerIDL.hh>

#include <memory>
#include <string>
#include <thread>

#include "CallRequest.h"

// Outcome of one worker. completionStatus: 0 open, 1 carried out,
// 2 refused by the business logic, -1 the call failed; for -1, completion
// says whether the failed call may have reached the replica's work.
struct RequestStatus {
  int completionStatus = 0;
  unsigned long ThreadId = 0;
  CORBA::CompletionStatus completion = CORBA::COMPLETED_NO;
};

// The server's refusal of a ticket that no longer opens a session.
extern const char* const kBadTicket;

class Thread {
 public:
  Thread();
  // Waits for a worker still running, unless it was abandoned.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the call `request` describes; its replica must have been handed
  // out by its ReplicaHealth::choose.
  void Start(CallRequest request);
  // Starts a liveness probe of `request.index` (handed out by
  // ReplicaHealth::dueForProbe); its clock is measured as well.
  void StartProbe(CallRequest request);
  // Waits for the thread to end; 0 when joined (or never started).
  int join();
  // The thread has done all its work (join() returns at once).
  bool ended() const;
  // From now on its lines are background lines marked late.
  void retire();
  // Lets go of a running worker: the handle may be destroyed at once.
  void abandon();

  RequestStatus getRstatus() const;
  int getIndex() const;
  // The error text and the replica's reply; read only after join().
  const std::string& getError() const;
  const UserInfo& userReply() const;
  const MovieInfo& movieReply() const;
  const Ticket& ticketReply() const;

  struct Work;  // shared with the running thread

 private:
  void launch(bool probe);

  std::shared_ptr<Work> work_;
  std::thread thread_;
};

#endif
