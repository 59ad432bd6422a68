#include "Measure.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "TestSupport.h"

namespace bench {

double msBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

Percentiles percentiles(std::vector<double> values) {
  Percentiles p;
  if (values.empty()) return p;
  std::sort(values.begin(), values.end());
  auto rank = [&values](double q) {
    size_t k = static_cast<size_t>(q * static_cast<double>(values.size()) + 0.999999);
    return values[std::min(values.size() - 1, k == 0 ? 0 : k - 1)];
  };
  p.p50 = rank(0.50);
  p.p95 = rank(0.95);
  p.p99 = rank(0.99);
  p.max = values.back();
  return p;
}

double median(std::vector<double> values) { return percentiles(std::move(values)).p50; }

double processCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  // The command name may hold spaces: fields are counted after its ')'.
  size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields 3.. of stat; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

namespace {
double sec(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}
}  // namespace

CpuSplit selfCpuSplit() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return CpuSplit{sec(ru.ru_utime), sec(ru.ru_stime)};
}

double selfCpuSeconds() {
  CpuSplit s = selfCpuSplit();
  return s.user + s.system;
}

double threadCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  return sec(ru.ru_utime) + sec(ru.ru_stime);
}

void Probe::setServers(std::vector<pid_t> pids, std::vector<std::string> logs) {
  servers_ = std::move(pids);
  logs_.clear();
  for (auto& path : logs) {
    std::ifstream in(path, std::ios::ate | std::ios::binary);
    Log l;
    l.path = std::move(path);
    l.offset = in ? static_cast<long long>(in.tellg()) : 0;
    logs_.push_back(l);
  }
}

std::vector<double> fsyncLatencies(const std::string& dir, int n) {
  std::vector<double> out;
  std::string path = dir + "/fsync-probe";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return out;
  char block[4096];
  std::fill(block, block + sizeof block, 'x');
  for (int i = 0; i < n; ++i) {
    Clock::time_point start = Clock::now();
    ssize_t w = pwrite(fd, block, sizeof block, static_cast<off_t>(i % 16) * 4096);
    if (w != static_cast<ssize_t>(sizeof block) || fdatasync(fd) != 0) break;
    out.push_back(msBetween(start, Clock::now()));
  }
  close(fd);
  unlink(path.c_str());
  return out;
}

double threadStartCpuMs(int threads, int rounds) {
  if (rounds <= 0) return 0;
  double before = selfCpuSeconds();
  for (int r = 0; r < rounds; ++r) {
    std::vector<std::thread> v;
    for (int i = 0; i < threads; ++i) v.emplace_back([] {});
    for (auto& t : v) t.join();
  }
  return 1000.0 * (selfCpuSeconds() - before) / rounds;
}

