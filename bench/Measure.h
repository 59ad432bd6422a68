// What one benchmark run measures, and the probes that measure the cost of
// a stretch of load: wall time, CPU time of the client (this process), of
// the replicas and of the database server, and the database's own counters.
#ifndef TAVRIN_BENCH_MEASURE_H
#define TAVRIN_BENCH_MEASURE_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace tt {
class TestDB;
}

namespace bench {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point a, Clock::time_point b);

struct Percentiles {
  double p50 = 0, p95 = 0, p99 = 0, max = 0;
};
// Nearest-rank percentiles; all zero for no values.
Percentiles percentiles(std::vector<double> values);
double median(std::vector<double> values);

// User plus system CPU seconds of a process (0 once it has gone), and of
// this process with all its threads.
double processCpuSeconds(pid_t pid);
double selfCpuSeconds();
struct CpuSplit {
  double user = 0, system = 0;
};
CpuSplit selfCpuSplit();
double threadCpuSeconds();  // the calling thread only

// Latencies (ms) of writing 4 KiB and fdatasync in folder `dir`, `n` times:
// what one durable commit costs on this disk at the moment.
std::vector<double> fsyncLatencies(const std::string& dir, int n);

// CPU (ms, whole process) of starting and joining `threads` empty threads,
// per round, averaged over `rounds`: the console starts one worker per
// replica for every request.
double threadStartCpuMs(int threads, int rounds);

// Counters of the database server, read with SHOW GLOBAL STATUS.
struct DbCounters {
  long long questions = 0;   // statements sent by clients
  long long commits = 0;     // COMMIT statements
  long long rollbacks = 0;   // ROLLBACK statements
  long long lockTables = 0;  // LOCK TABLES statements
  long long fsyncs = 0;      // InnoDB fsyncs (redo log and data): what durability costs
};

// What the replicas' trace lines tell of the calls they served, counted
// over all replicas.
struct TraceCounts {
  long long lines = 0;
  // Calls served: the line each replica prints on entering an operation
  // (search, checkout, waitlist, return, log-in, log-out).
  long long calls = 0;
  // State-changing calls answered from the request log before the table
  // lock: the replicas that came after the first.
  long long answeredFromLog = 0;
};

struct Snapshot {
  Clock::time_point at;
  double clientCpu = 0, serverCpu = 0, dbCpu = 0;
  TraceCounts trace;  // printed by the replicas so far
  // Jiffies of all cores from /proc/stat: everything, and idle or waiting
  // for I/O.
  unsigned long long cpuTotal = 0, cpuIdle = 0;
  DbCounters db;
};

// What a stretch of load cost, between two snapshots.
struct Cost {
  double wallSec = 0;
  double clientCpu = 0, serverCpu = 0, dbCpu = 0;  // seconds
  TraceCounts trace;
  double machineBusy = 0;  // share of all cores busy, whoever used them
  DbCounters db;
};

class Probe {
 public:
  Probe(tt::TestDB& db, pid_t dbPid) : db_(db), dbPid_(dbPid) {}
  // The replicas' processes and the files their standard output goes to.
  void setServers(std::vector<pid_t> pids, std::vector<std::string> logs = {});
  Snapshot take();
  static Cost between(const Snapshot& a, const Snapshot& b);

 private:
  struct Log {
    std::string path;
    long long offset = 0;  // just after the last whole line counted
  };
  void readLogs();
  tt::TestDB& db_;
  pid_t dbPid_;
  std::vector<pid_t> servers_;
  std::vector<Log> logs_;
  TraceCounts trace_;
};

// How often connections were queued for a table lock, and for a request's
// claim, from PROCESSLIST samples taken on a connection of its own while a
// cell runs. A connection waiting for the table lock means another one
// holds it, so `contended / samples` is a lower bound of the time the lock
// was held. A connection inside the claim statement is a replica waiting
// while another replica of the same request holds the claim; its process
// serves nothing else meanwhile (one request at a time per replica).
struct LockSamples {
  long samples = 0;
  long contended = 0;   // samples with at least one connection in LOCK TABLES
  long waiters = 0;     // connections in LOCK TABLES, summed over the samples
  long claimContended = 0;  // samples with at least one connection in the claim
  long claimWaiters = 0;    // connections in the claim, summed over the samples
  double contendedShare() const { return share(contended); }
  double meanWaiters() const { return share(waiters); }
  double claimShare() const { return share(claimContended); }
  double meanClaimWaiters() const { return share(claimWaiters); }

 private:
  double share(long n) const { return samples ? static_cast<double>(n) / samples : 0; }
};

// Samples, every 10 ms until stopped, the connections whose statement
// starts with `lockPrefix` (a LOCK TABLES that has not returned yet) and
// those inside a claim (get_lock), its own connection left out.
class LockSampler {
 public:
  explicit LockSampler(std::string lockPrefix);
  ~LockSampler();  // stops
  LockSamples stop();

 private:
  std::string prefix_;
  std::atomic<bool> stop_{false};
  LockSamples result_;
  std::thread thread_;
};

// --- results --------------------------------------------------------------------

enum class Kind { LogIn, Search, CheckoutReturn, Waitlist };
const char* kindName(Kind kind);
const std::vector<Kind>& allKinds();

// One operation as a customer saw it. A checkout plus return is one
// operation of two requests; a log-in is timed alone, though the log-out
// that follows it runs inside the cell's wall time.
struct Sample {
  double decidedMs = 0;  // until the client knew the answer and went on
  bool ok = false;
};

struct CellResult {
  int replicas = 0;
  int sessions = 0;
  Kind kind = Kind::Search;
  std::vector<Sample> samples;
  long requests = 0;  // requests sent in the timed part
  long failures = 0;  // requests that did not succeed
  int setupFailed = 0;  // sessions that could not register and log in, and sent nothing
  std::string firstFailure;
  Cost cost;
  LockSamples lock;
  double throughput() const;  // operations per second
  Percentiles decided() const;
};

struct BaselineResult {
  int sessions = 0;  // the cells it ran next to
  std::vector<double> pairMs;  // one checkout plus return each
  std::vector<double> commitMs;  // each COMMIT statement
  Cost cost;
  double throughput() const;
};
// Parts of one measurement taken in rounds, as one: samples together, costs
// added.
void addCost(Cost& into, const Cost& part);
void mergeInto(CellResult& into, const CellResult& part);
BaselineResult combine(const std::vector<BaselineResult>& parts);

struct FailoverTrial {
  std::string op;          // the request timed
  std::string killed;      // the replica killed before it
  double steadyMs = 0;     // median of the same request before the kill
  double firstMs = 0;      // the first request after the kill, decided
  double secondMs = 0;     // the request after that
  bool ok = false;         // both requests succeeded
  std::string failure;
  double extraMs() const { return firstMs - steadyMs; }
};

struct ConsoleCpu {
  int replicas = 0;
  long requests = 0;
  long failures = 0;
  Cost cost;                // clientCpu: the whole client process
  double userCpu = 0;       // of which user time, seconds
  double systemCpu = 0;     // and system time
  double requesterCpu = 0;  // the thread that sends and waits (the console's main thread)
  double threadStartMs = 0;  // CPU of starting and joining one thread per replica
};

}  // namespace bench

#endif
