// The network address of the caller of the request the calling thread
// serves, as the ORB saw the connection ("127.0.0.1", "::1"), without the
// port: what counters of failed guesses are keyed by, so that guessing from
// one place does not lock a customer out everywhere. Recorded by the
// server's request interceptor (RequestDeadline::installServer).
//
// Thread safe: the address is per thread.
#ifndef TAVRIN_CALLERADDRESS_H
#define TAVRIN_CALLERADDRESS_H

#include <string>

class CallerAddress {
 public:
  // `peer` as the ORB writes it ("giop:ssl:127.0.0.1:40000"); null or
  // unknown clears it.
  static void record(const char* peer);
  // "" outside a served request.
  static std::string current();
  // The host part of an ORB peer address.
  static std::string hostOf(const std::string& peer);
};

#endif
