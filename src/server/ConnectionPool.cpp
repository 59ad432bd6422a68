#include "ConnectionPool.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "DBConnection.h"
#include "Unavailable.h"

namespace {

size_t fromEnv(const char* name, size_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  const unsigned long n = std::strtoul(v, &end, 10);
  return (*end == '\0' && n > 0 && n <= 4096) ? n : fallback;
}

}  // namespace

ConnectionPool& ConnectionPool::instance() {
  static ConnectionPool pool = [] {
    const size_t size = fromEnv("TAVRIN_DB_POOL", 8);
    return ConnectionPool(size, fromEnv("TAVRIN_MAX_REQUESTS", 8 * size));
  }();
  return pool;
}

ConnectionPool::ConnectionPool(size_t size, size_t maxAdmitted)
    : size_(size), maxAdmitted_(std::max(maxAdmitted, size)) {
  DBConnection::libraryInit();
  for (size_t i = 0; i < size_; ++i) {
    all_.push_back(DBConnection::create());
    idle_.push_back(all_.back().get());
  }
}

bool ConnectionPool::wouldMiss(Clock::time_point deadline) const {
  if (!idle_.empty()) return false;
  const size_t waiting = admitted_ - (size_ - idle_.size());
  const double rounds = static_cast<double>(waiting + 1) / static_cast<double>(size_);
  const auto wait = std::chrono::duration<double, std::milli>(rounds * meanHoldMs_);
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(wait) >= deadline;
}

std::unique_ptr<ConnectionPool::Lease> ConnectionPool::acquire(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mu_);
  if (admitted_ >= maxAdmitted_ || wouldMiss(deadline)) {
    throw Unavailable(Unavailable::kBudgetExhausted,
                      "The replica is busy: the request could not be served within its deadline");
  }
  ++admitted_;
  // Waited for on the system clock: ThreadSanitizer follows that wait.
  if (!freed_.wait_until(lock, deadline, [this] { return !idle_.empty(); })) {
    --admitted_;
    throw Unavailable(Unavailable::kBudgetExhausted,
                      "The request waited its whole time budget for a database connection");
  }
  DBConnection* conn = idle_.back();
  idle_.pop_back();
  lock.unlock();
  return std::make_unique<Lease>(*this, conn);
}

void ConnectionPool::release(DBConnection* conn, Clock::duration held) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    idle_.push_back(conn);
    --admitted_;
    const double ms = std::chrono::duration<double, std::milli>(held).count();
    meanHoldMs_ = meanHoldMs_ == 0 ? ms : 0.9 * meanHoldMs_ + 0.1 * ms;
  }
  freed_.notify_one();
}

ConnectionPool::Lease::Lease(ConnectionPool& pool, DBConnection* conn)
    : pool_(pool), conn_(conn), taken_(Clock::now()) {
  DBConnection::bindToThread(conn_);
}

ConnectionPool::Lease::~Lease() {
  DBConnection::bindToThread(nullptr);
  pool_.release(conn_, Clock::now() - taken_);
}
