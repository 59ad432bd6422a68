// The database connections of a server process and the admission of its
// requests.
//
// A request is admitted, then waits for a free connection, which is bound
// to its thread (DBConnection::bindToThread) while its Lease lives. At most
// maxAdmitted() requests are admitted at once; one more is refused at once,
// and so is a request that by the time the requests ahead of it have taken
// their turns would have no time left: it is answered now rather than after
// a wait that cannot end in time.
//
// Sizes come from the environment when the pool is first used:
// TAVRIN_DB_POOL (connections, default 8) and TAVRIN_MAX_REQUESTS (admitted
// requests, default 8 times the connections). Process-wide; thread safe.
#ifndef TAVRIN_CONNECTIONPOOL_H
#define TAVRIN_CONNECTIONPOOL_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

class DBConnection;

class ConnectionPool {
 public:
  using Clock = std::chrono::system_clock;

  // A connection bound to the calling thread until destruction, when it
  // goes back to the pool. Lives on the thread that took it.
  class Lease {
   public:
    Lease(ConnectionPool& pool, DBConnection* conn);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

   private:
    ConnectionPool& pool_;
    DBConnection* conn_;
    Clock::time_point taken_;
  };

  static ConnectionPool& instance();

  // Admits a request and waits, until `deadline` at most, for a connection.
  // Raises Unavailable (budget, completed no) when refused or not had in time.
  std::unique_ptr<Lease> acquire(Clock::time_point deadline);

  size_t size() const { return size_; }
  size_t maxAdmitted() const { return maxAdmitted_; }

 private:
  ConnectionPool(size_t size, size_t maxAdmitted);
  // Under mu_: whether the requests ahead would use up the time to `deadline`.
  bool wouldMiss(Clock::time_point deadline) const;
  void release(DBConnection* conn, Clock::duration held);

  const size_t size_;
  const size_t maxAdmitted_;
  std::mutex mu_;
  std::condition_variable freed_;
  std::vector<std::unique_ptr<DBConnection>> all_;
  std::vector<DBConnection*> idle_;
  size_t admitted_ = 0;  // holding a connection or waiting for one
  double meanHoldMs_ = 0;  // moving average of how long a request holds one
};

#endif
