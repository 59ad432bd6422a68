#include "RequestDeadline.h"

#include "CallerAddress.h"
#include "ReplicaClock.h"

#include <omniORB4/omniInterceptors.h>
// The server-side interceptor reads the request's service contexts from
// omniORB's GIOP_S, which needs these internal headers first.
#include <omniORB4/internal/giopStrand.h>
#include <omniORB4/internal/giopStream.h>
#include <omniORB4/internal/GIOP_S.h>

namespace {

thread_local bool sendDeadline = false;
thread_local RequestDeadline::TimePoint sendAt;
thread_local bool gotDeadline = false;
thread_local RequestDeadline::TimePoint gotAt;

CORBA::Boolean addDeadline(omni::omniInterceptors::clientSendRequest_T::info_T& info) {
  if (!sendDeadline) return true;
  IOP::ServiceContextList& list = info.service_contexts;
  const CORBA::ULong n = list.length();
  list.length(n + 1);
  list[n].context_id = RequestDeadline::kContextId;
  list[n].context_data.length(8);
  RequestDeadline::encode(sendAt, list[n].context_data.get_buffer());
  return true;
}

CORBA::Boolean readDeadline(omni::omniInterceptors::serverReceiveRequest_T::info_T& info) {
  gotDeadline = false;
  CallerAddress::record(info.peeraddress());
  IOP::ServiceContextList& list = info.giop_s.service_contexts();
  for (CORBA::ULong i = 0; i < list.length(); ++i) {
    if (list[i].context_id != RequestDeadline::kContextId) continue;
    gotDeadline = RequestDeadline::decode(list[i].context_data.get_buffer(),
                                          list[i].context_data.length(), &gotAt);
    break;
  }
  return true;
}

}  // namespace

void RequestDeadline::installClient() {
  omniORB::getInterceptors()->clientSendRequest.add(addDeadline);
  // A deadline is only as good as the clock it is stated in.
  ReplicaClock::installClient();
}

void RequestDeadline::setForThisThread(TimePoint deadline) {
  sendDeadline = true;
  sendAt = deadline;
}

void RequestDeadline::clearForThisThread() { sendDeadline = false; }

void RequestDeadline::installServer() {
  omniORB::getInterceptors()->serverReceiveRequest.add(readDeadline);
  ReplicaClock::installServer();
}

bool RequestDeadline::received(TimePoint* deadline) {
  if (gotDeadline && deadline != nullptr) *deadline = gotAt;
  return gotDeadline;
}

void RequestDeadline::encode(TimePoint deadline, CORBA::Octet out[8]) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline.time_since_epoch()).count();
  uint64_t v = ms < 0 ? 0 : static_cast<uint64_t>(ms);
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<CORBA::Octet>(v & 0xff);
    v >>= 8;
  }
}

bool RequestDeadline::decode(const CORBA::Octet* data, CORBA::ULong length,
                             TimePoint* deadline) {
  if (data == nullptr || length != 8) return false;
  uint64_t v = 0;
  for (CORBA::ULong i = 0; i < 8; ++i) v = (v << 8) | data[i];
  if (v > static_cast<uint64_t>(INT64_MAX)) return false;
  *deadline = TimePoint(std::chrono::milliseconds(static_cast<int64_t>(v)));
  return true;
}
