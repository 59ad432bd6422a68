// Database settings: where they come from, in which order, how a malformed
// value is refused, and the TLS files of the database link.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "DBSettings.h"

namespace {

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : kVars) unsetenv(v);
    char tmpl[] = "/tmp/tavrin-settings.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const char* v : kVars) unsetenv(v);
    std::remove(file().c_str());
    rmdir(dir_.c_str());
  }
  std::string file() const { return dir_ + "/db.conf"; }
  void writeFile(const std::string& text, mode_t mode) {
    std::ofstream(file()) << text;
    chmod(file().c_str(), mode);
    setenv("TAVRIN_DB_SETTINGS", file().c_str(), 1);
  }
  static constexpr const char* kVars[] = {"TAVRIN_DB_SETTINGS", "TAVRIN_DB_USER",
                                          "TAVRIN_DB_PASSWORD", "TAVRIN_DB_NAME",
                                          "TAVRIN_DB_ENDPOINTS", "TAVRIN_DB_SSL_CA",
                                          "TAVRIN_DB_SSL_CERT", "TAVRIN_DB_SSL_KEY",
                                          "TAVRIN_SEAL_KEY", "TAVRIN_SESSION_IDLE"};
  // A password and a sealing key, without which nothing loads.
  static void credentials() {
    setenv("TAVRIN_DB_PASSWORD", "pw", 1);
    setenv("TAVRIN_SEAL_KEY", std::string(64, 'a').c_str(), 1);
  }
  std::string dir_;
};

// No password and no sealing key are compiled in: without them, or with a
// file that cannot be read or has only part of them, nothing loads.
TEST_F(Settings, CredentialsAreRequiredAndNeverDefaulted) {
  DBSettings s;
  std::string error, warning;
  EXPECT_FALSE(DBSettings::load(s, error, warning));
  EXPECT_NE(error.find("no database password configured"), std::string::npos) << error;
  writeFile("user = shop\npassword = x\n", 0600);
  EXPECT_FALSE(DBSettings::load(s, error, warning));
  EXPECT_NE(error.find("no sealing key configured"), std::string::npos) << error;
  writeFile("password = x\nseal-key = 12ab\n", 0600);
  EXPECT_FALSE(DBSettings::load(s, error, warning)) << "a short key";
  writeFile("password = x\nseal-key = " + std::string(64, 'f') + "\nsession-idle = 0\n", 0600);
  EXPECT_FALSE(DBSettings::load(s, error, warning));
  EXPECT_NE(error.find("session-idle must be a whole number"), std::string::npos) << error;
  writeFile("password = x\nseal-key = " + std::string(64, 'f') + "\nsession-idle = 7\n", 0600);
  ASSERT_TRUE(DBSettings::load(s, error, warning)) << error;
  EXPECT_EQ(s.limits().sessionIdle, 7);
  EXPECT_EQ(s.limits().sessionMax, 43200) << "a limit not given keeps its default";
  setenv("TAVRIN_SESSION_IDLE", "3", 1);
  ASSERT_TRUE(DBSettings::load(s, error, warning)) << error;
  EXPECT_EQ(s.limits().sessionIdle, 3) << "the environment overrides the file";
}

TEST_F(Settings, DefaultsThenFileThenEnvironment) {
  DBSettings s;
  std::string error, warning;
  credentials();
  ASSERT_TRUE(DBSettings::load(s, error, warning)) << error;
  EXPECT_EQ(s.user(), "mvrental");
  EXPECT_EQ(s.database(), "mvrental");
  ASSERT_EQ(s.endpoints().size(), 1u);
  EXPECT_EQ(s.endpoints()[0].port(), 0u) << "port 0: the library's MYSQL_TCP_PORT";
  unsetenv("TAVRIN_DB_PASSWORD");

  writeFile("# the shop's database\nuser = shop\npassword = s3cret = yes\n"
            "endpoints = db1:3307, [fd00::5]:3308 ,db3\n",
            0600);
  setenv("TAVRIN_DB_NAME", "rentals", 1);
  ASSERT_TRUE(DBSettings::load(s, error, warning)) << error;
  EXPECT_TRUE(warning.empty()) << warning;
  EXPECT_EQ(s.user(), "shop");
  EXPECT_EQ(s.password(), "s3cret = yes");
  EXPECT_EQ(s.database(), "rentals");
  ASSERT_EQ(s.endpoints().size(), 3u);
  EXPECT_EQ(s.endpoints()[0].text(), "db1:3307");
  EXPECT_EQ(s.endpoints()[1].host(), "fd00::5");
  EXPECT_EQ(s.endpoints()[1].port(), 3308u);
  EXPECT_EQ(s.endpoints()[2].text(), "db3");

  setenv("TAVRIN_DB_USER", "other", 1);
  setenv("TAVRIN_DB_ENDPOINTS", "127.0.0.1:1", 1);
  ASSERT_TRUE(DBSettings::load(s, error, warning)) << error;
  EXPECT_EQ(s.user(), "other") << "the environment overrides the file";
  EXPECT_EQ(s.password(), "s3cret = yes");
  ASSERT_EQ(s.endpoints().size(), 1u);
  EXPECT_EQ(s.endpoints()[0].port(), 1u);
}

