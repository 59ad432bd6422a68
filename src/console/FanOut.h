// The fan-out of one request over the replicas of its set: one worker per
// replica, the decision (the first decided worker in replica order wins),
// rediscovery when every replica failed (at most kRediscoveries times), the
// request's limit on the steady clock, and the workers still running once
// the request was decided (retired: they end on their own and are reaped at
// a later request, or let go when the FanOut goes away).
//
// Not thread safe: the requesting thread only. Workers reach it through
// nothing but the shared channel, health and clocks.
#ifndef TAVRIN_FANOUT_H
#define TAVRIN_FANOUT_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "CallRequest.h"
#include "FailureNotice.h"
#include "ReplicaDirectory.h"
#include "Thread.h"

// What one request came to.
enum class FanOutResult {
  Done,      // a replica carried it out
  Refused,   // a replica refused it (the business rules)
  NoEffect,  // not carried out, and it cannot have taken effect
  Unknown,   // not carried out as far as we know; it may have taken effect
};

// The deciding replica's reply.
struct CallReply {
  UserInfo user;
  MovieInfo movie;
  Ticket ticket;
  std::string refusal;  // the server's message, for a refusal
};

class FanOut {
 public:
  static constexpr std::chrono::seconds kLimit{10};
  static constexpr int kRediscoveries = 3;

  FanOut(ReplicaDirectory& replicas, std::shared_ptr<ConsoleChannel> channel);
  ~FanOut();  // lets go of workers still running
  FanOut(const FanOut&) = delete;
  FanOut& operator=(const FanOut&) = delete;

  // Sends `request` (op, records, request number; the rest is filled in
  // here) and waits until it is decided, failed or out of time. Nothing is
  // printed for the customer here but the workers' outcome lines;
  // `notice` tells what a failure may have done.
  FanOutResult send(const CallRequest& request, CallReply* reply, FailureNotice* notice);

  // The decision rule over the workers' statuses in replica order: the
  // index of the first decided worker (1 or 2), -1 when all failed (also
  // when there are none), -2 while the outcome is open.
  static int decide(const std::vector<int>& statuses);

 private:
  using Worker = std::unique_ptr<Thread>;
  FanOutResult attempt(const CallRequest& request, CallReply* reply, FailureNotice* notice);
  FanOutResult allFailed(const CallRequest& request, FailureNotice* notice, bool* again);
  FanOutResult decided(size_t at, CallReply* reply);
  FanOutResult timedOut(CallReply* reply, FailureNotice* notice);
  void startChosen(const CallRequest& request);
  void startWorkers(const CallRequest& request, const std::vector<size_t>& replicas,
                    const std::string& line);
  bool callRemaining(const CallRequest& request);  // false: every replica was called
  void callFreed(const CallRequest& request);      // replicas whose earlier call has ended
  int decision() const;
  void joinAll();
  void retireWorkers(size_t keep);  // the rest go on in the background
  void reapLate();
  void startProbes();

  ReplicaDirectory& replicas_;
  std::shared_ptr<ConsoleChannel> channel_;
  std::vector<Worker> workers_;        // this attempt's, in replica order
  std::vector<Worker> late_;           // retired workers and probes
  std::vector<size_t> attemptCalled_;  // replicas called in this attempt
  std::chrono::steady_clock::time_point limit_;
  int rediscoveries_ = 0;
};

#endif
