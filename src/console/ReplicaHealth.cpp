#include "ReplicaHealth.h"

#include <algorithm>

const std::chrono::milliseconds ReplicaHealth::kProbeInterval{3000};
const CORBA::ULong ReplicaHealth::kProbeTimeoutMs = 2000;

ReplicaHealth::Ended ReplicaHealth::classify(const CORBA::SystemException& e) {
  return CORBA::TIMEOUT::_downcast(&e) != nullptr ? Ended::Hung : Ended::Failed;
}

ReplicaHealth::ReplicaHealth(std::string prefix, Trace trace)
    : prefix_(std::move(prefix)), trace_(std::move(trace)) {}

void ReplicaHealth::setSuspect(Entry& e, size_t i, bool on, const char* why,
                               std::vector<std::string>& lines) {
  if (e.suspect == on) return;
  e.suspect = on;
  // The first probe of a new suspect comes an interval later: it has just
  // failed to answer.
  e.probed = on;
  e.lastProbe = Clock::now();
  lines.push_back("Replica " + prefix_ + std::to_string(i) +
                  (on ? " is suspect: " : " is trusted again: ") + why);
}

void ReplicaHealth::emit(const std::vector<std::string>& lines) const {
  if (!trace_) return;
  for (const std::string& l : lines) trace_(l);
}

void ReplicaHealth::reset(size_t n) {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(m_);
    n_ = n;
    if (entries_.size() < n) entries_.resize(n);
    for (size_t i = 0; i < entries_.size(); ++i)
      setSuspect(entries_[i], i, false, "found again in the Naming Service", lines);
  }
  emit(lines);
}

size_t ReplicaHealth::size() const {
  std::lock_guard<std::mutex> lock(m_);
  return n_;
}

namespace {
bool among(const std::vector<size_t>& v, size_t i) {
  return std::find(v.begin(), v.end(), i) != v.end();
}
}  // namespace

std::vector<size_t> ReplicaHealth::choose(std::vector<size_t>* skipped,
                                          const std::vector<size_t>& called) {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<size_t> chosen;
  for (size_t i = 0; i < n_; ++i)
    if (!entries_[i].suspect && !entries_[i].busy && !among(called, i)) chosen.push_back(i);
  if (chosen.empty())
    for (size_t i = 0; i < n_; ++i)
      if (!entries_[i].busy && !among(called, i)) chosen.push_back(i);
  for (size_t i : chosen) entries_[i].busy = true;
  if (skipped != nullptr) {
    skipped->clear();
    for (size_t i = 0; i < n_; ++i)
      if (!among(chosen, i) && !among(called, i)) skipped->push_back(i);
  }
  return chosen;
}

std::vector<size_t> ReplicaHealth::chooseFreed(const std::vector<size_t>& called) {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<size_t> freed;
  for (size_t i = 0; i < n_; ++i) {
    if (entries_[i].suspect || entries_[i].busy || among(called, i)) continue;
    entries_[i].busy = true;
    freed.push_back(i);
  }
  return freed;
}

void ReplicaHealth::callEnded(size_t i, Ended how) {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(m_);
    if (i >= entries_.size()) return;
    Entry& e = entries_[i];
    e.busy = false;
    if (how == Ended::Hung) setSuspect(e, i, true, "its call timed out", lines);
    if (how == Ended::Answered) setSuspect(e, i, false, "it answered", lines);
  }
  emit(lines);
}

std::vector<size_t> ReplicaHealth::dueForProbe(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<size_t> due;
  for (size_t i = 0; i < n_; ++i) {
    Entry& e = entries_[i];
    if (!e.suspect || e.busy) continue;
    if (e.probed && now - e.lastProbe < kProbeInterval) continue;
    e.busy = true;
    e.probed = true;
    e.lastProbe = now;
    due.push_back(i);
  }
  return due;
}

void ReplicaHealth::probeEnded(size_t i, bool answered) {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(m_);
    if (i >= entries_.size()) return;
    Entry& e = entries_[i];
    e.busy = false;
    if (answered) setSuspect(e, i, false, "it answered a liveness probe", lines);
  }
  emit(lines);
}

bool ReplicaHealth::suspect(size_t i) const {
  std::lock_guard<std::mutex> lock(m_);
  return i < entries_.size() && entries_[i].suspect;
}

bool ReplicaHealth::busy(size_t i) const {
  std::lock_guard<std::mutex> lock(m_);
  return i < entries_.size() && entries_[i].busy;
}

bool ReplicaHealth::anyBusy(const std::vector<size_t>& called) const {
  std::lock_guard<std::mutex> lock(m_);
  for (size_t i = 0; i < n_; ++i)
    if (entries_[i].busy && !among(called, i)) return true;
  return false;
}
