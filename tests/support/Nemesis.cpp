#include "Nemesis.h"

#include <signal.h>

#include <algorithm>
#include <sstream>

namespace tt {

namespace {
using ms = std::chrono::milliseconds;

std::string secondsText(ms d) {
  std::ostringstream o;
  o.precision(1);
  o << std::fixed << d.count() / 1000.0 << " s";
  return o.str();
}
}  // namespace

const char* faultName(Fault f) {
  switch (f) {
    case Fault::ReplicaKill: return "replica killed (-9) and restarted";
    case Fault::ReplicaFreeze: return "replica frozen (SIGSTOP) and thawed";
    case Fault::NamingStop: return "Naming Service stopped and started";
    case Fault::DbFailover: return "primary database killed, failed over, rejoined";
    case Fault::LinkCut: return "replica's link cut and restored";
    case Fault::ClockShift: return "session clock shifted";
  }
  return "?";
}

Nemesis::Nemesis(ChaosDeployment& deployment, LoadRun& load, unsigned seed)
    : d_(deployment), load_(load), rng_(seed) {}

Nemesis::~Nemesis() {
  for (auto& t : threads_)
    if (t.joinable()) t.join();
}

double Nemesis::secondsIn() const {
  return std::chrono::duration<double>(Clock::now() - began_).count();
}

void Nemesis::error(const std::string& what) {
  std::lock_guard<std::mutex> lock(m_);
  errors_.push_back(what);
}

std::vector<AppliedFault> Nemesis::applied() const {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<AppliedFault> out = applied_;
  std::sort(out.begin(), out.end(),
            [](const AppliedFault& a, const AppliedFault& b) { return a.startS < b.startS; });
  return out;
}

std::vector<std::string> Nemesis::errors() const {
  std::lock_guard<std::mutex> lock(m_);
  return errors_;
}

void Nemesis::run(Clock::time_point stopAt) {
  began_ = Clock::now();
  std::vector<Fault> firsts;
  for (int k = 0; k < kFaultKinds; ++k) firsts.push_back(static_cast<Fault>(k));
  std::shuffle(firsts.begin(), firsts.end(), rng_);
  std::uniform_int_distribution<int> pause(500, 4000), anyKind(0, kFaultKinds - 1);
  // A short run goes on until every kind was applied once.
  const Clock::time_point giveUp = stopAt + std::chrono::minutes(5);
  auto going = [&] { return Clock::now() < (firsts.empty() ? stopAt : giveUp); };
  while (going()) {
    std::this_thread::sleep_for(ms(pause(rng_)));
    if (!going()) break;
    // Every kind once before any repeats; one that cannot start yet waits.
    std::vector<Fault> candidates = firsts;
    if (candidates.empty()) candidates.push_back(static_cast<Fault>(anyKind(rng_)));
    for (size_t i = 0; i < candidates.size(); ++i) {
      int target = 0;
      if (!startable(candidates[i], &target)) continue;
      Plan plan = draw(candidates[i]);
      plan.target = target;
      if (!firsts.empty()) firsts.erase(firsts.begin() + static_cast<long>(i));
      launch(plan);
      break;
    }
  }
  for (auto& t : threads_) t.join();
  threads_.clear();
  for (const Fault f : firsts) error(std::string("never applied: ") + faultName(f));
}

// Reserves what the fault needs; false while it cannot start.
bool Nemesis::startable(Fault kind, int* target) {
  std::lock_guard<std::mutex> lock(m_);
  if (active_.size() >= 2 || active_.count(kind)) return false;
  std::vector<int> replicas;
  switch (kind) {
    case Fault::ReplicaKill:
    case Fault::ReplicaFreeze:
      for (int r = 0; r < ChaosDeployment::kReplicas; ++r)
        if (!busyReplicas_.count(r)) replicas.push_back(r);
      if (replicas.empty()) return false;
      *target = replicas[std::uniform_int_distribution<size_t>(0, replicas.size() - 1)(rng_)];
      break;
    case Fault::LinkCut:
      if (busyReplicas_.count(ChaosDeployment::kHostReplica)) return false;
      *target = ChaosDeployment::kHostReplica;
      break;
    case Fault::NamingStop: *target = std::uniform_int_distribution<int>(1, 2)(rng_); break;
    case Fault::ClockShift:
      *target = std::uniform_int_distribution<int>(
          0, static_cast<int>(load_.sessions().size()) - 1)(rng_);
      break;
    case Fault::DbFailover: break;
  }
  active_.insert(kind);
  if (kind == Fault::ReplicaKill || kind == Fault::ReplicaFreeze || kind == Fault::LinkCut)
    busyReplicas_.insert(*target);
  return true;
}

Nemesis::Plan Nemesis::draw(Fault kind) {
  auto between = [this](int lo, int hi) { return ms(std::uniform_int_distribution<int>(lo, hi)(rng_)); };
  Plan p;
  p.kind = kind;
  switch (kind) {
    case Fault::ReplicaKill: p.hold = between(500, 8000); break;
    case Fault::ReplicaFreeze: p.hold = between(1000, 15000); break;
    case Fault::NamingStop: p.hold = between(2000, 10000); break;
    case Fault::DbFailover: p.hold = between(3000, 10000); break;
    case Fault::LinkCut: p.hold = between(2000, 12000); break;
    case Fault::ClockShift: {
      p.hold = between(5000, 20000);
      const long long size = std::uniform_int_distribution<long long>(1000, 15000)(rng_);
      p.shiftMs = std::uniform_int_distribution<int>(0, 1)(rng_) ? size : -size;
      break;
    }
  }
  return p;
}

void Nemesis::launch(const Plan& plan) {
  threads_.emplace_back([this, plan] {
    AppliedFault record;
    record.kind = plan.kind;
    record.startS = secondsIn();
    apply(plan, record);
    record.endS = secondsIn();
    std::lock_guard<std::mutex> lock(m_);
    applied_.push_back(record);
    active_.erase(plan.kind);
    busyReplicas_.erase(plan.target);
  });
}

void Nemesis::apply(const Plan& plan, AppliedFault& record) {
  switch (plan.kind) {
    case Fault::ReplicaKill: return killReplica(plan, record);
    case Fault::ReplicaFreeze: return freezeReplica(plan, record);
    case Fault::NamingStop: return stopDirectory(plan, record);
    case Fault::DbFailover: return failOverDatabase(plan, record);
    case Fault::LinkCut: return cutLink(plan, record);
    case Fault::ClockShift: return shiftClock(plan, record);
  }
}

void Nemesis::killReplica(const Plan& plan, AppliedFault& record) {
  d_.kill(plan.target);
  std::this_thread::sleep_for(plan.hold);
  const Clock::time_point at = Clock::now();
  const std::string why = d_.start(plan.target);
  record.healed = why.empty();
  record.what = "kill -9 " + d_.name(plan.target) + ", restarted after " + secondsText(plan.hold) +
                ", bound again in " + secondsText(std::chrono::duration_cast<ms>(Clock::now() - at));
  if (!why.empty()) error("restart: " + why);
}

void Nemesis::freezeReplica(const Plan& plan, AppliedFault& record) {
  const bool stopped = d_.freeze(plan.target);
  std::this_thread::sleep_for(plan.hold);
  d_.thaw(plan.target);
  record.healed = true;
  record.what = "SIGSTOP " + d_.name(plan.target) + " for " + secondsText(plan.hold) +
                (stopped ? "" : " (not every thread had stopped)");
}

void Nemesis::stopDirectory(const Plan& plan, AppliedFault& record) {
  std::string out;
  if (d_.naming("naming-stop", plan.target, &out) != 0) error("naming-stop: " + out);
  std::this_thread::sleep_for(plan.hold);
  const int rc = d_.naming("naming-start", plan.target, &out);
  record.healed = rc == 0;
  if (rc != 0) error("naming-start: " + out);
  record.what = "Naming Service " + std::to_string(plan.target) + " down for " + secondsText(plan.hold);
}

void Nemesis::failOverDatabase(const Plan& plan, AppliedFault& record) {
  StandbyDatabases& dbs = d_.databases();
  // No kill before the standby has caught up and acknowledges commits.
  if (!waitFor([&] { return dbs.semisync() == "ON"; }, std::chrono::seconds(120))) {
    error("the primary never waited for its standby: no failover done");
    record.what = "skipped: semi-sync never came on";
    return;
  }
  const int old = dbs.primary();
  const pid_t pid = dbs.pid(old);
  ::kill(pid, SIGKILL);
  waitFor([&] { return processGone(pid); }, std::chrono::seconds(10));
  if (!promote(record)) return;
  std::this_thread::sleep_for(plan.hold);
  std::string out;
  bool rejoined = false;
  for (int attempt = 0; attempt < 5 && !rejoined; ++attempt) rejoined = dbs.run("db-rejoin", &out) == 0;
  if (!rejoined) error("db-rejoin: " + out);
  const Clock::time_point at = Clock::now();
  record.healed =
      rejoined && waitFor([&] { return dbs.semisync() == "ON"; }, std::chrono::seconds(120));
  if (rejoined && !record.healed) error("the rejoined standby did not catch up");
  record.what += ", database " + std::to_string(old) + " rejoined after " + secondsText(plan.hold) +
                 ", caught up in " + secondsText(std::chrono::duration_cast<ms>(Clock::now() - at));
}

// db-failover without --force; a refusal is waited out.
bool Nemesis::promote(AppliedFault& record) {
  StandbyDatabases& dbs = d_.databases();
  const Clock::time_point killed = Clock::now();
  int refused = 0;
  std::string out;
  while (dbs.run("db-failover", &out) != 0) {
    ++refused;
    if (Clock::now() - killed > std::chrono::seconds(120)) {
      error("db-failover refused for 2 minutes: " + out);
      record.what = "primary killed; failover refused " + std::to_string(refused) + " times";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // waited out, then asked again
  }
  record.what = "primary database " + std::to_string(3 - dbs.primary()) + " killed, database " +
                std::to_string(dbs.primary()) + " promoted in " +
                secondsText(std::chrono::duration_cast<ms>(Clock::now() - killed)) +
                (refused ? " (" + std::to_string(refused) + " refusals waited out)" : "");
  return true;
}

void Nemesis::cutLink(const Plan& plan, AppliedFault& record) {
  if (!d_.host().cut()) error("cannot cut the host's link");
  std::this_thread::sleep_for(plan.hold);
  record.healed = d_.host().heal();
  if (!record.healed) error("cannot restore the host's link");
  record.what = d_.name(plan.target) + "'s link (database, directories, callers) cut for " +
                secondsText(plan.hold);
}

void Nemesis::shiftClock(const Plan& plan, AppliedFault& record) {
  ReplicaClocks& clocks = load_.sessions()[static_cast<size_t>(plan.target)]->clocks();
  clocks.setShift(ms(plan.shiftMs));
  std::this_thread::sleep_for(plan.hold);
  clocks.setShift(ms(0));
  record.healed = true;
  record.what = "session " + std::to_string(plan.target) + "'s clock " +
                (plan.shiftMs > 0 ? "+" : "") + secondsText(ms(plan.shiftMs)) + " for " +
                secondsText(plan.hold);
}

}  // namespace tt
