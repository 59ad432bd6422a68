// acctserver start-up: command line, Naming Service registration, exit
// statuses.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
