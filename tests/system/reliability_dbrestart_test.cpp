// Database restart during the load: MariaDB is stopped and started again
// while the customers keep sending. Requests during the outage fail quickly
// with a message; afterwards the same server processes serve again, having
// reconnected on their own.
#include <algorithm>

#include "SystemScenario.h"

namespace tt {
namespace {

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

class ReliabilityDbRestart : public SystemScenario {};

TEST_F(ReliabilityDbRestart, ServersReconnectAfterRestart) {
  startDeployment();
  std::vector<pid_t> pids;
  for (auto& r : deployment_->accountReplicas) pids.push_back(r->process().pid());
  for (auto& r : deployment_->orderReplicas) pids.push_back(r->process().pid());

  LoadOptions o;
  o.sessions = 8;
  o.workload.requests = 100000;  // until stop()
  o.workload.titles = testTitles(8);
  o.workload.updateShare = 0.15;
  o.userPrefix = "db";
  LoadRun run(o);
  run.start();
  ASSERT_TRUE(waitFor([&] { return run.requestsDone() >= 150; }, std::chrono::seconds(60)));

  const Clock::time_point stoppedAt = Clock::now();
  stopDatabase();
  // Let the customers meet the outage.
  auto failedSince = [&](Clock::time_point t) {
    size_t n = 0;
    for (const auto& r : run.records())
      if (r.startedAt >= t && r.outcome != Outcome::Success) ++n;
    return n;
  };
  const Clock::time_point downAt = Clock::now();
  ASSERT_TRUE(waitFor([&] { return failedSince(downAt) >= 20; }, std::chrono::seconds(60)));
  startDatabase();
  const Clock::time_point upAt = Clock::now();

  Clock::time_point resumedAt;
  ASSERT_TRUE(waitFor([&] { return firstSuccessAfter(run.records(), upAt, &resumedAt); },
                      std::chrono::seconds(60)))
      << "no request succeeded after the restart";
  const long before = run.requestsDone();
  ASSERT_TRUE(waitFor([&] { return run.requestsDone() >= before + 100; }, std::chrono::seconds(60)));
  run.stop();
  run.wait();
  auto records = run.records();

  // The same processes serve: nothing was restarted but the database.
  for (auto& r : deployment_->accountReplicas) EXPECT_TRUE(r->process().running()) << r->name();
  for (auto& r : deployment_->orderReplicas) EXPECT_TRUE(r->process().running()) << r->name();
  EXPECT_EQ(pids[0], deployment_->accountReplicas[0]->process().pid());

  // Every replica answers on its own again: searches pinned to each one.
  {
    Session probe(850, "dbprobe");
    ASSERT_EQ(probe.createAccount(), Outcome::Success) << probe.last().message;
    ASSERT_EQ(probe.logIn(), Outcome::Success) << probe.last().message;
    for (int i = 0; i < 3; ++i) {
      std::vector<CORBA::Object_var> one;
      one.push_back(resolve("orderObj" + std::to_string(i)));
      probe.orders().pin(std::move(one));
      EXPECT_EQ(probe.search("title3"), Outcome::Success) << "orderObj" << i << ": "
                                                          << probe.last().message;
    }
    for (int i = 0; i < 3; ++i) {
      std::vector<CORBA::Object_var> one;
      one.push_back(resolve("account" + std::to_string(i)));
      probe.accounts().pin(std::move(one));
      EXPECT_EQ(probe.countHeld(), Outcome::Success) << "account" << i << ": "
                                                     << probe.last().message;
    }
    for (const auto& r : probe.records()) records.push_back(r);
  }

  // The outage's failures were quick and said why; nobody hung.
  size_t outage = 0, silent = 0;
  double longestOutage = 0;
  for (const auto& r : records) {
    EXPECT_LE(r.elapsedMs(), 10500.0) << opName(r.op) << ": " << r.message;
    if (r.startedAt >= stoppedAt && r.startedAt < upAt && r.outcome != Outcome::Success &&
        !isBusinessRefusal(r)) {
      ++outage;
      longestOutage = std::max(longestOutage, r.decidedMs());
      if (r.message.empty()) ++silent;
      // No replica decides a request by a failure of the database: every one
      // answers that it could not do the work. A refusal in this window is
      // an answer of the rules (a session whose log-in failed in the outage
      // has no valid ticket).
      if (r.outcome == Outcome::Refused)
        EXPECT_EQ(r.message, "more than one or no user found with the same uname/ticket\n")
            << opName(r.op) << " refused during the outage";
      else
        EXPECT_EQ(r.outcome, Outcome::AllFailed)
            << opName(r.op) << " during the outage: " << outcomeName(r.outcome) << ": "
            << r.message;
    }
  }
  EXPECT_EQ(silent, 0u);

  ScenarioSummary s;
  s.id = "db-restart";
  s.scenario = "Database restart: MariaDB stopped and started under 8 sessions";
  s.recovery = "first success " + seconds(msSince(upAt, resumedAt)) + " after MariaDB was up (" +
               seconds(msSince(stoppedAt, upAt)) + " outage)";
  s.notes = std::to_string(outage) + " requests failed during the stop and the outage, every " +
            "replica answering TRANSIENT, each within " + seconds(longestOutage) +
            ", all with a message; no server restarted";
  s.command = reproduce("reliability_dbrestart");
  finish(s, records);
}

}  // namespace
}  // namespace tt