namespace {

bool startsWith(const std::string& line, const char* prefix) {
  return line.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The line a replica prints on entering an operation. Each is printed once
// per call: the entry lines of Movie and User that nested calls print too
// (a return searches the title, a log-in may end another session) are
// replaced by the servants' own lines of those operations.
bool isCallEntry(const std::string& line) {
  return line == "Movie::checkoutMovie called" || line == "Movie::returnMovie called" ||
         line == "Movie::placeInWaitlist called" || line == "User::login called" ||
         startsWith(line, "Server: Before Having Called Thread") ||  // search
         startsWith(line, "logOut(): Username passed is ");
}

}  // namespace

void Probe::readLogs() {
  for (Log& l : logs_) {
    std::ifstream in(l.path, std::ios::binary);
    if (!in) continue;
    in.seekg(l.offset);
    std::string line;
    // Whole lines only: one still being written is read at the next take.
    while (std::getline(in, line) && !in.eof()) {
      l.offset += static_cast<long long>(line.size()) + 1;
      ++trace_.lines;
      // Lines start with their request's key: "[key] ".
      const size_t key = line.compare(0, 1, "[") == 0 ? line.find("] ") : std::string::npos;
      if (isCallEntry(key == std::string::npos ? line : line.substr(key + 2))) ++trace_.calls;
      if (line.find("answered from the request log") != std::string::npos)
        ++trace_.answeredFromLog;
    }
  }
}

Snapshot Probe::take() {
  readLogs();
  Snapshot s;
  auto rows = db_.rows(
      "SHOW GLOBAL STATUS WHERE Variable_name IN ('Questions', 'Com_commit', 'Com_rollback', "
      "'Com_lock_tables', 'Innodb_data_fsyncs')");
  for (const auto& r : rows) {
    if (r.size() < 2) continue;
    long long v = std::atoll(r[1].c_str());
    if (r[0] == "Questions") s.db.questions = v;
    if (r[0] == "Com_commit") s.db.commits = v;
    if (r[0] == "Com_rollback") s.db.rollbacks = v;
    if (r[0] == "Com_lock_tables") s.db.lockTables = v;
    if (r[0] == "Innodb_data_fsyncs") s.db.fsyncs = v;
  }
  s.dbCpu = processCpuSeconds(dbPid_);
  for (pid_t p : servers_) s.serverCpu += processCpuSeconds(p);
  s.trace = trace_;
  {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    unsigned long long v[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    stat >> cpu;
    for (auto& x : v) stat >> x;
    for (auto x : v) s.cpuTotal += x;
    s.cpuIdle = v[3] + v[4];  // idle, iowait
  }
  s.clientCpu = selfCpuSeconds();
  s.at = Clock::now();
  return s;
}

Cost Probe::between(const Snapshot& a, const Snapshot& b) {
  Cost c;
  c.wallSec = msBetween(a.at, b.at) / 1000.0;
  c.clientCpu = b.clientCpu - a.clientCpu;
  c.serverCpu = b.serverCpu - a.serverCpu;
  c.dbCpu = b.dbCpu - a.dbCpu;
  c.trace.lines = b.trace.lines - a.trace.lines;
  c.trace.calls = b.trace.calls - a.trace.calls;
  c.trace.answeredFromLog = b.trace.answeredFromLog - a.trace.answeredFromLog;
  if (b.cpuTotal > a.cpuTotal)
    c.machineBusy = 1.0 - static_cast<double>(b.cpuIdle - a.cpuIdle) /
                              static_cast<double>(b.cpuTotal - a.cpuTotal);
  // The probe's own SHOW STATUS is one question.
  c.db.questions = b.db.questions - a.db.questions - 1;
  c.db.commits = b.db.commits - a.db.commits;
  c.db.rollbacks = b.db.rollbacks - a.db.rollbacks;
  c.db.lockTables = b.db.lockTables - a.db.lockTables;
  c.db.fsyncs = b.db.fsyncs - a.db.fsyncs;
  return c;
}

LockSampler::LockSampler(std::string lockPrefix) : prefix_(std::move(lockPrefix)) {
  thread_ = std::thread([this] {
    tt::TestDB db;
    // Statements may go out with their time limit in front ("SET STATEMENT
    // max_statement_time=... FOR select ..."). The claim is taken by
    // get_lock inside the statement that prepares a request. SHOW
    // PROCESSLIST, counted here: MariaDB 10.11 with binary logs on crashed
    // (signal 11 freeing the temporary table) under a query of
    // information_schema.PROCESSLIST sampled this often.
    const std::string self = db.scalar("select connection_id()");
    const std::string lockInfo = "SET STATEMENT ";
    while (!stop_) {
      long locking = 0, claiming = 0;
      for (const auto& r : db.rows("show full processlist")) {
        if (r.size() < 8 || r[0] == self) continue;
        const std::string& info = r[7];
        const bool limited = info.compare(0, lockInfo.size(), lockInfo) == 0;
        if (info.compare(0, prefix_.size(), prefix_) == 0 ||
            (limited && info.find(" FOR " + prefix_) != std::string::npos))
          ++locking;
        if (info.find("get_lock(") != std::string::npos) ++claiming;
      }
      ++result_.samples;
      result_.waiters += locking;
      if (locking > 0) ++result_.contended;
      result_.claimWaiters += claiming;
      if (claiming > 0) ++result_.claimContended;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
}

LockSamples LockSampler::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return result_;
}

LockSampler::~LockSampler() { stop(); }

// --- results -------------------------------------------------------------------------

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::LogIn: return "log-in";
    case Kind::Search: return "search";
    case Kind::CheckoutReturn: return "checkout + return";
    case Kind::Waitlist: return "waitlist";
  }
  return "?";
}

const std::vector<Kind>& allKinds() {
  static const std::vector<Kind> kinds = {Kind::LogIn, Kind::Search, Kind::CheckoutReturn,
                                          Kind::Waitlist};
  return kinds;
}

double CellResult::throughput() const {
  return cost.wallSec > 0 ? static_cast<double>(samples.size()) / cost.wallSec : 0;
}

Percentiles CellResult::decided() const {
  std::vector<double> v;
  for (const Sample& s : samples) v.push_back(s.decidedMs);
  return percentiles(v);
}

double BaselineResult::throughput() const {
  return cost.wallSec > 0 ? static_cast<double>(pairMs.size()) / cost.wallSec : 0;
}

void addCost(Cost& into, const Cost& part) {
  const double wall = into.wallSec + part.wallSec;
  if (wall > 0)
    into.machineBusy = (into.machineBusy * into.wallSec + part.machineBusy * part.wallSec) / wall;
  into.wallSec = wall;
  into.clientCpu += part.clientCpu;
  into.serverCpu += part.serverCpu;
  into.dbCpu += part.dbCpu;
  into.trace.lines += part.trace.lines;
  into.trace.calls += part.trace.calls;
  into.trace.answeredFromLog += part.trace.answeredFromLog;
  into.db.questions += part.db.questions;
  into.db.commits += part.db.commits;
  into.db.rollbacks += part.db.rollbacks;
  into.db.lockTables += part.db.lockTables;
  into.db.fsyncs += part.db.fsyncs;
}

void mergeInto(CellResult& into, const CellResult& part) {
  into.samples.insert(into.samples.end(), part.samples.begin(), part.samples.end());
  into.requests += part.requests;
  into.failures += part.failures;
  into.setupFailed += part.setupFailed;
  if (into.firstFailure.empty()) into.firstFailure = part.firstFailure;
  addCost(into.cost, part.cost);
  into.lock.samples += part.lock.samples;
  into.lock.contended += part.lock.contended;
  into.lock.waiters += part.lock.waiters;
  into.lock.claimContended += part.lock.claimContended;
  into.lock.claimWaiters += part.lock.claimWaiters;
}

BaselineResult combine(const std::vector<BaselineResult>& parts) {
  BaselineResult all;
  for (const BaselineResult& p : parts) {
    all.pairMs.insert(all.pairMs.end(), p.pairMs.begin(), p.pairMs.end());
    all.commitMs.insert(all.commitMs.end(), p.commitMs.begin(), p.commitMs.end());
    addCost(all.cost, p.cost);
  }
  if (!parts.empty()) all.sessions = parts.front().sessions;
  return all;
}

}  // namespace bench
