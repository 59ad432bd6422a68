// A primary database with a semi-synchronous standby (./tavrin up --standby,
// databases of the scenario's own). The primary is killed (SIGKILL) under 8
// sessions and the standby promoted with ./tavrin db-failover: every request
// a customer was told succeeded is in the new primary, none took effect
// twice, and the service is back within seconds of the promotion. The old
// primary then rejoins as a standby (./tavrin db-rejoin), and the deployment
// fails back to it the same way.
#include <signal.h>

#include "OrbTls.h"
#include "SystemScenario.h"

namespace tt {
namespace {

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

class ReliabilityDbFailover : public SystemScenario {
 protected:
  void SetUp() override {
    dbs_ = std::make_unique<StandbyDatabases>();
    useDatabaseState(dbs_->stateDir());
    setReplicaEnv("TAVRIN_DB_ENDPOINTS", dbs_->endpoints());
    SystemScenario::SetUp();
  }

  void TearDown() override {
    SystemScenario::TearDown();
    setReplicaEnv("TAVRIN_DB_ENDPOINTS", "");
    useDatabaseState("");
    dbs_.reset();
  }

  struct Outage {
    Clock::time_point killedAt, goneAt, promotedAt, resumedAt;
  };

  // Kills the primary once it waits for its standby, promotes the standby,
  // and waits for the first request carried out after the promotion.
  void failOver(LoadRun& run, Outage& out) {
    const int old = dbs_->primary();
    ASSERT_TRUE(waitFor([&] { return dbs_->semisync() == "ON"; }, std::chrono::seconds(30)))
        << "the primary does not wait for its standby: nothing to promise";
    const pid_t pid = dbs_->pid(old);
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGKILL);
    out.killedAt = Clock::now();
    ASSERT_TRUE(waitFor([&] { return processGone(pid); }, std::chrono::seconds(10)));
    out.goneAt = Clock::now();
    dbs_->command("db-failover");
    out.promotedAt = Clock::now();
    ASSERT_EQ(dbs_->primary(), 3 - old);
    ASSERT_TRUE(waitFor([&] { return firstSuccessAfter(run.records(), out.promotedAt,
                                                       &out.resumedAt); },
                        std::chrono::seconds(30)))
        << "no request was carried out after the promotion";
  }

  void moreRequests(LoadRun& run, long n) {
    const long mark = run.requestsDone();
    ASSERT_TRUE(waitFor([&] { return run.requestsDone() >= mark + n; }, std::chrono::seconds(90)));
  }

  std::unique_ptr<StandbyDatabases> dbs_;
};

TEST_F(ReliabilityDbFailover, PrimaryKilledStandbyPromotedThenRejoinedAndFailedBack) {
  ASSERT_FALSE(HasFailure()) << "the databases did not come up";
  startDeployment();
  LoadOptions o;
  o.sessions = 8;
  o.workload.requests = 100000;  // until stop()
  o.workload.titles = testTitles(8);
  o.workload.updateShare = 0.15;
  o.userPrefix = "fo";
  LoadRun run(o);
  run.start();
  Session probe(860, "foprobe");
  ASSERT_EQ(probe.createAccount(), Outcome::Success) << probe.last().message;
  ASSERT_EQ(probe.logIn(), Outcome::Success) << probe.last().message;
  moreRequests(run, 150);

  Outage first, back;
  failOver(run, first);
  moreRequests(run, 100);
  // From its own position when its history is a part of the new primary's,
  // else from a copy (a transaction unacknowledged at the kill).
  const std::string rejoin1 = dbs_->command("db-rejoin");
  moreRequests(run, 100);

  // A replica started now finds the rejoined standby first in its list,
  // read-only, and passes it by: its writes reach the primary.
  deployment_->orderReplicas[2]->kill();
  deployment_->orderReplicas[2] = std::make_unique<Replica>("orderObj2");
  {
    std::vector<CORBA::Object_var> only;
    only.push_back(resolve("orderObj2"));
    probe.orders().pin(std::move(only));
    MovieInfo movie;
    ASSERT_EQ(probe.search("title10", &movie), Outcome::Success) << probe.last().message;
    EXPECT_EQ(probe.checkout(movie), Outcome::Success) << probe.last().message;
    EXPECT_EQ(probe.returnMovie("title10"), Outcome::Success) << probe.last().message;
  }

  // Fail back: the rejoined database takes over the same way.
  failOver(run, back);
  moreRequests(run, 100);
  const std::string rejoin2 = dbs_->command("db-rejoin");
  moreRequests(run, 100);
  // The rejoined standby follows over TLS, the primary's certificate checked.
  if (OrbTls::enabled()) {
    const int standby = 3 - dbs_->primary();
    EXPECT_EQ(dbs_->slaveField(standby, "Master_SSL_Allowed"), "Yes");
    EXPECT_EQ(dbs_->slaveField(standby, "Master_SSL_Verify_Server_Cert"), "Yes");
    EXPECT_EQ(dbs_->slaveField(standby, "Slave_IO_Running"), "Yes");
  }
  run.stop();
  run.wait();
  auto records = run.records();
  for (const auto& r : probe.records()) records.push_back(r);

  EXPECT_EQ(dbs_->primary(), 1);
  EXPECT_TRUE(waitFor([&] { return dbs_->semisync() == "ON"; }, std::chrono::seconds(30)))
      << "after the fail-back the primary should wait for its standby again";
  // Back within seconds of each promotion; nobody waited beyond the limit.
  EXPECT_LE(msSince(first.promotedAt, first.resumedAt), 10000.0);
  EXPECT_LE(msSince(back.promotedAt, back.resumedAt), 10000.0);
  size_t duringOutages = 0;
  for (const auto& r : records) {
    EXPECT_LE(r.elapsedMs(), 10500.0) << opName(r.op) << ": " << r.message;
    bool inOutage = (r.startedAt >= first.killedAt && r.startedAt < first.resumedAt) ||
                    (r.startedAt >= back.killedAt && r.startedAt < back.resumedAt);
    if (inOutage && r.outcome != Outcome::Success && !isBusinessRefusal(r)) {
      ++duringOutages;
      EXPECT_FALSE(r.message.empty()) << opName(r.op) << " failed without a message";
    }
  }

  ScenarioSummary s;
  s.id = "db-failover";
  s.scenario = "Primary database killed (SIGKILL) under 8 sessions, standby promoted "
               "(db-failover); old primary rejoined, then failed back the same way";
  s.recovery = "first success " + seconds(msSince(first.promotedAt, first.resumedAt)) +
               " after the promotion (" + seconds(msSince(first.killedAt, first.resumedAt)) +
               " from the kill); failing back " +
               seconds(msSince(back.promotedAt, back.resumedAt)) + " (" +
               seconds(msSince(back.killedAt, back.resumedAt)) + ")";
  auto how = [](const std::string& out) {
    return out.find("copy of") != std::string::npos ? "from a copy" : "from its own position";
  };
  s.notes = std::to_string(duringOutages) +
            " requests not carried out between kill and recovery, each with a message; "
            "promotions took " + seconds(msSince(first.goneAt, first.promotedAt)) + " and " +
            seconds(msSince(back.goneAt, back.promotedAt)) + "; rejoined " + how(rejoin1) +
            ", then " + how(rejoin2) + "; semi-sync on before each kill";
  s.command = reproduce("reliability_dbfailover");
  finish(s, records);
}

}  // namespace
}  // namespace tt
