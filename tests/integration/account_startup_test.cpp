// acctserver start-up: command line, Naming Service registration, database
// settings and endpoints, exit statuses.
#include <gtest/gtest.h>

#include <string>

#include "OrbTls.h"
#include "TestSupport.h"

namespace {

std::string acctserver() { return tt::binDir() + "/acctserver"; }

TEST(AccountStartup, WithoutANameItPrintsUsageAndFails) {
  tt::ChildProcess p(acctserver(), {"-ORBInitRef", tt::namingRef()});
  EXPECT_EQ(p.wait(), 1);
  EXPECT_NE(p.output().find("Usage: acctserver [ORB options] <name>\n"), std::string::npos)
      << p.output();
}

TEST(AccountStartup, WithoutANamingServiceItFails) {
  tt::ChildProcess p(acctserver(), {"account9"}, tt::scratchDir());
  EXPECT_EQ(p.wait(), 1);
  EXPECT_NE(p.output().find("\n Can't resolve Naming Service \n"), std::string::npos)
      << p.output();
}

TEST(AccountStartup, ASecondServerUnderTheSameNameTakesTheBindingOver) {
  tt::unbind("account0");
  tt::Replica first("account0", tt::scratchDir() + "/first");
  std::string out = first.process().output();
  EXPECT_EQ(out.find("Re-binding the IOR"), std::string::npos);
  // The start-up lines, in order.
  size_t obtained = out.find("Obtained nameservice reference and it is non-null, now about to bind names\n");
  size_t taken = out.find("Time taken is ");
  size_t registered = out.find("Server has successfully registered IOR with naming services\n");
  ASSERT_NE(obtained, std::string::npos) << out;
  ASSERT_NE(taken, std::string::npos) << out;
  ASSERT_NE(registered, std::string::npos) << out;
  EXPECT_LT(obtained, taken);
  EXPECT_LT(taken, registered);

  tt::Replica second("account0", tt::scratchDir() + "/second");
  EXPECT_NE(second.process().output().find("Re-binding the IOR\n"), std::string::npos)
      << second.process().output();

  // Calls through the name reach the second server; the first keeps running.
  CORBA::Object_var obj = tt::resolve("account0");
  Account_var account = Account::_narrow(obj);
  EXPECT_THROW(account->obtainNoOfOutstandingMovies(tt::makeTicket("nobody", 1)), TavrinException);
  EXPECT_TRUE(second.process().waitForOutput("User::validateTicket called"));
  EXPECT_EQ(first.process().output().find("User::validateTicket called"), std::string::npos);
  EXPECT_TRUE(first.process().running());
}

// Why start-up failed is in the log: a Naming Service that cannot be reached,
// or database settings that cannot be used.
TEST(AccountStartup, AFailedStartSaysWhy) {
  const std::string closed = "NameService=" + tt::corbanameAt({tt::freePort()});
  tt::ChildProcess unreachable(acctserver(), {"-ORBInitRef", closed, "account9"}, tt::scratchDir());
  EXPECT_EQ(unreachable.wait(), 1);
  EXPECT_NE(unreachable.output().find("cannot be used: TRANSIENT (TRANSIENT_ConnectFailed"),
            std::string::npos)
      << unreachable.output();

  tt::ChildProcess badSettings(acctserver(), {"-ORBInitRef", tt::namingRef(), "account9"},
                               tt::scratchDir(), nullptr, {{"TAVRIN_DB_ENDPOINTS", "db:0"}});
  EXPECT_EQ(badSettings.wait(), 1);
  EXPECT_NE(badSettings.output().find("Database settings: TAVRIN_DB_ENDPOINTS: 'db:0' has no valid port"),
            std::string::npos)
      << badSettings.output();
  EXPECT_FALSE(tt::isBound("account9"));

  // With TLS, a plain endpoint would take requests in clear: refused, and
  // so is a start without the key.
  if (!OrbTls::enabled()) return;
  tt::ChildProcess plain(acctserver(), {"-ORBInitRef", tt::namingRef(), "-ORBendPoint",
                                        "giop:tcp:127.0.0.1:", "account9"}, tt::scratchDir());
  EXPECT_EQ(plain.wait(), 1);
  EXPECT_NE(plain.output().find("TLS: the endpoint giop:tcp:127.0.0.1: is not a TLS endpoint"),
            std::string::npos) << plain.output();
  tt::ChildProcess keyless(acctserver(), {"-ORBInitRef", tt::namingRef(), "account9"},
                           tt::scratchDir(), nullptr, {{"TAVRIN_TLS_KEY", "/nonexistent.pem"}});
  EXPECT_EQ(keyless.wait(), 1);
  EXPECT_NE(keyless.output().find("TLS: cannot read the key and certificate /nonexistent.pem"),
            std::string::npos) << keyless.output();
  EXPECT_FALSE(tt::isBound("account9"));
}

// The database endpoints are tried in order: a dead first one costs nothing.
TEST(AccountStartup, UsesTheFirstDatabaseEndpointThatAnswers) {
  tt::unbind("account0");
  tt::setReplicaEnv("TAVRIN_DB_ENDPOINTS", "127.0.0.1:" + std::to_string(tt::freePort()) +
                                               ",127.0.0.1:" + tt::requireEnv("MYSQL_TCP_PORT"));
  tt::Replica replica("account0", tt::scratchDir() + "/two-endpoints");
  tt::setReplicaEnv("TAVRIN_DB_ENDPOINTS", "");
  Account_var account = Account::_narrow(CORBA::Object_var(tt::resolve("account0")));
  UserInfo u = tt::makeUser("twoendpoints");
  tt::TestDB db;
  db.exec("delete from user where username = 'twoendpoints';"
          "delete from transactions where username = 'twoendpoints'");
  EXPECT_EQ(tt::outcome([&] { account->createAccount(u, tt::makeTrans("42", 1)); }), "ok");
  EXPECT_EQ(db.count("select count(*) from user where username = 'twoendpoints'"), 1);
}

}  // namespace
