#include "ChaosRun.h"

#include <iomanip>
#include <map>

#include "BusinessTables.h"
#include "ChaosDeployment.h"
#include "History.h"
#include "HistoryChecker.h"
#include "Nemesis.h"

namespace tt {

namespace {

using secs = std::chrono::seconds;

LoadOptions chaosLoad(const ChaosOptions& o) {
  LoadOptions l;
  l.sessions = o.sessions;
  l.seed = o.seed;
  l.userPrefix = "chaos";
  l.workload.requests = 1 << 30;  // until stop()
  // Few copies for many customers: copies run out and waiting lists form.
  for (int i = 1; i <= 4; ++i) l.workload.titles.push_back("title" + std::to_string(i));
  l.workload.updateShare = 0.05;
  l.workload.countShare = 0.05;
  l.session.resendsToSettle = 3;
  return l;
}

// Until no replica may still act on a request of this run: every call ended,
// and the deadline of every request told it did not take effect has passed.
void settle(LoadRun& load, const std::vector<RequestRecord>& records) {
  for (const auto& s : load.sessions()) waitFor([&] { return s->settled(); }, secs(60));
  Clock::time_point quiet = Clock::now();
  for (const auto& r : records)
    if (r.toldNoEffect) quiet = std::max(quiet, r.startedAt + secs(11));
  std::this_thread::sleep_until(quiet);
}

void printSchedule(std::ostream& out, const std::vector<AppliedFault>& faults) {
  out << "fault schedule applied:" << std::endl;
  std::map<Fault, int> byKind;
  for (const auto& f : faults) {
    ++byKind[f.kind];
    out << "  " << std::fixed << std::setprecision(1) << std::setw(6) << f.startS << " s .. "
        << std::setw(6) << f.endS << " s  " << f.what << (f.healed ? "" : "  [NOT HEALED]")
        << std::endl;
  }
  out << "faults by kind:" << std::endl;
  for (int k = 0; k < kFaultKinds; ++k)
    out << "  " << byKind[static_cast<Fault>(k)] << " x " << faultName(static_cast<Fault>(k))
        << std::endl;
}

std::string faultCounts(const std::vector<AppliedFault>& faults) {
  std::map<Fault, int> n;
  for (const auto& f : faults) ++n[f.kind];
  static const char* const kShort[] = {"kills", "freezes", "directory stops", "db failovers",
                                       "link cuts", "clock shifts"};
  std::string s;
  for (int k = 0; k < kFaultKinds; ++k)
    s += (k ? ", " : "") + std::to_string(n[static_cast<Fault>(k)]) + " " + kShort[k];
  return s;
}

void printOutcomes(std::ostream& out, const History& history,
                   const std::vector<RequestRecord>& records) {
  out << "requests by outcome:" << std::endl;
  const auto counts = history.counts();
  for (Told t : {Told::Done, Told::Refused, Told::Failed, Told::Unknown})
    out << "  " << (counts.count(t) ? counts.at(t) : 0) << " " << toldName(t) << std::endl;
  out << "longest a customer waited: " << seconds(maxElapsedMs(records)) << std::endl;
}

void printViolations(std::ostream& out, const std::vector<Violation>& violations) {
  out << violations.size() << " violations" << std::endl;
  for (const Violation& v : violations)
    out << "  " << breachName(v.breach) << ": " << v.what
        << (v.request.empty() ? "" : "\n      request: " + v.request) << std::endl;
}

}  // namespace

void ChaosRun::record(const std::vector<RequestRecord>& records, size_t violations,
                      const std::vector<AppliedFault>& faults) const {
  const std::string minutes = std::to_string(static_cast<int>(o_.minutes));
  ScenarioSummary s;
  s.id = "chaos-" + std::to_string(o_.seed) + "-" + minutes + "m";
  s.scenario = "Chaos, seed " + std::to_string(o_.seed) + ", " + minutes + " min, " +
               std::to_string(o_.sessions) + " sessions, faults on a random schedule";
  s.requests = records.size();
  s.clientFailures = countFailures(records);
  s.refusals = countBusinessRefusals(records);
  s.violations = violations;
  s.maxWaitMs = maxElapsedMs(records);
  s.notes = faultCounts(faults);
  s.command = "./tavrin chaos --seed " + std::to_string(o_.seed) + " --minutes " + minutes;
  recordScenario(s);
}

int ChaosRun::run(std::ostream& out) {
  out << "chaos: seed " << o_.seed << ", " << o_.minutes << " minutes, " << o_.sessions
      << " sessions" << std::endl;
  ChaosDeployment deployment;
  if (!deployment.why().empty()) {
    out << "no deployment: " << deployment.why() << "\nseed " << o_.seed << std::endl;
    return 2;
  }
  const Clock::time_point began = Clock::now();
  const Clock::time_point end =
      began + std::chrono::milliseconds(static_cast<long long>(o_.minutes * 60000));
  LoadRun load(chaosLoad(o_));
  load.start();
  waitFor([&] { return load.requestsDone() >= 20; }, secs(60));
  Nemesis nemesis(deployment, load, o_.seed);
  // The last stretch is calm: every fault healed, the customers carry on.
  nemesis.run(end - secs(30));
  std::this_thread::sleep_until(std::max(end, Clock::now() + secs(10)));
  load.stop();
  load.wait();
  const std::vector<RequestRecord> records = load.records();
  settle(load, records);

  History history;
  for (const auto& r : records) history.record(r);
  TestDB db;
  HistoryChecker checker(history.entries(), BusinessTables::read(db, deployment.baseline()));
  const std::vector<Violation> violations = checker.check();

  const auto faults = nemesis.applied();
  printSchedule(out, faults);
  printOutcomes(out, history, records);
  for (const std::string& e : nemesis.errors()) out << "nemesis: " << e << std::endl;
  printViolations(out, violations);
  out << "seed " << o_.seed << std::endl;

  if (o_.report) record(records, violations.size(), faults);
  return violations.empty() && nemesis.errors().empty() ? 0 : 1;
}

}  // namespace tt
