// Everything one worker's call needs, copied on the requesting thread when
// the worker starts and never changed afterwards: no two workers share a
// record, and no worker reaches back into the console.
#ifndef TAVRIN_CALLREQUEST_H
#define TAVRIN_CALLREQUEST_H

#include <ServerIDL.hh>

#include <chrono>
#include <cstddef>
#include <memory>

#include "Operation.h"

class ConsoleChannel;
class ReplicaClocks;
class ReplicaHealth;

struct CallRequest {
  Operation op = Operation::None;
  int set = kAccountSet;        // ReplicaSetId
  int dialogueState = 0;        // for the trace
  size_t index = 0;             // the replica, in its set
  CORBA::Object_var target;     // that replica; nil: not known
  UserInfo user;
  MovieInfo movie;
  Ticket ticket;
  ClientTransaction trans;
  // When the client stops waiting for the whole request.
  std::chrono::steady_clock::time_point limit;
  std::shared_ptr<ConsoleChannel> channel;
  std::shared_ptr<ReplicaHealth> health;
  std::shared_ptr<ReplicaClocks> clocks;
};

#endif
