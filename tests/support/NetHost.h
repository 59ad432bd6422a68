// A host made of a Linux network namespace, joined to the test's own
// namespace by a veth pair with addresses inside the sandbox. The database
// and the directories listen on 127.0.0.1 only, so the host reaches them
// through two relays per port, one inside the host and one on its link:
//
//   replica -> 127.0.0.1:P (inside the host) -> veth -> <link address>:P -> 127.0.0.1:P
//
// and cutting the host's link (cut()) cuts its database and naming traffic
// as well as its callers. Needs root (or CAP_SYS_ADMIN + CAP_NET_ADMIN) and
// /usr/sbin/ip; available() says why not.
//
// Not thread safe. The destructor deletes the link and the namespace; stop
// the processes started inside first.
#ifndef TAVRIN_NETHOST_H
#define TAVRIN_NETHOST_H

#include <memory>
#include <string>
#include <vector>

#include "Relay.h"
#include "TestSupport.h"

namespace tt {

class NetHost {
 public:
  // "" when this machine can build hosts, else why not.
  static std::string available();
  // A 10.x subnet no route uses yet, 0 when none is found.
  static int freeSubnet();

  // Host `n` on 10.<subnet>.<n>.0/24; start() builds it.
  NetHost(int n, int subnet);
  ~NetHost();
  NetHost(const NetHost&) = delete;
  NetHost& operator=(const NetHost&) = delete;
  // Builds the namespace and the link, with relays for `ports` on
  // 127.0.0.1; returns "" or why it failed.
  std::string start(const std::vector<int>& ports);
  // Starts `program` with `args` inside the host, working in `dir`.
  std::unique_ptr<ChildProcess> run(const std::string& program, std::vector<std::string> args,
                                    const std::string& dir,
                                    const std::map<std::string, std::string>& env = {});
  bool cut();   // the link goes down
  bool heal();  // and up again
  const std::string& insideIp() const { return insideIp_; }
  const std::string& ns() const { return ns_; }

 private:
  std::string ns_, linkOut_, linkIn_, outsideIp_, insideIp_;
  std::vector<std::unique_ptr<Relay>> relays_;
  bool made_ = false;
};

}  // namespace tt

#endif