TEST_F(Settings, MalformedValuesAreRefusedWithWhereAndWhy) {
  DBSettings s;
  std::string error, warning;
  credentials();
  setenv("TAVRIN_DB_USER", "untouched", 1);
  ASSERT_TRUE(DBSettings::load(s, error, warning)) << error;
  unsetenv("TAVRIN_DB_USER");
  for (const char* bad : {"h:0", "h:65536", "h:", ":3306", "a,,b", "fd00::5:3306", "[fd00::5",
                          "h:33o6"}) {
    setenv("TAVRIN_DB_ENDPOINTS", bad, 1);
    EXPECT_FALSE(DBSettings::load(s, error, warning)) << bad;
    EXPECT_NE(error.find("TAVRIN_DB_ENDPOINTS"), std::string::npos) << error;
  }
  unsetenv("TAVRIN_DB_ENDPOINTS");
  EXPECT_EQ(s.user(), "untouched") << "a refused load leaves the settings alone";

  writeFile("user = shop\npasword = typo\n", 0600);
  EXPECT_FALSE(DBSettings::load(s, error, warning));
  EXPECT_NE(error.find(file() + " line 2: unknown key 'pasword'"), std::string::npos) << error;
  EXPECT_EQ(s.user(), "untouched") << "nothing of a refused file is taken";

  setenv("TAVRIN_DB_SETTINGS", (dir_ + "/missing.conf").c_str(), 1);
  EXPECT_FALSE(DBSettings::load(s, error, warning));
  EXPECT_NE(error.find("cannot read"), std::string::npos) << error;

  // Readable by others: used, with a warning about the password.
  writeFile("password = x\n", 0644);
  EXPECT_TRUE(DBSettings::load(s, error, warning)) << error;
  EXPECT_NE(warning.find("chmod 600"), std::string::npos) << warning;
}

// The link is TLS unless the deployment runs plain; a CA that cannot be read
// stops the server rather than leaving it to talk in clear.
TEST_F(Settings, TheDatabaseLinkIsTlsWithAReadableCaUnlessTheDeploymentIsPlain) {
  const char* mode = std::getenv("TAVRIN_TLS");
  const std::string saved = mode != nullptr ? mode : "";
  setenv("TAVRIN_TLS", "on", 1);
  const std::string ca = dir_ + "/ca.pem";
  std::ofstream(ca) << "a CA\n";
  DBSettings s;
  std::string error, warning;
  credentials();
  writeFile("ssl-ca = " + ca + "\n", 0600);
  ASSERT_TRUE(DBSettings::load(s, error, warning)) << error;
  EXPECT_TRUE(s.tls());
  EXPECT_EQ(s.sslCa(), ca);

  setenv("TAVRIN_DB_SSL_CA", (dir_ + "/none.pem").c_str(), 1);
  EXPECT_FALSE(DBSettings::load(s, error, warning));
  EXPECT_NE(error.find("cannot read " + dir_ + "/none.pem"), std::string::npos) << error;
  unsetenv("TAVRIN_DB_SSL_CA");

  writeFile("ssl-ca = " + ca + "\nssl-cert = " + ca + "\n", 0600);
  EXPECT_FALSE(DBSettings::load(s, error, warning));
  EXPECT_NE(error.find("ssl-cert and ssl-key go together"), std::string::npos) << error;

  setenv("TAVRIN_TLS", "off", 1);
  writeFile("ssl-ca = " + dir_ + "/none.pem\n", 0600);
  EXPECT_TRUE(DBSettings::load(s, error, warning)) << error;
  EXPECT_FALSE(s.tls());
  std::remove(ca.c_str());
  if (saved.empty())
    unsetenv("TAVRIN_TLS");
  else
    setenv("TAVRIN_TLS", saved.c_str(), 1);
}

}  // namespace
