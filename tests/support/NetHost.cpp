#include "NetHost.h"

#include <unistd.h>

namespace tt {

std::string NetHost::available() {
  if (access("/usr/sbin/ip", X_OK) != 0) return "/usr/sbin/ip (iproute2) is missing";
  const std::string probe = "tvrprobe" + std::to_string(getpid());
  std::string out;
  if (shell("ip netns add " + probe, &out) != 0)
    return "this machine cannot create network namespaces (needs root or "
           "CAP_SYS_ADMIN + CAP_NET_ADMIN): " + out;
  shell("ip netns del " + probe);
  return "";
}

int NetHost::freeSubnet() {
  std::string routes;
  shell("ip -4 route show table all", &routes);
  for (int k = 0; k < 150; ++k) {
    int cand = 100 + (getpid() + k) % 150;
    if (routes.find("10." + std::to_string(cand) + ".") == std::string::npos) return cand;
  }
  return 0;
}

NetHost::NetHost(int n, int subnet) {
  const std::string tag = std::to_string(getpid() % 100000);
  ns_ = "tvr" + tag + "h" + std::to_string(n);
  linkOut_ = "tv" + tag + "o" + std::to_string(n);
  linkIn_ = "tv" + tag + "i" + std::to_string(n);
  const std::string net = "10." + std::to_string(subnet) + "." + std::to_string(n) + ".";
  outsideIp_ = net + "1";
  insideIp_ = net + "2";
}

NetHost::~NetHost() {
  relays_.clear();
  if (!made_) return;
  shell("ip link del " + linkOut_);
  shell("ip netns del " + ns_);
}

std::string NetHost::start(const std::vector<int>& ports) {
  made_ = true;
  const std::string steps[] = {
      "ip netns add " + ns_,
      "ip link add " + linkOut_ + " type veth peer name " + linkIn_,
      "ip link set " + linkIn_ + " netns " + ns_,
      "ip addr add " + outsideIp_ + "/24 dev " + linkOut_,
      "ip link set " + linkOut_ + " up",
      "ip netns exec " + ns_ + " ip addr add " + insideIp_ + "/24 dev " + linkIn_,
      "ip netns exec " + ns_ + " ip link set " + linkIn_ + " up",
      "ip netns exec " + ns_ + " ip link set lo up",
  };
  for (const auto& s : steps) {
    std::string out;
    if (shell(s, &out) != 0) return "`" + s + "` failed: " + out;
  }
  for (int port : ports) {
    relays_.push_back(std::make_unique<Relay>(ns_, "127.0.0.1", "", outsideIp_, port));
    relays_.push_back(std::make_unique<Relay>("", outsideIp_, "", "127.0.0.1", port));
  }
  for (auto& r : relays_)
    if (!r->ok()) return "relay: " + r->error();
  return "";
}

std::unique_ptr<ChildProcess> NetHost::run(const std::string& program,
                                           std::vector<std::string> args, const std::string& dir,
                                           const std::map<std::string, std::string>& env) {
  args.insert(args.begin(), {"netns", "exec", ns_, program});
  return std::make_unique<ChildProcess>("/usr/sbin/ip", args, dir, nullptr, env);
}

bool NetHost::cut() { return shell("ip link set " + linkOut_ + " down") == 0; }
bool NetHost::heal() { return shell("ip link set " + linkOut_ + " up") == 0; }

}  // namespace tt
