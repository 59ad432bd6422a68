// Several hosts and a partition. Three hosts are Linux network namespaces,
// each joined to the test's own namespace by a veth pair with addresses
// inside the sandbox; each host runs one account and one order replica that
// listen on the host's address. The client, the Naming Service and MariaDB
// stay in the test's namespace. MariaDB and omniNames listen on 127.0.0.1
// only, so each host reaches them through two relays of the test process,
// one inside the host and one on the host's link:
//
//   replica -> 127.0.0.1:P (inside the host) -> veth -> <link address>:P -> 127.0.0.1:P
//
// so cutting a host's link cuts its database and naming traffic as well.
// Then one host's link is cut in the middle of the load; the customers must
// carry on through the other hosts, and once the link is back the cut-off
// host's replicas must serve again.
#include <cctype>

#include "NetHost.h"
#include "SystemScenario.h"

namespace tt {
namespace {

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// The stringified reference, lower case: its IIOP profile holds the host
// name as plain bytes, so a host's address shows as hex(address).
std::string iorText(const std::string& name) {
  CORBA::Object_var o = resolve(name);
  CORBA::String_var ior = orb()->object_to_string(o);
  std::string s = ior.in();
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string hex(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// One host and its two replicas.
struct Host {
  std::unique_ptr<NetHost> net;
  std::unique_ptr<ChildProcess> account, order;
};

class ReliabilityHosts : public SystemScenario {
 protected:
  void TearDown() override {
    for (auto& h : hosts_) {
      h->account.reset();
      h->order.reset();
    }
    hosts_.clear();
    unbindReplicas();
    SystemScenario::TearDown();
  }

  // Creates host n; on failure returns why.
  std::string makeHost(int n, int subnet) {
    auto h = std::make_unique<Host>();
    h->net = std::make_unique<NetHost>(n, subnet);
    hosts_.push_back(std::move(h));
    return hosts_.back()->net->start({std::atoi(requireEnv("MYSQL_TCP_PORT").c_str()), namingPort()});
  }

  // Starts `name` inside host `h`, listening on the host's address.
  std::unique_ptr<ChildProcess> startOn(Host& h, const std::string& name) {
    std::string dir = scratchDir() + "/" + name;
    mkdir(dir.c_str(), 0755);
    std::string program = binDir() + (name.rfind("account", 0) == 0 ? "/acctserver" : "/orderserver");
    auto p = h.net->run(program,
                        {"-ORBInitRef", namingRef(), "-ORBendPoint",
                         replicaEndpoint(h.net->insideIp()), name},
                        dir);
    bool bound = waitFor([&] {
      if (!p->running()) return false;
      if (p->output().find("Time taken is") == std::string::npos) return false;
      CORBA::Object_var o = resolve(name);
      return !CORBA::is_nil(o) && iorText(name).find(hex(h.net->insideIp())) != std::string::npos;
    });
    EXPECT_TRUE(bound) << name << " did not register from " << h.net->ns() << ":\n" << p->output();
    return p;
  }

  std::vector<std::unique_ptr<Host>> hosts_;
};

TEST_F(ReliabilityHosts, PartitionedHostMidLoad) {
  const std::string why = NetHost::available();
  if (!why.empty()) GTEST_SKIP() << "cannot build hosts: " << why;
  // A subnet no route uses yet.
  const int subnet = NetHost::freeSubnet();
  ASSERT_NE(subnet, 0) << "no free 10.x subnet";

  configureOrb();
  unbindReplicas();
  for (int n = 0; n < 3; ++n) {
    std::string why = makeHost(n + 1, subnet);
    if (!why.empty()) {
      if (n == 0) GTEST_SKIP() << "cannot build a host from a namespace and a veth pair: " << why;
      FAIL() << why;
    }
  }
  for (int n = 0; n < 3; ++n) {
    hosts_[n]->account = startOn(*hosts_[n], "account" + std::to_string(n));
    hosts_[n]->order = startOn(*hosts_[n], "orderObj" + std::to_string(n));
  }
  if (HasFailure()) return;

  // The references the clients get name the hosts' own addresses.
  for (int n = 0; n < 3; ++n) {
    for (const std::string& name : {"account" + std::to_string(n), "orderObj" + std::to_string(n)})
      EXPECT_NE(iorText(name).find(hex(hosts_[n]->net->insideIp())), std::string::npos)
          << name << " does not listen on " << hosts_[n]->net->insideIp();
  }

  LoadOptions o;
  o.sessions = 8;
  o.workload.requests = 100000;  // until stop()
  o.workload.titles = testTitles(8);
  o.workload.updateShare = 0.15;
  o.userPrefix = "hs";
  LoadRun run(o);
  run.start();
  ASSERT_TRUE(waitFor([&] { return run.requestsDone() >= 100; }, std::chrono::seconds(60)));

  // Cut host 1, which holds replica 0 of both servers.
  Host& cut = *hosts_[0];
  ASSERT_TRUE(cut.net->cut());
  const Clock::time_point cutAt = Clock::now();
  const long atCut = run.requestsDone();
  ASSERT_TRUE(waitFor([&] { return run.requestsDone() >= atCut + 150; }, std::chrono::seconds(120)));
  Clock::time_point resumedAt;
  ASSERT_TRUE(firstSuccessAfter(run.records(), cutAt, &resumedAt));
  const Clock::time_point healedAt = Clock::now();
  ASSERT_TRUE(cut.net->heal());

  // Back on the network, the cut-off host's replicas serve again.
  Session probe(870, "hsprobe");
  ASSERT_EQ(probe.createAccount(), Outcome::Success) << probe.last().message;
  ASSERT_EQ(probe.logIn(), Outcome::Success) << probe.last().message;
  {
    std::vector<CORBA::Object_var> a, ord;
    a.push_back(resolve("account0"));
    ord.push_back(resolve("orderObj0"));
    probe.accounts().pin(std::move(a));
    probe.orders().pin(std::move(ord));
  }
  EXPECT_TRUE(waitFor([&] { return probe.search("title11") == Outcome::Success; },
                      std::chrono::seconds(90)))
      << probe.last().message;
  const double backMs = msSince(healedAt, Clock::now());
  EXPECT_TRUE(waitFor([&] { return probe.countHeld() == Outcome::Success; },
                      std::chrono::seconds(60)))
      << probe.last().message;

  run.stop();
  run.wait();
  auto records = run.records();
  for (const auto& r : probe.records()) records.push_back(r);

  size_t undecided = 0, duringCut = 0, skipped = 0;
  double inFlightDecided = 0;  // after the cut, for requests sent before it
  for (const auto& r : records) {
    // Nobody waits for the cut-off host: its calls hang until their
    // timeout, but the session goes on once the others have decided.
    EXPECT_LT(r.elapsedMs(), 3000.0) << opName(r.op) << ": " << r.message;
    if (r.startedAt < cutAt && r.endedAt > cutAt)
      inFlightDecided = std::max(inFlightDecided, msSince(cutAt, r.decidedAt));
    if (r.startedAt >= cutAt && r.startedAt < healedAt) {
      ++duringCut;
      if (r.outcome == Outcome::AllFailed || r.outcome == Outcome::TimedOut) ++undecided;
      if (!r.skipped.empty() && r.skipped.front() == 0) ++skipped;
    }
  }
  // The other hosts decide: a customer sees no request left undecided.
  EXPECT_EQ(undecided, 0u);

  ScenarioSummary s;
  s.id = "hosts-partition";
  s.scenario = "3 hosts (netns + veth), host of replica 0 cut off under 8 sessions";
  s.recovery = "requests in flight at the cut decided by the other hosts within " +
               seconds(inFlightDecided) + "; the first sent after it succeeded " +
               seconds(msSince(cutAt, resumedAt)) + " after the cut; the cut-off replicas served again " +
               seconds(backMs) + " after the link came back";
  s.notes = std::to_string(duringCut) + " requests during the cut, " + std::to_string(undecided) +
            " undecided, " + std::to_string(skipped) +
            " of them not sent to the cut host (a call to it in flight, or suspect)";
  s.command = reproduce("reliability_hosts");
  finish(s, records);
}

}  // namespace
}  // namespace tt
