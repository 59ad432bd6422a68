// The operator script where its own tools could turn against the deployment:
// pid files that name processes it did not start, a failover onto a standby
// that may lack what customers were told was done, and a replica restarted
// after a crash, whose log is the evidence.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "TestSupport.h"

namespace tt {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

size_t countOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// A thread of process `pid` other than its main one; 0 when it has none.
pid_t someThreadOf(pid_t pid) {
  pid_t found = 0;
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
    while (dirent* e = readdir(d)) {
      pid_t tid = std::atoi(e->d_name);
      if (tid > 0 && tid != pid) found = tid;
    }
    closedir(d);
  }
  return found;
}

// Its start time as /proc gives it: what a pid file of the script records.
std::string startTimeOf(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22; ++i) rest >> field;
  return field;
}

void writePidFile(const std::string& path, const std::string& content) {
  std::ofstream(path) << content << "\n";
}

// The line ./tavrin status printed for `service`, "" when none.
std::string statusLine(const std::string& status, const std::string& service) {
  std::istringstream in(status);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, service.size() + 1, service + " ") == 0) return line;
  return "";
}

// Another deployment's replica of the same binary, a thread of it, and an
// unrelated program: a state folder whose pid files name them (in the old
// form, and with a start time that matches) owns none of them.
TEST(OperatorScript, PidFilesNamingForeignProcessesAreStaleAndNothingIsSignalled) {
  Replica other("account7", scratchDir());
  ChildProcess unrelated("/bin/sleep", {"600"});
  const pid_t thread = someThreadOf(other.process().pid());
  ASSERT_GT(thread, 0) << "the server runs more than one thread";

  const std::string dir = scratchDir() + "/foreign";
  mkdir(dir.c_str(), 0700);
  mkdir((dir + "/pids").c_str(), 0700);
  const std::string otherPid = std::to_string(other.process().pid());
  writePidFile(dir + "/db.pid", std::to_string(unrelated.pid()));
  writePidFile(dir + "/naming.pid", otherPid + " " + startTimeOf(other.process().pid()));
  writePidFile(dir + "/pids/account7.pid", otherPid);
  writePidFile(dir + "/pids/account6.pid", std::to_string(thread));
  const std::map<std::string, std::string> env = {
      {"TAVRIN_STATE_DIR", dir}, {"TAVRIN_DB_PORT", std::to_string(freePort())},
      {"TAVRIN_NAMING_PORT", std::to_string(freePort())}, {"TAVRIN_DB2_PORT", ""}};

  std::string out;
  EXPECT_EQ(tavrin("status", env, &out), 0) << out;
  for (const char* service : {"mariadb", "omniNames", "account6", "account7"})
    EXPECT_NE(statusLine(out, service).find("stopped (stale pid file)"), std::string::npos)
        << service << " in:\n" << out;
  EXPECT_EQ(out.find("running"), std::string::npos) << out;

  EXPECT_NE(tavrin("kill account7", env, &out), 0) << out;
  for (const char* cmd : {"db-stop 1", "naming-stop", "down"})
    EXPECT_EQ(tavrin(cmd, env, &out), 0) << cmd << ": " << out;
  EXPECT_TRUE(unrelated.running()) << "signalled by the script";
  EXPECT_TRUE(other.process().running()) << "signalled by the script";
  other.kill();
  unbind("account7");
}

// The fault drill: the crash's trace survives the restart, and status sees
// the restarted replica as the deployment's own, with its database.
TEST(OperatorScript, RestartedReplicaKeepsItsLogAndIsReportedRunning) {
  const std::string log = requireEnv("TAVRIN_STATE_DIR") + "/logs/account8.log";
  std::string out;
  ASSERT_EQ(tavrin("start account8", {}, &out), 0) << out;
  ASSERT_EQ(tavrin("status", {}, &out), 0) << out;
  const std::string line = statusLine(out, "account8");
  EXPECT_NE(line.find("running"), std::string::npos) << out;
  EXPECT_EQ(line.find("cannot reach a database"), std::string::npos) << out;

  ASSERT_EQ(tavrin("kill account8", {}, &out), 0) << out;
  const std::string before = readFile(log);
  ASSERT_NE(before.find("Time taken is"), std::string::npos) << before;
  ASSERT_EQ(tavrin("start account8", {}, &out), 0) << out;
  const std::string after = readFile(log);
  EXPECT_EQ(after.compare(0, before.size(), before), 0) << "the earlier lines are kept";
  EXPECT_EQ(countOf(after, "Time taken is"), 2u) << after;
  tavrin("kill account8");
  unbind("account8");
}

