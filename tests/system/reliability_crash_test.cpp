// Replica crashes: SIGKILL replicas in the middle of the load. The customers
// keep working through the survivors, no request waits beyond the limit, and
// nothing is lost or applied twice.
#include "SystemScenario.h"

namespace tt {
namespace {

class ReliabilityCrash : public SystemScenario {};

TEST_F(ReliabilityCrash, KilledReplicasMidLoad) {
  startDeployment();
  LoadOptions o;
  o.sessions = 16;
  o.workload.requests = 150;
  o.workload.titles = testTitles(8);
  o.workload.updateShare = 0.15;  // keep the account replicas busy too
  o.userPrefix = "cr";
  LoadRun run(o);
  run.start();
  const long total = 16L * 150;

  ASSERT_TRUE(waitFor([&] { return run.requestsDone() >= total / 4; }, std::chrono::seconds(120)));
  Clock::time_point firstKill = Clock::now();
  deployment_->accountReplicas[1]->kill();
  deployment_->orderReplicas[1]->kill();
  // Then the lowest-indexed order replica, which decides whenever it answers.
  ASSERT_TRUE(waitFor([&] { return run.requestsDone() >= total / 2; }, std::chrono::seconds(120)));
  Clock::time_point secondKill = Clock::now();
  deployment_->orderReplicas[0]->kill();
  run.wait();
  auto records = run.records();

  // The survivors decide every request: nothing fails for want of a replica,
  // and nobody waits beyond the limit.
  size_t undecided = 0;
  for (const auto& r : records) {
    if (r.outcome == Outcome::AllFailed || r.outcome == Outcome::TimedOut) {
      ++undecided;
      ADD_FAILURE() << opName(r.op) << " of " << r.user << ": " << outcomeName(r.outcome) << ": "
                    << r.message;
    }
    EXPECT_LE(r.elapsedMs(), 10500.0) << opName(r.op) << " of " << r.user;
  }
  Clock::time_point after1, after2;
  ASSERT_TRUE(firstSuccessAfter(records, firstKill, &after1));
  ASSERT_TRUE(firstSuccessAfter(records, secondKill, &after2));
  double recover = std::max(std::chrono::duration<double, std::milli>(after1 - firstKill).count(),
                            std::chrono::duration<double, std::milli>(after2 - secondKill).count());

  // The survivors still serve a fresh client, which discovers what is bound.
  Session fresh(900, "crfresh");
  EXPECT_EQ(fresh.createAccount(), Outcome::Success) << fresh.last().message;
  EXPECT_EQ(fresh.logIn(), Outcome::Success) << fresh.last().message;
  EXPECT_EQ(fresh.search("title9"), Outcome::Success) << fresh.last().message;
  EXPECT_EQ(fresh.logOut(), Outcome::Success) << fresh.last().message;
  for (const auto& r : fresh.records()) records.push_back(r);

  ScenarioSummary s;
  s.id = "crash";
  s.scenario = "Replica crashes: SIGKILL account1 + orderObj1 at 25%, orderObj0 at 50% of 16 x 150";
  s.recovery = "first success after a kill within " + seconds(recover);
  s.notes = std::to_string(undecided) + " requests left undecided";
  s.command = reproduce("reliability_crash");
  finish(s, records);
}

}  // namespace
}  // namespace tt
