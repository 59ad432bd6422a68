// The restore drill. A database of the scenario's own, as ./tavrin up makes
// it (binary logs on, no standby), serves 8 sessions; ./tavrin backup runs
// in the middle of the load and no request fails because of it. Then an
// account is created and, a clock second later, every account deleted by
// mistake. ./tavrin restore --to a time between the two brings back every
// request a customer was told succeeded (point-in-time recovery from the
// binary logs). Last, the data is wiped (./tavrin reset) and the backup
// alone restored: every request acknowledged before the backup began is
// there, none that began after it ended, and the invariants hold.
#include <sys/stat.h>

#include <ctime>
#include <dirent.h>
#include <fstream>
#include <sstream>

#include "SystemScenario.h"

namespace tt {
namespace {

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

int modeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

// The local time `restore --to` takes ("YYYY-MM-DD HH:MM:SS").
std::string localTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

// The next whole second of the wall clock, once the clock has passed it:
// everything before lies in earlier seconds, everything after in later ones.
std::string passNextSecond() {
  const std::time_t next = std::time(nullptr) + 1;
  waitFor([&] { return std::time(nullptr) >= next; }, std::chrono::seconds(3));
  return localTime(next);
}

// The requests as a copy of the database taken between `from` and `to`
// holds them: one decided before `from` took effect as the client was told;
// one started after `to` did not take effect; one in between may have.
std::vector<RequestRecord> asOfBackup(std::vector<RequestRecord> records, Clock::time_point from,
                                      Clock::time_point to) {
  for (auto& r : records) {
    if (r.decidedAt < from) continue;
    r.outcome = Outcome::AllFailed;
    r.toldNoEffect = r.startedAt > to;
  }
  return records;
}

// The replicas' "could not serve" lines: those about the audit trail's
// table, and any other.
struct Unserved {
  size_t audit = 0, other = 0;
  std::string firstOther;
};

Unserved couldNotServe(Deployment& d) {
  Unserved n;
  for (auto* set : {&d.accountReplicas, &d.orderReplicas})
    for (auto& replica : *set) {
      std::istringstream in(replica->process().output());
      std::string line;
      while (std::getline(in, line)) {
        if (line.find("could not serve") == std::string::npos) continue;
        if (line.find("tt_audit") != std::string::npos) {
          ++n.audit;
        } else if (n.other++ == 0) {
          n.firstOther = replica->name() + ": " + line;
        }
      }
    }
  return n;
}

class ReliabilityBackup : public SystemScenario {
 protected:
  void SetUp() override {
    dbs_ = std::make_unique<StandbyDatabases>(false);
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

  // The backup folder is private, complete, and holds no password.
  void expectSealedBackup(const std::string& dir) {
    EXPECT_EQ(modeOf(dir), 0700);
    for (const std::string& f : filesIn(dir)) {
      EXPECT_EQ(modeOf(dir + "/" + f), 0600) << f;
      EXPECT_EQ(readFile(dir + "/" + f).find(servicePassword()), std::string::npos)
          << f << " holds the service account's password";
    }
    const std::string info = readFile(dir + "/backup.info");
    EXPECT_NE(info.find("gtid_position = 0-1-"), std::string::npos) << info;
    EXPECT_NE(readFile(dir + "/SHA256SUMS").find("database.sql"), std::string::npos);
  }

  // Stops the replicas and the database, then restores with `args`.
  double restore(const std::string& args) {
    deployment_.reset();
    dbs_->command("down");
    const Clock::time_point t = Clock::now();
    std::cout << dbs_->command("restore " + args);
    const double ms = msSince(t, Clock::now());
    dbs_->command("up --naming 0 --accounts 0 --orders 0");
    return ms;
  }

  std::unique_ptr<StandbyDatabases> dbs_;
};

TEST_F(ReliabilityBackup, HotBackupRestoredToAPointInTimeAndAfterAWipe) {
  ASSERT_FALSE(HasFailure()) << "the database did not come up";
  startDeployment();
  LoadOptions o;
  o.sessions = 8;
  o.workload.requests = 100000;  // until stop()
  o.workload.titles = testTitles(8);
  o.workload.updateShare = 0.15;
  o.userPrefix = "bk";
  auto run = std::make_unique<LoadRun>(o);
  run->start();
  auto moreRequests = [&](long n) {
    const long mark = run->requestsDone();
    ASSERT_TRUE(waitFor([&] { return run->requestsDone() >= mark + n; }, std::chrono::seconds(90)));
  };
  moreRequests(150);

  const std::string backupDir = scratchDir() + "/backups/monday";
  const Clock::time_point backupFrom = Clock::now();
  const std::string backupOut = dbs_->command("backup " + backupDir);
  const Clock::time_point backupTo = Clock::now();
  {
    TestDB db;
    AuditTrail::refresh(db);
  }
  std::cout << backupOut;
  expectSealedBackup(backupDir);
  std::string out;
  EXPECT_NE(dbs_->run("backup " + backupDir, &out), 0) << "a second backup into one folder";
  moreRequests(150);
  run->stop();
  run->wait();
  std::vector<RequestRecord> records = run->records();
  run.reset();  // every call of the sessions has ended

  // No request of the load failed because of the backup.
  size_t duringBackup = 0, failedDuringBackup = 0;
  for (const auto& r : records) {
    if (r.decidedAt < backupFrom || r.startedAt > backupTo) continue;
    ++duringBackup;
    if (r.outcome != Outcome::Success && !isBusinessRefusal(r)) {
      ++failedDuringBackup;
      std::cout << opName(r.op) << " failed during the backup: " << r.message << std::endl;
    }
  }

  // What the replicas could not do, and why: the service's own tables never
  // failed; the audit trail's table may have, until it was refreshed.
  const Unserved why = couldNotServe(*deployment_);
  EXPECT_EQ(why.other, 0u) << why.firstOther;
  if (failedDuringBackup > 0) {
    EXPECT_GT(why.audit, 0u) << "requests failed during the backup, and no replica said why";
  }
  // Work after the backup, then the mistake a clock second later.
  Session late(870, "bklate");
  ASSERT_EQ(late.createAccount(), Outcome::Success) << late.last().message;
  for (const auto& r : late.records()) records.push_back(r);
  const std::string beforeMistake = passNextSecond();
  {
    TestDB db;
    db.exec("DELETE FROM user");
  }
  EXPECT_NE(dbs_->run("restore " + backupDir, &out), 0) << "restored a running database";
  EXPECT_NE(out.find("is running"), std::string::npos) << out;

  // Point-in-time recovery up to the mistake: nothing acknowledged is lost.
  const double pitrMs = restore(backupDir + " --to '" + beforeMistake + "'");
  long long accounts = 0, created = 0;
  {
    TestDB db;
    accounts = db.count("select count(*) from user");
    EXPECT_EQ(db.count("select count(*) from user where username = 'bklate'"), 1);
  }
  for (const auto& r : records)
    if (r.op == Op::CreateAccount && r.outcome == Outcome::Success) ++created;
  EXPECT_GE(accounts, created) << "accounts after the recovery, and accounts acknowledged";

  ScenarioSummary s;
  s.id = "backup-restore";
  s.scenario = "Hot backup under 8 sessions; every account deleted by mistake, recovered "
               "to the second before (restore --to); then the data wiped and the backup "
               "alone restored";
  s.recovery = "restore with replay " + seconds(pitrMs);
  s.notes = "backup took " + seconds(msSince(backupFrom, backupTo)) + " while " +
            std::to_string(duringBackup) + " requests overlapped it, " +
            std::to_string(failedDuringBackup) + " of them failed; " +
            std::to_string(why.audit) + " replica calls refused the audit trail's table (the "
            "test's triggers) until it was refreshed, none a table of the service; after the "
            "recovery " +
            std::to_string(accounts) + " of " + std::to_string(created) +
            " accounts created are there";
  s.command = reproduce("reliability_backup");
  finish(s, records);

  // The data wiped, the backup alone restored: the requests up to its
  // snapshot, and nothing after.
  deployment_.reset();
  dbs_->command("reset");
  const double plainMs = restore(backupDir);
  TestDB db;
  InvariantResult inv = checkInvariants(db, baseline_, asOfBackup(records, backupFrom, backupTo));
  std::cout << "after the wipe, restored in " << seconds(plainMs) << ": " << inv.describe(50)
            << std::endl;
  EXPECT_TRUE(inv.ok()) << inv.describe();
  EXPECT_EQ(db.count("select count(*) from user where username = 'bklate'"), 0);
}

}  // namespace
}  // namespace tt