class OperatorFailover : public ::testing::Test {
 protected:
  std::string readOnly(int n) { return dbs_.sql(n, "select @@read_only"); }
  std::string standbysConnected() {
    return dbs_.sql(dbs_.primary(), "select variable_value from information_schema.global_status"
                                    " where variable_name = 'RPL_SEMI_SYNC_MASTER_CLIENTS'");
  }
  void killDatabase(int n) {
    const pid_t pid = dbs_.pid(n);
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(waitFor([&] { return processGone(pid); }, std::chrono::seconds(10)));
  }
  // db-failover refused: exit status not 0, the reason given, nothing promoted.
  void expectRefused(const std::string& reason) {
    const int primary = dbs_.primary();
    std::string out;
    EXPECT_NE(dbs_.run("db-failover", &out), 0) << out;
    EXPECT_NE(out.find(reason), std::string::npos) << out;
    EXPECT_EQ(dbs_.primary(), primary) << out;
    EXPECT_EQ(readOnly(3 - primary), "1") << "the standby was made writable";
  }

  StandbyDatabases dbs_;
};

// The primary goes on without its standby (frozen past the semi-sync
// time-out) and dies before the standby caught up: the commits it made
// alone were acknowledged, so promoting the standby needs the operator's
// --force.
TEST_F(OperatorFailover, RefusesAStandbyThePrimaryCommittedWithout) {
  ASSERT_FALSE(HasFailure()) << "the databases did not come up";
  ASSERT_TRUE(waitFor([&] { return dbs_.semisync() == "ON"; }, std::chrono::seconds(30)));
  ::kill(dbs_.pid(2), SIGSTOP);
  dbs_.sql(1, "create database fallback_probe");  // waits out the time-out, then commits
  ASSERT_TRUE(waitFor([&] { return dbs_.semisync() == "OFF"; }, std::chrono::seconds(30)));
  killDatabase(1);
  ::kill(dbs_.pid(2), SIGCONT);
  expectRefused("semi-sync switched off");
}

// The standby stopped replicating (STOP SLAVE) and the primary died: the
// standby may lack anything since. Forced, it is promoted and the operator
// told what may be lost; the old primary started by hand (instead of
// rejoined) stays read-only and is no candidate either.
TEST_F(OperatorFailover, RefusesAStandbyThatStoppedReplicatingUnlessForced) {
  ASSERT_FALSE(HasFailure()) << "the databases did not come up";
  ASSERT_TRUE(waitFor([&] { return dbs_.semisync() == "ON"; }, std::chrono::seconds(30)));
  dbs_.sql(2, "stop slave");
  ASSERT_TRUE(waitFor([&] { return standbysConnected() == "0"; }, std::chrono::seconds(30)));
  std::string out;
  EXPECT_EQ(dbs_.run("status", &out), 0) << out;
  EXPECT_NE(statusLine(out, "mariadb").find("0 standbys connected"), std::string::npos) << out;
  EXPECT_NE(out.find("commits on mariadb are asynchronous"), std::string::npos) << out;

  killDatabase(1);
  expectRefused("stopped replicating");

  ASSERT_EQ(dbs_.run("db-failover --force", &out), 0) << out;
  EXPECT_NE(out.find("mariadb last wrote 0-1-"), std::string::npos) << out;
  EXPECT_EQ(dbs_.primary(), 2);
  EXPECT_EQ(readOnly(2), "0");

  dbs_.command("db-start 1");
  EXPECT_EQ(readOnly(1), "1") << "a former primary started by hand takes writes";
  killDatabase(2);
  expectRefused("was not replicating from mariadb2");
}

}  // namespace
}  // namespace tt
