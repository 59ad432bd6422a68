#include "Relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tt {

namespace {
sockaddr_in addressOf(const std::string& ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}
}  // namespace

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

Relay::Relay(std::string listenNs, std::string listenIp, std::string targetNs,
             std::string targetIp, int port)
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

Relay::~Relay() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  if (fd_ >= 0) close(fd_);
  std::lock_guard<std::mutex> lock(m_);
  for (auto& t : pumps_) t.join();
}

void Relay::acceptLoop() {
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

void Relay::pump(int a, int b) {
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

}  // namespace tt
