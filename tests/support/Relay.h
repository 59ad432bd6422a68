// A TCP relay across network namespaces: forwards every connection accepted
// on (listenNs, listenIp:port) to (targetNs, targetIp:port), byte for byte,
// until either side closes. "" is the test's own namespace. Used to give a
// replica inside a namespace (NetHost) the database and the directories
// that listen on 127.0.0.1 only.
//
// Accepts on a thread of its own and pumps each connection on another, until
// destroyed; the destructor joins them (within about 100 ms).
#ifndef TAVRIN_RELAY_H
#define TAVRIN_RELAY_H

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace tt {

// A TCP socket in network namespace `ns` ("" for the test's own). Namespaces
// belong to threads, so the calling thread enters `ns` just long enough to
// create the socket, which stays in `ns` for good. -1 on failure.
int socketIn(const std::string& ns);

class Relay {
 public:
  Relay(std::string listenNs, std::string listenIp, std::string targetNs, std::string targetIp,
        int port);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

 private:
  void acceptLoop();
  void pump(int a, int b);

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

}  // namespace tt

#endif
