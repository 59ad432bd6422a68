// A TCP relay between the replicas and the database that holds every chunk
// of bytes for a set one-way delay in each direction, as a network between
// hosts would. The replicas reach the database through it
// (TAVRIN_DB_ENDPOINTS), with a delay of 0 for the cells without added
// latency, so that both take the same path.
//
// Each connection gets four threads: a reader and a writer per direction;
// a chunk read at t is written at t + delay, in order. Thread safe; the
// delay may change between cells (connections in use take it at once).
#ifndef TAVRIN_BENCH_DELAYRELAY_H
#define TAVRIN_BENCH_DELAYRELAY_H

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {

class DelayRelay {
 public:
  // Listens on 127.0.0.1 (a free port) and forwards to 127.0.0.1:target.
  explicit DelayRelay(int targetPort);
  ~DelayRelay();
  DelayRelay(const DelayRelay&) = delete;
  DelayRelay& operator=(const DelayRelay&) = delete;

  int port() const { return port_; }
  void setDelay(std::chrono::microseconds oneWay) { delayUs_ = oneWay.count(); }
  std::chrono::microseconds delay() const { return std::chrono::microseconds(delayUs_.load()); }

 private:
  struct Pipe;
  void acceptLoop();
  void startPipe(int from, int to);

  int targetPort_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<long> delayUs_{0};
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::shared_ptr<Pipe>> pipes_;
};

}  // namespace bench

#endif
