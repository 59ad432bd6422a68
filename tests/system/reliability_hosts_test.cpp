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
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <list>

#include "SystemScenario.h"

namespace tt {
namespace {

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Runs a shell command; its exit status, with stdout and stderr in `out`.
int sh(const std::string& cmd, std::string* out = nullptr) {
  std::string full = cmd + " 2>&1";
  FILE* p = popen(full.c_str(), "r");
  if (p == nullptr) return -1;
  std::string text;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) text.append(buf, n);
  int rc = pclose(p);
  if (out) *out = text;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// A TCP socket in network namespace `ns` ("" for the test's own). Namespaces
// belong to threads, so the calling thread enters `ns` just long enough to
// create the socket, which stays in `ns` for good.
int socketIn(const std::string& ns) {
  if (ns.empty()) return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int self = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  int fd = -1;
  if (self >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (setns(self, CLONE_NEWNET) != 0) std::abort();  // never leave a thread elsewhere
  }
  if (self >= 0) close(self);
  if (target >= 0) close(target);
  return fd;
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

sockaddr_in addressOf(const std::string& ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

// Forwards every connection accepted on (listenNs, listenIp:port) to
// (targetNs, targetIp:port), byte for byte, until either side closes.
class Relay {
 public:
  Relay(std::string listenNs, std::string listenIp, std::string targetNs, std::string targetIp,
        int port)
      : targetNs_(std::move(targetNs)), targetIp_(std::move(targetIp)), port_(port) {
    fd_ = socketIn(listenNs);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = addressOf(listenIp, port);
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          listen(fd_, 64) == 0;
    if (!ok_) error_ = std::strerror(errno);
    else acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~Relay() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    if (fd_ >= 0) close(fd_);
    std::lock_guard<std::mutex> lock(m_);
    for (auto& t : pumps_) t.join();
  }
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

 private:
  void acceptLoop() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int in = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (in < 0) continue;
      int out = socketIn(targetNs_);
      sockaddr_in a = addressOf(targetIp_, port_);
      if (out < 0 || connect(out, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(in);
        if (out >= 0) close(out);
        continue;
      }
      std::lock_guard<std::mutex> lock(m_);
      pumps_.emplace_back([this, in, out] { pump(in, out); });
    }
  }
  void pump(int a, int b) {
    char buf[16384];
    bool open = true;
    while (open && !stop_) {
      pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
      if (poll(p, 2, 100) <= 0) continue;
      for (int i = 0; i < 2 && open; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        int from = i == 0 ? a : b, to = i == 0 ? b : a;
        ssize_t n = read(from, buf, sizeof buf);
        if (n <= 0) {
          open = false;
          break;
        }
        for (ssize_t off = 0; off < n;) {
          ssize_t w = write(to, buf + off, static_cast<size_t>(n - off));
          if (w <= 0) {
            open = false;
            break;
          }
          off += w;
        }
      }
    }
    close(a);
    close(b);
  }

  int fd_ = -1;
  bool ok_ = false;
  std::string error_;
  std::string targetNs_, targetIp_;
  int port_;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::mutex m_;
  std::list<std::thread> pumps_;
};

// One host: a namespace, its veth pair, its relays and its two replicas.
struct Host {
  int n = 0;
  std::string ns, linkOut, linkIn, outsideIp, insideIp;
  std::vector<std::unique_ptr<Relay>> relays;
  std::unique_ptr<ChildProcess> account, order;
};

class ReliabilityHosts : public SystemScenario {
 protected:
  void TearDown() override {
    for (auto& h : hosts_) {
      h->account.reset();
      h->order.reset();
      h->relays.clear();
      sh("ip link del " + h->linkOut);
      sh("ip netns del " + h->ns);
    }
    hosts_.clear();
    unbindReplicas();
    SystemScenario::TearDown();
  }

  // Creates host n; on failure returns why.
  std::string makeHost(int n, int subnet) {
    auto h = std::make_unique<Host>();
    h->n = n;
    std::string tag = std::to_string(getpid() % 100000);
    h->ns = "tvr" + tag + "h" + std::to_string(n);
    h->linkOut = "tv" + tag + "o" + std::to_string(n);
    h->linkIn = "tv" + tag + "i" + std::to_string(n);
    std::string net = "10." + std::to_string(subnet) + "." + std::to_string(n) + ".";
    h->outsideIp = net + "1";
    h->insideIp = net + "2";
    hosts_.push_back(std::move(h));
    Host& x = *hosts_.back();
    const std::string steps[] = {
        "ip netns add " + x.ns,
        "ip link add " + x.linkOut + " type veth peer name " + x.linkIn,
        "ip link set " + x.linkIn + " netns " + x.ns,
        "ip addr add " + x.outsideIp + "/24 dev " + x.linkOut,
        "ip link set " + x.linkOut + " up",
        "ip netns exec " + x.ns + " ip addr add " + x.insideIp + "/24 dev " + x.linkIn,
        "ip netns exec " + x.ns + " ip link set " + x.linkIn + " up",
        "ip netns exec " + x.ns + " ip link set lo up",
    };
    for (const auto& s : steps) {
      std::string out;
      if (sh(s, &out) != 0) return "`" + s + "` failed: " + out;
    }
    for (int port : {std::atoi(requireEnv("MYSQL_TCP_PORT").c_str()), namingPort()}) {
      x.relays.push_back(std::make_unique<Relay>(x.ns, "127.0.0.1", "", x.outsideIp, port));
      x.relays.push_back(std::make_unique<Relay>("", x.outsideIp, "", "127.0.0.1", port));
    }
    for (auto& r : x.relays)
      if (!r->ok()) return "relay: " + r->error();
    return "";
  }

  // Starts `name` inside host `h`, listening on the host's address.
  std::unique_ptr<ChildProcess> startOn(Host& h, const std::string& name) {
    std::string dir = scratchDir() + "/" + name;
    mkdir(dir.c_str(), 0755);
    std::string program = binDir() + (name.rfind("account", 0) == 0 ? "/acctserver" : "/orderserver");
    auto p = std::make_unique<ChildProcess>(
        "/usr/sbin/ip",
        std::vector<std::string>{"netns", "exec", h.ns, program, "-ORBInitRef", namingRef(),
                                 "-ORBendPoint", replicaEndpoint(h.insideIp), name},
        dir);
    bool bound = waitFor([&] {
      if (!p->running()) return false;
      if (p->output().find("Time taken is") == std::string::npos) return false;
      CORBA::Object_var o = resolve(name);
      return !CORBA::is_nil(o) && iorText(name).find(hex(h.insideIp)) != std::string::npos;
    });
    EXPECT_TRUE(bound) << name << " did not register from " << h.ns << ":\n" << p->output();
    return p;
  }

  std::vector<std::unique_ptr<Host>> hosts_;
};

TEST_F(ReliabilityHosts, PartitionedHostMidLoad) {
  std::string out;
  if (access("/usr/sbin/ip", X_OK) != 0)
    GTEST_SKIP() << "cannot build hosts: /usr/sbin/ip (iproute2) is missing";
  if (sh("ip netns add tvrprobe" + std::to_string(getpid()), &out) != 0)
    GTEST_SKIP() << "this machine cannot create network namespaces (needs root or "
                    "CAP_SYS_ADMIN + CAP_NET_ADMIN): "
                 << out;
  sh("ip netns del tvrprobe" + std::to_string(getpid()));

  // A subnet no route uses yet.
  int subnet = 0;
  std::string routes;
  sh("ip -4 route show table all", &routes);
  for (int k = 0; k < 100 && subnet == 0; ++k) {
    int cand = 100 + (getpid() + k) % 150;
    if (routes.find("10." + std::to_string(cand) + ".") == std::string::npos) subnet = cand;
  }
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
      EXPECT_NE(iorText(name).find(hex(hosts_[n]->insideIp)), std::string::npos)
          << name << " does not listen on " << hosts_[n]->insideIp;
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
  ASSERT_EQ(sh("ip link set " + cut.linkOut + " down", &out), 0) << out;
  const Clock::time_point cutAt = Clock::now();
  const long atCut = run.requestsDone();
  ASSERT_TRUE(waitFor([&] { return run.requestsDone() >= atCut + 150; }, std::chrono::seconds(120)));
  Clock::time_point resumedAt;
  ASSERT_TRUE(firstSuccessAfter(run.records(), cutAt, &resumedAt));
  const Clock::time_point healedAt = Clock::now();
  ASSERT_EQ(sh("ip link set " + cut.linkOut + " up", &out), 0) << out;

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
