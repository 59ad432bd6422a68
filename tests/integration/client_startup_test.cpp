// Client start-up against the real Naming Service: replica discovery, the
// count lines, a missing Naming Service, and both modes run as the real
// program against test replicas in this process.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include "Client.h"
#include "OrbTls.h"
#include "TestSupport.h"
#include "client_servants.h"

namespace {

class Startup : public ::testing::Test {
 protected:
  void SetUp() override { tt::unbindReplicas(); }
  void TearDown() override { tt::unbindReplicas(); }

  std::string runClient(const std::vector<std::string>& args, int& status,
                        const std::string& typed = "") {
    tt::ChildProcess client(tt::binDir() + "/Client", args, tt::scratchDir(), &typed);
    status = client.wait(std::chrono::seconds(60));
    return client.output();
  }
};

// A port on which nothing listens.
int closedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace

TEST_F(Startup, DiscoveryStopsAtTheFirstMissingNumber) {
  ct::bind("account0", new ct::TestAccount(ct::Mode::Succeed, "0"));
  ct::bind("account2", new ct::TestAccount(ct::Mode::Succeed, "2"));
  std::ostringstream out;
  Client client(std::cin, out);
  client.replicas().setNamingContext(tt::naming());
  client.replicas().discoverAccounts();
  client.replicas().discoverOrders();
  EXPECT_EQ(static_cast<int>(client.replicas().size(0)), 1);
  EXPECT_EQ(static_cast<int>(client.replicas().size(1)), 0);
  EXPECT_EQ(out.str(),
            "Client::clearAndobtainAccountIOR(): Resolved IOR: account0\n"
            "Client::clearAndObtainAccountIOR(): NotFound Exception while resolving account1"
            "\tso number of account servers are 1\n"
            "Client::clearAndObtainOFSIOR(): NotFound Exception while resolving orderObj0"
            " so number of OFS servers are 0\n");

  // A rediscovery replaces the list as a whole.
  tt::unbind("account0");
  client.replicas().discoverAccounts();
  EXPECT_EQ(static_cast<int>(client.replicas().size(0)), 0);
}

TEST_F(Startup, ProgramCountsReplicasAndStopsWhenInputEnds) {
  ct::bind("account0", new ct::TestAccount(ct::Mode::Succeed, "0"));
  ct::bind("account2", new ct::TestAccount(ct::Mode::Succeed, "2"));
  int status = 0;
  const std::string output =
      runClient({"-ORBInitRef", tt::namingRef(), "-manual"}, status);
  EXPECT_EQ(status, 1) << output;
  EXPECT_NE(output.find("Before contacting Naming Service \n"), std::string::npos);
  EXPECT_NE(output.find("run(): Number of AccountServers are : 1\n"), std::string::npos);
  EXPECT_NE(output.find("run(): Number of OFSServers are : 0\n"), std::string::npos);
  EXPECT_NE(output.find("Option Selected:"), std::string::npos);
}

TEST_F(Startup, WithoutANamingServiceTheClientSaysSoAndExits) {
  int status = 0;
  std::string output = runClient({"-manual"}, status);  // none configured
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find(" Can't resolve Naming Service \n"), std::string::npos) << output;

  const std::string ref =
      "NameService=" + tt::corbanameAt({closedPort()});
  output = runClient({"-ORBInitRef", ref, "-auto", "1"}, status);  // configured, not there
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find(" Can't resolve Naming Service \n"), std::string::npos) << output;
  EXPECT_EQ(output.find("run(): Number of"), std::string::npos);

  // Without its CA the ORB would call in clear without a word: the console
  // does not start.
  if (!OrbTls::enabled()) return;
  tt::ChildProcess noCa(tt::binDir() + "/Client", {"-ORBInitRef", tt::namingRef(), "-auto", "1"},
                        tt::scratchDir(), nullptr, {{"TAVRIN_TLS_CA", "/nonexistent/ca.pem"}});
  EXPECT_EQ(noCa.wait(std::chrono::seconds(60)), 1);
  EXPECT_NE(noCa.output().find("TLS: cannot read the CA certificate /nonexistent/ca.pem"),
            std::string::npos) << noCa.output();
}

TEST_F(Startup, AutomaticModeRunsItsSequence) {
  auto* a0 = new ct::TestAccount(ct::Mode::Succeed, "0");
  auto* o0 = new ct::TestOrder(ct::Mode::Succeed, "0");
  ct::bind("account0", a0);
  ct::bind("orderObj0", o0);
  int status = -1;
  const std::string output = runClient({"-ORBInitRef", tt::namingRef(), "-auto", "77"}, status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("run(): Entering createAccount \n"), std::string::npos);
  EXPECT_NE(output.find("Movie has been checked out\n"), std::string::npos);
  EXPECT_NE(output.find("Logging out user: user77\n"), std::string::npos);
  EXPECT_EQ(o0->lastMovieID, 42u);
  // create, log in, log out on the account replica; search and checkout on the order one.
  EXPECT_EQ(a0->calls, 3);
  EXPECT_EQ(o0->calls, 2);
  const auto seen = a0->seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].substr(seen[0].find('#')), "#1");
  EXPECT_EQ(seen[1].substr(seen[1].find('#')), "#2");
  EXPECT_EQ(seen[0].find_first_not_of("0123456789"), seen[0].find('#'));  // digits only
}
