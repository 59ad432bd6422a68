// Client basics that need no server: the decision rule, the state check,
// the client identity, the string helpers, the request number and the
// command line.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "Client.h"
#include "Contract.h"
#include "TestSupport.h"

TEST(DecisionScan, LowestDecidedIndexWins) {
  EXPECT_EQ(Client::decide({1, 1}), 0);
  EXPECT_EQ(Client::decide({0, 1, 2}), 1);   // an open worker does not block a later answer
  EXPECT_EQ(Client::decide({-1, 2, 1}), 1);  // a refusal is as final as a success
  EXPECT_EQ(Client::decide({-1, -1, 1}), 2);
  EXPECT_EQ(Client::decide({2, 1}), 0);
}

TEST(DecisionScan, AllFailedOnlyWhenEveryWorkerFailed) {
  EXPECT_EQ(Client::decide({-1, -1, -1}), -1);
  EXPECT_EQ(Client::decide({}), -1);  // no replica at all
  EXPECT_EQ(Client::decide({-1, 0, -1}), -2);
  EXPECT_EQ(Client::decide({0, 0}), -2);
  EXPECT_EQ(Client::decide({-1, 5}), -2);  // anything but 1, 2, -1 is still open
}

TEST(StateCheck, MapsStatesToTheNextMenu) {
  Client c;
  struct Row {
    int state, menu, after;
  } rows[] = {
      {5000, 5000, 5000}, {5005, 5000, 5000}, {5007, 5000, 5000}, {5301, 5500, 5301},
      {5302, 5500, 5302}, {5306, 5500, 5306}, {5300, 5500, 5300}, {5500, 5500, 5500},
      {5299, 5299, 5299}, {5501, 5299, 5501}, {5002, 5299, 5002},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.state);
    c.setClientState(r.state);
    EXPECT_EQ(c.checkClientstate(), r.menu);
    EXPECT_EQ(c.getClientState(), r.after);
  }
}

TEST(ClientIdentity, IsDigitsOnly) {
  std::ostringstream out;
  Client c(std::cin, out);
  const std::string id = c.generateClientID();
  ASSERT_FALSE(id.empty());
  EXPECT_LE(id.size(), 22u);
  EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
  EXPECT_NE(id.find(std::to_string(getpid())), std::string::npos);

  c.setClientID();
  EXPECT_EQ(str(c.getclientTransObj().clientID.in()), id);
  EXPECT_NE(out.str().find("Client ID generated on client: " + id + "\n"), std::string::npos);
}

TEST(ClientIdentity, AddressWithoutDotsThenProcessId) {
  EXPECT_EQ(Client::composeClientID("192.168.10.7", 4321), "192168107" "4321");
  EXPECT_EQ(Client::composeClientID("127.0.0.1", 1), "12700" "1" "1");
  // Host not resolved: the process id alone.
  EXPECT_EQ(Client::composeClientID(nullptr, 98765), "98765");
}

TEST(StringHelpers, RemoveStrRemovesEveryOccurrenceAgainFromTheStart) {
  std::string s = "1.2.3.4";
  Client::removeStr(s, ".");
  EXPECT_EQ(s, "1234");
  s = "aabb";
  Client::removeStr(s, "ab");  // "aabb" -> "ab" -> ""
  EXPECT_EQ(s, "");
  s = "nothing here";
  Client::removeStr(s, "xyz");
  EXPECT_EQ(s, "nothing here");
  s = "keep";
  Client::removeStr(s, "");  // must end
  EXPECT_EQ(s, "keep");
}

TEST(StringHelpers, IntToStrIsDecimal) {
  EXPECT_EQ(Client::intToStr(0), "0");
  EXPECT_EQ(Client::intToStr(-42), "-42");
  EXPECT_EQ(Client::intToStr(2147483647), "2147483647");
  EXPECT_EQ(Client::intToStr(-2147483647 - 1), "-2147483648");
}

TEST(RequestNumber, StartsAtZeroAndWrapsAtSixteenBits) {
  Client c;
  EXPECT_EQ(c.getclientTransObj().transactionID, 0);
  c.setClientTrans();
  EXPECT_EQ(c.getclientTransObj().transactionID, 1);
  for (int i = 1; i < 32767; ++i) c.setClientTrans();
  EXPECT_EQ(c.getclientTransObj().transactionID, 32767);
  c.setClientTrans();
  EXPECT_EQ(c.getclientTransObj().transactionID, -32768);
  c.setClientTrans();
  EXPECT_EQ(c.getclientTransObj().transactionID, -32767);
}

namespace {

// Runs the built Client with `args`; returns its exit status and output.
int runClient(const std::string& args, std::string& output) {
  const std::string cmd = tt::binDir() + "/Client " + args + " </dev/null 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[512];
  output.clear();
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) output.append(buf, n);
  const int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

TEST(CommandLine, WrongModeGivesUsageAndStatus255) {
  const std::string usage =
      "Client program called with incorrect parameters.\n"
      "Correct usage: Client -ORBInitRef <naming service> -manual\n"
      "OR\n"
      "Client -ORBInitRef <naming service> -auto <unique number per client>\n";
  for (const std::string args :
       {"", "-auto", "-manual -ORBInitRef NameService=corbaname::127.0.0.1:1",
        "-auto 3 -ORBInitRef NameService=corbaname::127.0.0.1:1", "-interactive", "5 -auto"}) {
    SCOPED_TRACE("args: " + args);
    std::string output;
    EXPECT_EQ(runClient(args, output), 255);
    EXPECT_EQ(output, usage);
  }
}
