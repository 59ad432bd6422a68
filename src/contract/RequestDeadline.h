// The client's deadline for one request, carried to the replicas in a GIOP
// service context, so that a replica never carries out work its client has
// stopped waiting for, even when the request sat in a socket while the
// replica was frozen. The contract's types do not change: a peer that sends
// no deadline is served under the replica's own budget alone.
//
// On the wire: service context kContextId, 8 octets, big-endian, the
// deadline in milliseconds since the epoch by the receiving replica's clock
// as the client estimates it (ReplicaClock), so hosts whose clocks are off
// still agree on when the client stops waiting. installClient and
// installServer install ReplicaClock's side too.
//
// Thread safe: the deadlines are per thread.
#ifndef TAVRIN_REQUESTDEADLINE_H
#define TAVRIN_REQUESTDEADLINE_H

#include <omniORB4/CORBA.h>

#include <chrono>
#include <cstdint>

class RequestDeadline {
 public:
  using TimePoint = std::chrono::system_clock::time_point;
  static constexpr CORBA::ULong kContextId = 0x54560001;

  // Client: from now on, every request this process sends carries the
  // deadline its sending thread has set, and the clocks are compared
  // (ReplicaClock). Call once, after ORB_init.
  static void installClient();
  // Client: the deadline of the requests the calling thread sends next.
  static void setForThisThread(TimePoint deadline);
  static void clearForThisThread();

  // Server: records the deadline that comes with each request for the
  // thread that serves it. Call once, after ORB_init.
  static void installServer();
  // Server: the deadline of the request the calling thread serves; false
  // when it came without one.
  static bool received(TimePoint* deadline);

  // The service context's octets, and back; false for a malformed one.
  static void encode(TimePoint deadline, CORBA::Octet out[8]);
  static bool decode(const CORBA::Octet* data, CORBA::ULong length, TimePoint* deadline);
};

#endif
