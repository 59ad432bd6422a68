// What ./tavrin deploys and what the package installs: database root only
// through the socket, a service account that can do no more than the servers
// need and only over verified TLS, private state and logs, an older data
// folder mended, a plain deployment for peers without TLS, and an
// installation that runs.
#include <gtest/gtest.h>
#include <mysql.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "DBConnection.h"
#include "DBSettings.h"
#include "DBTls.h"
#include "OrbTls.h"
#include "TestSupport.h"

namespace tt {
namespace {

int modeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

// "" when the login succeeded, else the server's or library's answer. The
// link is set up as the servers set up theirs (DBTls), with `tls` in place
// of the servers' settings when given; `cipher` receives Ssl_cipher.
std::string loginOverTcp(const std::string& user, const std::string& password, int port,
                         const std::string& sql = "", const DBSettings* tls = nullptr,
                         std::string* cipher = nullptr) {
  DBConnection::libraryInit();
  MYSQL* m = mysql_init(nullptr);
  DBTls::apply(m, tls != nullptr ? *tls : DBSettings::current());
  std::string error;
  if (mysql_real_connect(m, "127.0.0.1", user.c_str(), password.c_str(), "mvrental",
                         static_cast<unsigned int>(port), nullptr, 0) == nullptr)
    error = mysql_error(m);
  else if (!sql.empty() && mysql_query(m, sql.c_str()) != 0)
    error = mysql_error(m);
  else if (!sql.empty())
    mysql_free_result(mysql_store_result(m));
  if (error.empty() && cipher != nullptr && mysql_query(m, "show status like 'Ssl_cipher'") == 0) {
    if (MYSQL_RES* r = mysql_store_result(m)) {
      if (MYSQL_ROW row = mysql_fetch_row(r)) *cipher = row[1] != nullptr ? row[1] : "";
      mysql_free_result(r);
    }
  }
  mysql_close(m);
  return error;
}

// This process's settings as they load with one variable of the environment
// changed; the variable is put back afterwards.
DBSettings settingsWith(const char* name, const std::string& value) {
  const char* old = std::getenv(name);
  const std::string saved = old != nullptr ? old : "";
  setenv(name, value.c_str(), 1);
  DBSettings s;
  std::string error, warning;
  EXPECT_TRUE(DBSettings::load(s, error, warning)) << name << ": " << error;
  if (old != nullptr)
    setenv(name, saved.c_str(), 1);
  else
    unsetenv(name);
  return s;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The accounts of a deployment, read as its administrator.
void expectClosedAccounts(TestDB& db, int port) {
  EXPECT_NE(loginOverTcp("root", "", port), "") << "root over TCP";
  for (const auto& r : db.rows("select user, host, plugin from mysql.user")) {
    EXPECT_NE(r[0], "") << "anonymous user at " << r[1];
    if (r[0] == "root") {
      EXPECT_EQ(r[1], "localhost");
      EXPECT_EQ(r[2], "unix_socket");
    }
    if (r[0] == "mvrental") {
      EXPECT_TRUE(r[1] == "localhost" || r[1] == "127.0.0.1") << r[1];
    }
  }
  auto grants = db.rows("show grants for 'mvrental'@'127.0.0.1'");
  ASSERT_EQ(grants.size(), 2u);
  EXPECT_EQ(grants[1][0],
            "GRANT SELECT, INSERT, UPDATE, DELETE, LOCK TABLES ON `mvrental`.* TO "
            "`mvrental`@`127.0.0.1`");
}

TEST(Deployment, DatabaseRootAndServiceAccountAreClosedAndFilesPrivate) {
  const int port = std::atoi(requireEnv("MYSQL_TCP_PORT").c_str());
  TestDB db;
  expectClosedAccounts(db, port);
  // What the servers need works; what they do not is refused.
  EXPECT_EQ(loginOverTcp("mvrental", servicePassword(), port, "lock tables movie write"), "");
  for (const char* sql : {"drop table movie", "create table x (a int)",
                          "alter table movie add column x int",
                          "create trigger t after insert on ticket for each row set @a = 1",
                          "select * from mysql.user"})
    EXPECT_NE(loginOverTcp("mvrental", servicePassword(), port, sql), "") << sql;

  // A replica started by ./tavrin writes a private log; the state, the
  // socket's folder and the other logs are private as well.
  const std::string state = requireEnv("TAVRIN_STATE_DIR");
  std::string out;
  ASSERT_EQ(tavrin("start account9", {}, &out), 0) << out;
  EXPECT_EQ(modeOf(state + "/logs/account9.log"), 0600);
  EXPECT_EQ(modeOf(state + "/run/account9"), 0700);
  tavrin("kill account9");
  unbind("account9");
  EXPECT_EQ(modeOf(state), 0700);
  EXPECT_EQ(modeOf(state + "/logs"), 0700);
  for (const char* log : {"mariadb.log", "omniNames.err", "omniNames.log"})
    EXPECT_EQ(modeOf(state + "/logs/" + log), 0600) << log;
}

// A data folder made before: root without a password for every host, the
// service account with every privilege from anywhere, world-readable logs.
TEST(Deployment, UpMendsAnOlderDeployment) {
  const std::string dir = scratchDir() + "/older";
  mkdir(dir.c_str(), 0755);
  mkdir((dir + "/logs").c_str(), 0755);
  std::ofstream(dir + "/logs/account0.log") << "old trace\n";
  chmod((dir + "/logs/account0.log").c_str(), 0644);
  const std::string install = "mariadb-install-db --no-defaults --user=$(id -un) --datadir=" + dir +
                              "/db --auth-root-authentication-method=normal --skip-test-db"
                              " >" + dir + "/install.log 2>&1";
  ASSERT_EQ(std::system(install.c_str()), 0) << readFile(dir + "/install.log");

  const int port = freePort();
  const std::map<std::string, std::string> env = {{"TAVRIN_STATE_DIR", dir},
                                                  {"TAVRIN_DB_PORT", std::to_string(port)},
                                                  {"TAVRIN_NAMING_PORT", ""}};
  std::string out;
  ASSERT_EQ(tavrin("up --naming 0 --accounts 0 --orders 0", env, &out), 0) << out;
  useDatabaseState(dir);
  {
    TestDB db;
    expectClosedAccounts(db, port);
    // As an older version granted them; the next start narrows them again.
    db.exec("grant all privileges on mvrental.* to 'mvrental'@'127.0.0.1';"
            "create user 'mvrental'@'%' identified by 'an-old-password';"
            "grant all privileges on mvrental.* to 'mvrental'@'%'");
  }
  ASSERT_EQ(tavrin("up --naming 0 --accounts 0 --orders 0", env, &out), 0) << out;
  {
    TestDB db;
    expectClosedAccounts(db, port);
  }
  useDatabaseState("");
  EXPECT_EQ(modeOf(dir), 0700);
  EXPECT_EQ(modeOf(dir + "/logs/account0.log"), 0600);
  EXPECT_EQ(modeOf(dir + "/logs/mariadb.log"), 0600);
  tavrin("down", env);
}

// The servers' link is encrypted and the database proves itself: a plain
// login of the service account and a database certificate from another CA
// are both refused.
TEST(Deployment, TheServiceAccountLogsInOnlyOverVerifiedTls) {
  if (!OrbTls::enabled()) GTEST_SKIP() << "the suite runs without TLS";
  const int port = std::atoi(requireEnv("MYSQL_TCP_PORT").c_str());
  std::string cipher;
  EXPECT_EQ(loginOverTcp("mvrental", servicePassword(), port, "select 1", nullptr, &cipher), "");
  EXPECT_NE(cipher, "") << "the servers' connection is not encrypted";

  const DBSettings plain = settingsWith("TAVRIN_TLS", "off");
  ASSERT_FALSE(plain.tls());
  EXPECT_NE(loginOverTcp("mvrental", servicePassword(), port, "", &plain).find("Access denied"),
            std::string::npos);

  const std::string pem = issueCertificate("db-other-ca", "");
  const DBSettings otherCa =
      settingsWith("TAVRIN_DB_SSL_CA", pem.substr(0, pem.rfind('/')) + "/ca.pem");
  const std::string refused = loginOverTcp("mvrental", servicePassword(), port, "", &otherCa);
  EXPECT_NE(refused, "");
  EXPECT_NE(refused.find("certificate"), std::string::npos) << refused;

  // Status names the mode, and warns of a certificate near its end.
  const std::string state = requireEnv("TAVRIN_STATE_DIR");
  std::string out;
  ASSERT_EQ(tavrin("status", {}, &out), 0) << out;
  EXPECT_NE(out.find("TLS          on"), std::string::npos) << out;
  EXPECT_EQ(out.find("warning: the certificate"), std::string::npos) << out;
  const std::string shortLived = issueCertificate("short-lived", requireEnv("TAVRIN_TLS_CA_DIR"));
  mkdir((state + "/tls/hosts").c_str(), 0700);
  ASSERT_EQ(std::rename(shortLived.c_str(), (state + "/tls/hosts/short.crt").c_str()), 0);
  ASSERT_EQ(tavrin("status", {}, &out), 0) << out;
  EXPECT_NE(out.find("warning: the certificate " + state + "/tls/hosts/short.crt expires on"),
            std::string::npos) << out;
  std::remove((state + "/tls/hosts/short.crt").c_str());
}

// ./tavrin up --no-tls: plain IIOP and database links, for peers whose ORB
// has no TLS; status says so, and a console is served.
TEST(Deployment, UpWithoutTlsServesAPlainClient) {
  const std::string dir = scratchDir() + "/plain";
  mkdir(dir.c_str(), 0700);
  const std::map<std::string, std::string> env = {
      {"TAVRIN_STATE_DIR", dir}, {"TAVRIN_DB_PORT", std::to_string(freePort())},
      {"TAVRIN_NAMING_PORT", std::to_string(freePort())}, {"TAVRIN_TLS_CA_DIR", ""}};
  std::string out;
  ASSERT_EQ(tavrin("up --no-tls --accounts 1 --orders 1", env, &out), 0) << out;
  EXPECT_EQ(tavrin("client -auto 31", env, &out), 0) << out;
  EXPECT_NE(out.find("Movie has been checked out"), std::string::npos) << out;
  ASSERT_EQ(tavrin("status", env, &out), 0) << out;
  EXPECT_NE(out.find("TLS          off"), std::string::npos) << out;
  // The mode holds while the deployment runs.
  EXPECT_NE(tavrin("up", env, &out), 0);
  EXPECT_NE(out.find("stop it first"), std::string::npos) << out;
  tavrin("down", env);
}

TEST(Deployment, InstallsIntoAPrefixAndTheInstalledServerStarts) {
  const std::string prefix = scratchDir() + "/prefix";
  const std::string cmd = "umask 022 && cmake --install " + binDir() + " --prefix " + prefix +
                          " >" + scratchDir() + "/install.log 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << readFile(scratchDir() + "/install.log");
  for (const char* f : {"bin/acctserver", "bin/orderserver", "bin/Client", "share/tavrin/schema.sql",
                        "share/tavrin/catalogue.sql", "share/tavrin/db.conf.example",
                        "share/tavrin/systemd/tavrin-naming.service",
                        "share/tavrin/systemd/tavrin-backup.timer", "share/tavrin/backup.env.example"})
    EXPECT_EQ(access((prefix + "/" + f).c_str(), R_OK), 0) << f;
  // The daily backup runs the installed tool.
  EXPECT_EQ(access((prefix + "/sbin/tavrin-backup").c_str(), X_OK), 0);
  EXPECT_NE(readFile(prefix + "/share/tavrin/systemd/tavrin-backup.service")
                .find("ExecStart=" + prefix + "/sbin/tavrin-backup "),
            std::string::npos);
  EXPECT_NE(readFile(prefix + "/share/tavrin/systemd/tavrin-account@.service")
                .find("ExecStart=" + prefix + "/bin/acctserver "),
            std::string::npos);
  // Each unit confined: exposure 2.5 or lower ("--threshold" counts tenths).
  for (const char* unit : {"tavrin-account@.service", "tavrin-order@.service",
                           "tavrin-naming.service"}) {
    const std::string check = "systemd-analyze security --offline=true --threshold=25 " + prefix +
                              "/share/tavrin/systemd/" + unit + " >" + scratchDir() +
                              "/exposure.txt 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0)
        << unit << ":\n" << readFile(scratchDir() + "/exposure.txt");
  }

  ChildProcess installed(prefix + "/bin/acctserver", {});
  EXPECT_EQ(installed.wait(), 1);
  EXPECT_NE(installed.output().find("Usage: acctserver [ORB options] <name>\n"), std::string::npos)
      << installed.output();
}

}  // namespace
}  // namespace tt
