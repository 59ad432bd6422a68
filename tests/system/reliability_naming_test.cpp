// Naming Service restart: omniNames is stopped and started again during the
// load. Customers keep working with the references they hold; the bindings
// survive the restart; and when every order replica is replaced, the
// customers' rediscovery finds the new ones through the restarted service.
#include <cstdlib>

#include "SystemScenario.h"

namespace tt {
namespace {

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string iorOf(const std::string& name) {
  CORBA::Object_var o = resolve(name);
  if (CORBA::is_nil(o)) return "";
  CORBA::String_var s = orb()->object_to_string(o);
  return s.in();
}

void namingCommand(const char* cmd) {
  int rc = std::system((sourceDir() + "/tavrin " + cmd + " >/dev/null").c_str());
  ASSERT_EQ(rc, 0) << "./tavrin " << cmd << " failed";
}

bool namingAnswers() {
  try {
    isBound("account0");
    return true;
  } catch (const CORBA::Exception&) {
    return false;
  }
}

class ReliabilityNaming : public SystemScenario {};

TEST_F(ReliabilityNaming, BindingsPersistAndRediscoveryFindsReplicas) {
  startDeployment();
  std::vector<std::string> names = {"account0", "account1", "account2",
                                    "orderObj0", "orderObj1", "orderObj2"};
  std::map<std::string, std::string> before;
  for (const auto& n : names) before[n] = iorOf(n);

  LoadOptions o;
  o.sessions = 8;
  o.workload.requests = 100000;  // until stop()
  o.workload.titles = testTitles(8);
  o.userPrefix = "nm";
  LoadRun run(o);
  run.start();
  ASSERT_TRUE(waitFor([&] { return run.requestsDone() >= 100; }, std::chrono::seconds(60)));

  // Down: the customers hold their references and carry on.
  namingCommand("naming-stop");
  ASSERT_FALSE(namingAnswers());
  const Clock::time_point downAt = Clock::now();
  const long atDown = run.requestsDone();
  ASSERT_TRUE(waitFor([&] { return run.requestsDone() >= atDown + 100; }, std::chrono::seconds(60)));
  size_t failedWhileDown = 0;
  for (const auto& r : run.records())
    if (r.startedAt >= downAt && r.outcome != Outcome::Success && r.outcome != Outcome::Refused)
      ++failedWhileDown;
  EXPECT_EQ(failedWhileDown, 0u);

  // Up again: every binding is still there, unchanged.
  namingCommand("naming-start");
  ASSERT_TRUE(waitFor(namingAnswers, std::chrono::seconds(20)));
  for (const auto& n : names) EXPECT_EQ(iorOf(n), before[n]) << n << " lost its binding";

  // Replace every order replica. Each customer's next order request finds all
  // its replicas dead, rediscovers, and must find the new ones.
  const Clock::time_point replacedAt = Clock::now();
  for (auto& r : deployment_->orderReplicas) r->kill();
  deployment_->orderReplicas.clear();
  for (int i = 0; i < 3; ++i)
    deployment_->orderReplicas.push_back(std::make_unique<Replica>("orderObj" + std::to_string(i)));
  const Clock::time_point rebuiltAt = Clock::now();
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(iorOf("orderObj" + std::to_string(i)), before["orderObj" + std::to_string(i)]);

  // Every session gets an order request through after the replacement.
  auto servedAfter = [&](Clock::time_point t) {
    std::set<int> sessions;
    for (const auto& r : run.records())
      if (r.startedAt >= t && r.outcome == Outcome::Success &&
          (r.op == Op::Search || r.op == Op::Checkout || r.op == Op::Waitlist || r.op == Op::Return))
        sessions.insert(r.session);
    return sessions.size();
  };
  ASSERT_TRUE(waitFor([&] { return servedAfter(rebuiltAt) == static_cast<size_t>(o.sessions); },
                      std::chrono::seconds(60)));
  Clock::time_point resumedAt;
  ASSERT_TRUE(firstSuccessAfter(run.records(), rebuiltAt, &resumedAt));
  run.stop();
  run.wait();
  auto records = run.records();

  size_t rediscovered = 0;
  for (const auto& r : records)
    if (r.startedAt >= replacedAt && r.attempts > 1 && r.outcome == Outcome::Success) ++rediscovered;
  EXPECT_GT(rediscovered, 0u);
  for (const auto& r : records) EXPECT_LE(r.elapsedMs(), 10500.0) << opName(r.op);

  ScenarioSummary s;
  s.id = "naming-restart";
  s.scenario = "Naming Service restart under 8 sessions, then all order replicas replaced";
  s.recovery = "no interruption while omniNames was down; after the replacement (" +
               seconds(msSince(replacedAt, rebuiltAt)) + ") served again " +
               seconds(msSince(rebuiltAt, resumedAt)) + " after the last replica was bound";
  s.notes = "bindings unchanged across the restart; " + std::to_string(rediscovered) +
            " requests succeeded after a rediscovery";
  s.command = reproduce("reliability_naming");
  finish(s, records);
}

}  // namespace
}  // namespace tt
