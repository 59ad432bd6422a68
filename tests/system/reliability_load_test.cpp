// Load: many customers renting at once through 3 account and 3 order
// replicas, every request sent to every replica. Nothing is failed on
// purpose; the invariants must hold and no request may be lost.
#include "SystemScenario.h"

namespace tt {
namespace {

class ReliabilityLoad : public SystemScenario {};

TEST_F(ReliabilityLoad, SixteenSessions) {
  startDeployment();
  LoadOptions o;
  o.sessions = 16;
  o.workload.requests = 300;
  // 8 titles, 24 copies for 16 customers: copies run out, so waiting
  // lists, the limit of three and the serving of waiting customers all occur.
  o.workload.titles = testTitles(8);
  o.userPrefix = "ld";
  LoadRun run(o);
  run.start();
  run.wait();
  auto records = run.records();

  // Without faults every request is decided by a replica.
  for (const auto& r : records) {
    EXPECT_TRUE(r.outcome == Outcome::Success || r.outcome == Outcome::Refused)
        << opName(r.op) << " of " << r.user << ": " << outcomeName(r.outcome) << ": "
        << r.message;
  }
  size_t waitlisted = 0, limit = 0;
  for (const auto& r : records) {
    if (r.op == Op::Waitlist && r.outcome == Outcome::Success) ++waitlisted;
    if (r.message.find("Placed in waitlist though!") != std::string::npos) ++limit;
  }
  ScenarioSummary s;
  s.id = "load-16";
  s.scenario = "Load: 16 sessions x 300 requests, 8 titles";
  s.notes = std::to_string(waitlisted) + " waitlisted, " + std::to_string(limit) +
            " refused at the limit of three";
  s.command = reproduce("reliability_load");
  finish(s, records);
}

TEST_F(ReliabilityLoad, SoakSixtyFourSessions) {
  startDeployment();
  LoadOptions o;
  o.sessions = 64;
  o.workload.requests = 300;
  o.workload.titles = testTitles(20);
  o.userPrefix = "soak";
  o.seed = 77;
  LoadRun run(o);
  run.start();
  run.wait();
  auto records = run.records();
  for (const auto& r : records) {
    EXPECT_TRUE(r.outcome == Outcome::Success || r.outcome == Outcome::Refused)
        << opName(r.op) << " of " << r.user << ": " << outcomeName(r.outcome) << ": "
        << r.message;
  }
  ScenarioSummary s;
  s.id = "soak-64";
  s.scenario = "Soak: 64 sessions x 300 requests, 20 titles";
  s.command = reproduce("reliability_load");
  finish(s, records);
}

// A customer may rent a second copy of a title held already (nothing forbids
// it); returning that title must not lose a copy of the catalogue. Disabled:
// the return deletes every row of the title held by the customer but puts
// one copy back (src/orders/Movie.cpp, _returnMovie), so a copy is lost; enable it
// with the fix.
TEST_F(ReliabilityLoad, SecondCopyOfOneTitleSurvivesItsReturn) {
  startDeployment();
  Session s(0, "twice");
  ASSERT_EQ(s.createAccount(), Outcome::Success);
  ASSERT_EQ(s.logIn(), Outcome::Success);
  MovieInfo m;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(s.search("title1", &m), Outcome::Success);
    ASSERT_EQ(s.checkout(m), Outcome::Success) << s.last().message;
  }
  s.returnMovie("title1");
  s.returnMovie("title1");
  TestDB db;
  InvariantResult inv = checkInvariants(db, baseline_, s.records());
  EXPECT_TRUE(inv.ok()) << inv.describe();
}

}  // namespace
}  // namespace tt
