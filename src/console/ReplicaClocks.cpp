#include "ReplicaClocks.h"

#include <algorithm>
#include <cstdlib>

#include "ReplicaClock.h"
#include "ReplicaHealth.h"
#include "RequestDeadline.h"

using std::chrono::duration_cast;
using std::chrono::milliseconds;

ReplicaClocks::ReplicaClocks(Trace trace) : trace_(std::move(trace)) {}

ReplicaClocks::Wall::time_point ReplicaClocks::now() const { return Wall::now() + shift(); }

milliseconds ReplicaClocks::shift() const {
  std::lock_guard<std::mutex> lock(m_);
  return shift_;
}

void ReplicaClocks::setShift(milliseconds shift) {
  std::lock_guard<std::mutex> lock(m_);
  shift_ = shift;
}

void ReplicaClocks::reset(int set, size_t n) {
  std::lock_guard<std::mutex> lock(m_);
  sets_[set != 0].assign(n, Estimate());
}

const ReplicaClocks::Estimate* ReplicaClocks::find(int set, size_t i) const {
  const std::vector<Estimate>& v = sets_[set != 0];
  return i < v.size() ? &v[i] : nullptr;
}

bool ReplicaClocks::known(int set, size_t i) const {
  std::lock_guard<std::mutex> lock(m_);
  const Estimate* e = find(set, i);
  return e != nullptr && e->known;
}

void ReplicaClocks::record(int set, size_t i, Wall::time_point sent, Wall::time_point received,
                           Wall::time_point replica, const std::string& host) {
  const milliseconds roundTrip = duration_cast<milliseconds>(received - sent);
  if (roundTrip < milliseconds(0)) return;
  const Wall::time_point middle = sent + (received - sent) / 2;
  const milliseconds offset = duration_cast<milliseconds>(replica - middle);
  std::string line;
  {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<Estimate>& v = sets_[set != 0];
    if (i >= v.size()) return;  // a call from before the last discovery
    // A long round trip says little; it still beats knowing nothing. Then
    // a closer estimate, or a newer one of about the same quality, wins.
    Estimate& e = v[i];
    const milliseconds uncertainty = roundTrip / 2 + milliseconds(1);
    if (e.known && (roundTrip > kMaxRoundTrip || uncertainty > e.uncertainty * 2)) return;
    e = Estimate{true, offset, uncertainty};
    const bool skewed = offset > ReplicaClock::kSkew || -offset > ReplicaClock::kSkew;
    if (skewed && tracedHosts_.insert(host).second) {
      line = "The clock of replica host " + host + " is " +
             std::to_string(std::llabs(offset.count())) + " ms " +
             (offset.count() > 0 ? "ahead of" : "behind") +
             " this console's; deadlines are stated in its clock";
    }
  }
  if (!line.empty() && trace_) trace_(line);
}

void ReplicaClocks::assumeInStep(int set, size_t i) {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<Estimate>& v = sets_[set != 0];
  if (i < v.size() && !v[i].known) v[i] = Estimate{true, milliseconds(0), milliseconds(0)};
}

ReplicaClocks::Wall::time_point ReplicaClocks::deadlineFor(int set, size_t i,
                                                           Steady::time_point limit) const {
  const auto left = limit - Steady::now();
  std::lock_guard<std::mutex> lock(m_);
  const Estimate* e = find(set, i);
  const milliseconds offset = e != nullptr && e->known ? e->offset : milliseconds(0);
  const milliseconds uncertainty = e != nullptr && e->known ? e->uncertainty : milliseconds(0);
  return Wall::now() + shift_ + offset - uncertainty + duration_cast<Wall::duration>(left);
}

ReplicaClocks::Wall::time_point ReplicaClocks::prepareCall(int set, size_t i,
                                                           CORBA::Object_ptr target,
                                                           Steady::time_point limit) {
  ReplicaClock::setShiftForThisThread(shift());
  if (!known(set, i)) {
    // A short call whose only use is the reply's clock reading.
    omniORB::setClientCallTimeout(target, ReplicaHealth::kProbeTimeoutMs);
    const Wall::time_point sent = now();
    ReplicaClock::clearReading();
    target->_non_existent();
    measure(set, i, sent);
    assumeInStep(set, i);  // answered without a reading: as before
  }
  RequestDeadline::setForThisThread(deadlineFor(set, i, limit));
  const auto left = duration_cast<milliseconds>(limit - Steady::now());
  omniORB::setClientCallTimeout(target,
                                static_cast<CORBA::ULong>(std::max<long long>(left.count(), 100)));
  ReplicaClock::clearReading();
  return now();
}

void ReplicaClocks::measure(int set, size_t i, Wall::time_point sent) {
  const Wall::time_point received = now();
  Wall::time_point replica;
  std::string peer;
  if (ReplicaClock::lastReading(&replica, &peer))
    record(set, i, sent, received, replica, ReplicaClock::hostOf(peer));
}
