#include "ReplicaClock.h"

#include <omniORB4/omniInterceptors.h>
// The server side reads and writes service contexts through omniORB's
// GIOP_S, which needs these internal headers first.
// clang-format off
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/internal/giopStream.h>
#include <omniORB4/internal/GIOP_S.h>
// clang-format on

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <set>

#include "RequestDeadline.h"
#include "Trace.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::system_clock;

thread_local milliseconds shift{0};
thread_local bool gotReading = false;
thread_local ReplicaClock::TimePoint readingAt;
thread_local std::string readingPeer;

void appendClock(IOP::ServiceContextList& list, CORBA::ULong id, ReplicaClock::TimePoint at) {
  const CORBA::ULong n = list.length();
  list.length(n + 1);
  list[n].context_id = id;
  list[n].context_data.length(8);
  RequestDeadline::encode(at, list[n].context_data.get_buffer());
}

bool findClock(const IOP::ServiceContextList& list, CORBA::ULong id, ReplicaClock::TimePoint* at) {
  for (CORBA::ULong i = 0; i < list.length(); ++i) {
    if (list[i].context_id != id) continue;
    return RequestDeadline::decode(list[i].context_data.get_buffer(), list[i].context_data.length(),
                                   at);
  }
  return false;
}

CORBA::Boolean sendClientClock(omni::omniInterceptors::clientSendRequest_T::info_T& info) {
  appendClock(info.service_contexts, ReplicaClock::kRequestContextId, system_clock::now() + shift);
  return true;
}

CORBA::Boolean readReplicaClock(omni::omniInterceptors::clientReceiveReply_T::info_T& info) {
  ReplicaClock::TimePoint at;
  if (!findClock(info.service_contexts, ReplicaClock::kReplyContextId, &at)) return true;
  gotReading = true;
  readingAt = at;
  const char* peer = info.peeraddress();
  readingPeer = peer != nullptr ? peer : "";
  return true;
}

// Each client host whose clock was seen off is traced once.
void traceClientSkew(const std::string& host, milliseconds skew) {
  static std::mutex m;
  static std::set<std::string> traced;
  {
    std::lock_guard<std::mutex> lock(m);
    if (!traced.insert(host).second) return;
  }
  const long long s = skew.count();
  trace("The clock of client host ", TraceValue{host}, " is ", std::llabs(s), " ms ",
        s < 0 ? "behind" : "ahead of",
        " this replica's; its deadlines are stated in this replica's clock");
}

CORBA::Boolean checkClientClock(omni::omniInterceptors::serverReceiveRequest_T::info_T& info) {
  ReplicaClock::TimePoint client;
  if (!findClock(info.giop_s.service_contexts(), ReplicaClock::kRequestContextId, &client))
    return true;
  const auto skew = std::chrono::duration_cast<milliseconds>(client - system_clock::now());
  if (skew > ReplicaClock::kSkew || -skew > ReplicaClock::kSkew) {
    const char* peer = info.peeraddress();
    traceClientSkew(ReplicaClock::hostOf(peer != nullptr ? peer : ""), skew);
  }
  return true;
}

// The reply's contexts replace the request's, which must not echo back.
void stampReply(omni::GIOP_S& giop_s) {
  IOP::ServiceContextList& list = giop_s.service_contexts();
  list.length(0);
  appendClock(list, ReplicaClock::kReplyContextId, system_clock::now());
}

CORBA::Boolean stampResult(omni::omniInterceptors::serverSendReply_T::info_T& info) {
  stampReply(info.giop_s);
  return true;
}

CORBA::Boolean stampException(omni::omniInterceptors::serverSendException_T::info_T& info) {
  stampReply(info.giop_s);
  return true;
}

}  // namespace

void ReplicaClock::installClient() {
  omniORB::getInterceptors()->clientSendRequest.add(sendClientClock);
  omniORB::getInterceptors()->clientReceiveReply.add(readReplicaClock);
}

void ReplicaClock::setShiftForThisThread(std::chrono::milliseconds s) { shift = s; }

void ReplicaClock::clearReading() { gotReading = false; }

bool ReplicaClock::lastReading(TimePoint* replica, std::string* peer) {
  if (!gotReading) return false;
  if (replica != nullptr) *replica = readingAt;
  if (peer != nullptr) *peer = readingPeer;
  return true;
}

void ReplicaClock::installServer() {
  omniORB::getInterceptors()->serverReceiveRequest.add(checkClientClock);
  omniORB::getInterceptors()->serverSendReply.add(stampResult);
  omniORB::getInterceptors()->serverSendException.add(stampException);
}

std::string ReplicaClock::hostOf(const std::string& address) {
  // giop:tcp:HOST:PORT, HOST possibly a bracketed IPv6 address.
  std::string rest = address;
  for (const char* scheme : {"giop:tcp:", "giop:ssl:", "giop:unix:"})
    if (rest.rfind(scheme, 0) == 0) rest = rest.substr(std::char_traits<char>::length(scheme));
  const size_t colon = rest.rfind(':');
  if (colon != std::string::npos && rest.find(']') == std::string::npos)
    return rest.substr(0, colon);
  if (colon != std::string::npos && colon > rest.find(']')) return rest.substr(0, colon);
  return rest;
}
