#include "DelayRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <stdexcept>
#include <string>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

void noDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int connectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  noDelay(fd);
  return fd;
}

}  // namespace

// One direction of one connection: chunks read, held, then written.
struct DelayRelay::Pipe {
  int from, to;
  const std::atomic<long>& delayUs;
  std::mutex mu;
  std::condition_variable ready;
  std::deque<std::pair<Clock::time_point, std::string>> held;
  bool ended = false;
  std::thread reader, writer;

  Pipe(int f, int t, const std::atomic<long>& d) : from(f), to(t), delayUs(d) {}

  void read() {
    char buf[16384];
    for (;;) {
      const ssize_t n = recv(from, buf, sizeof buf, 0);
      std::lock_guard<std::mutex> lock(mu);
      if (n <= 0) {
        ended = true;
        ready.notify_one();
        return;
      }
      held.emplace_back(Clock::now() + std::chrono::microseconds(delayUs.load()),
                        std::string(buf, static_cast<size_t>(n)));
      ready.notify_one();
    }
  }

  void write() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      ready.wait(lock, [this] { return ended || !held.empty(); });
      if (held.empty()) break;
      auto [due, bytes] = std::move(held.front());
      held.pop_front();
      lock.unlock();
      std::this_thread::sleep_until(due);
      size_t sent = 0;
      while (sent < bytes.size()) {
        const ssize_t n = send(to, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      lock.lock();
      if (sent < bytes.size()) break;
    }
    // The other side sees the end too, and the pipe back ends with it.
    shutdown(to, SHUT_WR);
    shutdown(from, SHUT_RD);
  }
};

DelayRelay::DelayRelay(int targetPort) : targetPort_(targetPort) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = 0;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listenFd_, 256) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("the relay cannot listen");
  port_ = ntohs(a.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

DelayRelay::~DelayRelay() {
  stopping_ = true;
  shutdown(listenFd_, SHUT_RDWR);
  acceptor_.join();
  close(listenFd_);
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& p : pipes_) shutdown(p->from, SHUT_RDWR);
  for (auto& p : pipes_) {
    p->reader.join();
    p->writer.join();
  }
  // Each socket is the `from` of one pipe.
  for (auto& p : pipes_) close(p->from);
}

void DelayRelay::acceptLoop() {
  while (!stopping_) {
    const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    noDelay(client);
    const int server = connectTo(targetPort_);
    if (server < 0) {
      close(client);
      continue;
    }
    startPipe(client, server);
    startPipe(server, client);
  }
}

void DelayRelay::startPipe(int from, int to) {
  auto p = std::make_shared<Pipe>(from, to, delayUs_);
  p->reader = std::thread([p] { p->read(); });
  p->writer = std::thread([p] { p->write(); });
  std::lock_guard<std::mutex> lock(mu_);
  pipes_.push_back(std::move(p));
}

}  // namespace bench
