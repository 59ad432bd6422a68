// The clocks of client and replica, compared on every call, so that a
// deadline never depends on the two hosts' clocks being in step.
//
// On the wire, both ways 8 octets, big-endian, milliseconds since the epoch:
//  - every reply (result or exception) carries the replica's clock reading
//    when it answered, in service context kReplyContextId; the client
//    estimates the replica's offset from the round trip (ReplicaClocks in
//    the console) and states each deadline in that replica's clock;
//  - every request carries the sender's clock in kRequestContextId; a
//    replica traces, once per client host, a difference of more than kSkew.
// A peer that sends neither is served as before.
//
// Thread safe: the readings are per thread; the trace set has its lock.
#ifndef TAVRIN_REPLICACLOCK_H
#define TAVRIN_REPLICACLOCK_H

#include <omniORB4/CORBA.h>

#include <chrono>
#include <string>

class ReplicaClock {
 public:
  using TimePoint = std::chrono::system_clock::time_point;
  static constexpr CORBA::ULong kReplyContextId = 0x54560002;
  static constexpr CORBA::ULong kRequestContextId = 0x54560003;
  // Larger differences between two clocks are traced.
  static constexpr std::chrono::milliseconds kSkew{1000};

  // Client: from now on replies' clock readings are recorded for the
  // thread that made the call, and requests carry the sending thread's clock.
  // Call once, after ORB_init.
  static void installClient();
  // Client: the clock the calling thread's requests carry is the system
  // clock shifted by `shift` (a session whose clock is off).
  static void setShiftForThisThread(std::chrono::milliseconds shift);
  // Client: forgets the calling thread's last reading; call before a call.
  static void clearReading();
  // Client: the replica's clock in the last reply this thread received since
  // clearReading(), and the replica's address; false when none came.
  static bool lastReading(TimePoint* replica, std::string* peer);

  // Server: replies carry this replica's clock; a client whose clock
  // differs by more than kSkew is traced once per host. Call once, after
  // ORB_init.
  static void installServer();

  // The host part of an ORB address such as "giop:tcp:127.0.0.1:2809".
  static std::string hostOf(const std::string& address);
};

#endif
