#include "Report.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <omniORB4/CORBA.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>

namespace bench {

namespace {

std::string fx(double v, int digits = 1) {
  if (!std::isfinite(v)) return "n/a";
  std::ostringstream os;
  os.setf(std::ios::fixed);
  os.precision(digits);
  os << v;
  return os.str();
}

std::string firstLineWith(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return line;
  return "";
}

std::string afterColon(const std::string& line) {
  size_t c = line.find(':');
  if (c == std::string::npos) return line;
  size_t b = line.find_first_not_of(" \t", c + 1);
  return b == std::string::npos ? "" : line.substr(b);
}

double ratio(double a, double b) { return b > 0 ? a / b : NAN; }

const CellResult* findCell(const Run& run, int replicas, int sessions, Kind kind) {
  for (const CellResult& c : run.cells)
    if (c.replicas == replicas && c.sessions == sessions && c.kind == kind) return &c;
  return nullptr;
}

// The part of the baseline that ran next to the cells of `sessions`, or the
// whole baseline.
const BaselineResult& sliceFor(const Run& run, int sessions) {
  for (const BaselineResult& b : run.baselineSlices)
    if (b.sessions == sessions) return b;
  return run.baseline;
}

int maxOf(const std::vector<int>& v) { return *std::max_element(v.begin(), v.end()); }
int minOf(const std::vector<int>& v) { return *std::min_element(v.begin(), v.end()); }

double cpuMsPerRequest(const CellResult& c) {
  return c.requests > 0 ? 1000.0 * c.cost.clientCpu / static_cast<double>(c.requests) : NAN;
}

// Share of the machine's cores that the client, the replicas and the
// database kept busy together.
double busyShare(const Cost& cost, int cores) {
  double cpu = cost.clientCpu + cost.serverCpu + cost.dbCpu;
  return cost.wallSec > 0 && cores > 0 ? cpu / (cost.wallSec * cores) : NAN;
}

std::string verdict(bool met) { return met ? "**met**" : "**missed**"; }

// Operations per second at which the CPU time of `n` operations would fill
// every core.
double ceiling(const Cost& k, double n, int cores) {
  double cpu = (k.clientCpu + k.serverCpu + k.dbCpu) / n;
  return cpu > 0 ? cores / cpu : NAN;
}

double cpuMsPerOp(const Cost& k, double n) { return 1000 * (k.clientCpu + k.serverCpu + k.dbCpu) / n; }

std::string sessionsList(const Run& run, int replicas, Kind kind,
                         const std::function<std::string(const CellResult&)>& f) {
  std::string out;
  for (int c : run.settings.sessions) {
    const CellResult* cell = findCell(run, replicas, c, kind);
    if (!cell) continue;
    if (!out.empty()) out += ", ";
    out += std::to_string(c) + ": " + f(*cell);
  }
  return out;
}

// What stands behind each target, from this run's figures.
void writeAccount(std::ostream& md, const Run& run) {
  const Settings& o = run.settings;
  const int cores = run.machine.cores;
  const int rMax = maxOf(o.replicas), rMin = minOf(o.replicas);
  const int cMax = maxOf(o.sessions), cMin = minOf(o.sessions);
  // 1. replicated latency
  const CellResult* a = findCell(run, rMax, cMin, Kind::CheckoutReturn);
  const CellResult* b = findCell(run, rMin, cMin, Kind::CheckoutReturn);
  if (a && b && rMax != rMin) {
    const double r = ratio(a->decided().p50, b->decided().p50);
    const double n1 = static_cast<double>(b->samples.size()), n3 = static_cast<double>(a->samples.size());
    md << "**Checkout + return p50, " << rMax << " replicas against " << rMin << ".** "
       << fx(a->decided().p50, 2) << " ms against " << fx(b->decided().p50, 2) << " ms at " << cMin
       << " session: " << fx(r, 2) << "×; until every worker had ended "
       << fx(ratio(a->elapsed().p50, b->elapsed().p50), 2) << "×"
       << (r < 1 ? " (below 1× because the answer comes from whichever replica reaches the "
                   "lock first, the quickest of " + std::to_string(rMax) + ")"
                 : std::string())
       << ". By sessions ("
       << sessionsList(run, rMax, Kind::CheckoutReturn, [&](const CellResult& c) {
            const CellResult* one = findCell(run, rMin, c.sessions, Kind::CheckoutReturn);
            return one ? fx(ratio(c.decided().p50, one->decided().p50), 2) + "×" : std::string("n/a");
          })
       << "). Every replica runs every request: the first to get the movie-table lock does "
          "the work and commits; the others then take the lock in turn, find the request in "
          "the duplicate-request log, roll back and answer success. The client decides on the "
          "first answer; the duplicates' work shows in \"all done\" and in the database: "
       << fx(a->cost.db.questions / n3, 0) << " statements and " << fx(a->cost.db.lockTables / n3, 0)
       << " table locks per operation against " << fx(b->cost.db.questions / n1, 0) << " and "
       << fx(b->cost.db.lockTables / n1, 0) << ". ";
    if (r <= 1.5)
      md << "Met at " << cMin << " session.";
    else
      md << "Missed: all replicas work on each request at the same time, and on " << cores
         << " shared cores the one that does the work competes with the others' ticket checks "
            "and lock requests and with the client's workers: CPU per operation rose from "
         << fx(cpuMsPerOp(b->cost, n1), 2) << " to " << fx(cpuMsPerOp(a->cost, n3), 2)
         << " ms (client " << fx(1000 * b->cost.clientCpu / n1, 2) << " to "
         << fx(1000 * a->cost.clientCpu / n3, 2) << ", replicas " << fx(1000 * b->cost.serverCpu / n1, 2)
         << " to " << fx(1000 * a->cost.serverCpu / n3, 2) << ", database "
         << fx(1000 * b->cost.dbCpu / n1, 2) << " to " << fx(1000 * a->cost.dbCpu / n3, 2) << ").";
    md << "\n\n";
  }

  // 2. throughput against the physical limit
  const CellResult* top = findCell(run, rMax, cMax, Kind::CheckoutReturn);
  const BaselineResult& near = sliceFor(run, cMax);
  if (top && !near.pairMs.empty()) {
    const double n = static_cast<double>(top->samples.size());
    const double nNear = static_cast<double>(near.pairMs.size());
    double nearCommits = 0, nearPairs = 0;
    for (double v : near.commitMs) nearCommits += v;
    for (double v : near.pairMs) nearPairs += v;
    const double share = ratio(top->throughput(), near.throughput());
    const double busy = busyShare(top->cost, cores);
    const double lockShare = top->lock.contendedShare();
    md << "**Throughput at " << cMax << " sessions with " << rMax << " replicas, against the "
          "baseline.** " << fx(top->throughput(), 1) << " operations/s against the baseline "
          "part that ran next to it, " << fx(near.throughput(), 1) << " pairs/s: "
       << fx(100 * share, 0) << "%. Two limits apply. *The lock*: every order request of "
          "every replica holds the write lock on the movie tables from LOCK TABLES through "
          "its COMMIT to UNLOCK TABLES, so no two order requests overlap in the database and "
          "their commits cannot share a disk flush; more sessions can only overlap the work "
          "outside the lock (ops/s by sessions, " << rMin << " replica: "
       << sessionsList(run, rMin, Kind::CheckoutReturn,
                       [](const CellResult& c) { return fx(c.throughput(), 0); })
       << "; " << rMax << " replicas: "
       << sessionsList(run, rMax, Kind::CheckoutReturn,
                       [](const CellResult& c) { return fx(c.throughput(), 0); })
       << "). With " << rMax << " replicas an operation takes the lock "
       << fx(top->cost.db.lockTables / n, 0) << " times (each of its two requests once for "
          "the work and once per duplicate check), against 2 in the baseline, whose two "
          "COMMITs are " << fx(100 * ratio(nearCommits, nearPairs), 0)
       << "% of its time (a COMMIT there took " << fx(percentiles(near.commitMs).p50, 2)
       << " ms at p50). *The CPU*: an operation cost " << fx(cpuMsPerOp(top->cost, n), 2)
       << " ms of CPU (" << fx(1000 * top->cost.clientCpu / n, 2) << " client, "
       << fx(1000 * top->cost.serverCpu / n, 2) << " replicas, " << fx(1000 * top->cost.dbCpu / n, 2)
       << " database) against " << fx(cpuMsPerOp(near.cost, nNear), 2)
       << " ms for a baseline pair (" << fx(top->cost.traceLines / n, 0) << " trace lines, "
       << fx(top->cost.db.questions / n, 0) << " statements instead of "
       << fx(near.cost.db.questions / nNear, 0) << ", CORBA calls on per-request threads), which "
          "caps it at " << fx(ceiling(top->cost, n, cores), 0) << " ops/s on " << cores
       << " cores. In this cell a connection was queued for the lock in "
       << fx(100 * lockShare, 0) << "% of the samples (" << fx(top->lock.meanWaiters(), 1)
       << " waiting on average), and the cores were " << fx(100 * busy, 0)
       << "% busy with this work, " << fx(100 * top->cost.machineBusy, 0)
       << "% with everything on the machine. ";
    if (lockShare >= 0.8) {
      const double turns = top->cost.db.lockTables / n;
      const CellResult* one = findCell(run, rMin, cMax, Kind::CheckoutReturn);
      md << "The lock set the pace: with a queue behind it nearly all the time, each "
            "operation held it for about " << fx(1000 / top->throughput(), 1) << " ms in all, "
         << fx(1000 / top->throughput() / turns, 2) << " ms per turn, against "
         << fx(500 / near.throughput(), 2) << " ms per baseline request (ticket check "
            "included). ";
      if (one && one->samples.size() > 0 && turns > 2) {
        const double n1 = static_cast<double>(one->samples.size());
        const double realStmts = one->cost.db.questions / n1 / 2;
        const double dupStmts = (top->cost.db.questions / n - one->cost.db.questions / n1) / (turns - 2);
        md << "A duplicate's turn sends " << fx(dupStmts, 0) << " statements against "
           << fx(realStmts, 0) << " for the real request, yet costs about as much: the "
              "database spent " << fx(1000 * top->cost.dbCpu / n / turns, 2)
           << " ms of CPU per turn against " << fx(1000 * near.cost.dbCpu / nNear / 2, 2)
           << " ms per baseline request, and each replica " << fx(1000 * top->cost.serverCpu / n / turns, 2)
           << " ms per request it served (dispatch, ticket check, trace output). ";
      }
      md << "So the " << fx(turns, 0) << " turns keep the lock "
         << fx(near.throughput() / top->throughput(), 1)
         << " times as long as a baseline pair does, which bounds "
            "the throughput. The faster the disk's flush, the more the duplicates' turns "
            "weigh against the real work, so this ratio is at its worst on a quiet, fast "
            "disk. ";
    }
    else if (top->cost.machineBusy >= 0.9)
      md << "The cores set the pace: they were full, and the lock holder waited for a core "
            "like everything else. ";
    else
      md << "Neither was saturated: the sessions' own round trips through the client, the "
            "ORB and the replicas' request mutex left both idle part of the time. ";
    if (top->cost.machineBusy - busy > 0.2)
      md << "Other work on the machine took " << fx(100 * (top->cost.machineBusy - busy), 0)
         << "% of the cores meanwhile, so this figure is lower than the system alone would "
            "reach. ";
    md << (share >= 0.5 ? "Met." : "Missed.") << "\n\n";
  }

  // 3. client CPU
  const ConsoleCpu* con = nullptr;
  const ConsoleCpu* con1 = nullptr;
  for (const ConsoleCpu& c : run.console) {
    if (c.replicas == rMax) con = &c;
    if (c.replicas == rMin) con1 = &c;
  }
  if (con && con->requests > 0 && con->cost.wallSec > 0) {
    const double n = static_cast<double>(con->requests);
    const double req = 1000 * con->requesterCpu / n;
    const double wall = 1000 * con->cost.wallSec / n;
    const double waitShare = con->requesterCpu / con->cost.wallSec;
    md << "**Client CPU while it waits.** With " << rMax << " replicas the requesting thread "
          "used " << fx(100 * waitShare, 1) << "% of wall time (" << fx(req, 3) << " ms per request "
          "of " << fx(wall, 2) << " ms), the whole client " << fx(100 * con->cost.clientCpu / con->cost.wallSec, 1)
       << "% (" << fx(1000 * con->cost.clientCpu / n, 3) << " ms per request, of which "
       << fx(1000 * con->systemCpu / n, 3) << " ms in the kernel)";
    if (con1 && con1->requests > 0 && con1->cost.wallSec > 0)
      md << "; with " << rMin << " replica " << fx(100 * con1->requesterCpu / con1->cost.wallSec, 1)
         << "% and " << fx(100 * con1->cost.clientCpu / con1->cost.wallSec, 1) << "%";
    md << ". The wait itself blocks on a condition variable and does not spin while no "
          "worker reports; what the requesting thread spends is the fixed work around each "
          "request: starting and joining one worker per replica ("
       << fx(con->threadStartMs, 3) << " ms measured apart, " << fx(100 * ratio(con->threadStartMs, req), 0)
       << "% of its CPU), the console's flow and its output lines. That work does not grow "
          "with the wait, so its share is large only because a request on this one-host "
          "deployment is short. ";
    if (waitShare <= 0.05)
      md << "Met.";
    else
      md << "Missed on this machine: " << fx(req, 3) << " ms of fixed work against "
         << fx(wall, 2) << " ms requests; the share would reach 5% only for requests of "
         << fx(req / 0.05, 1) << " ms or more, or without starting fresh workers for every "
            "request, which is how the console is designed.";
    md << "\n\n";
  }

  // 4. failover
  if (!run.failover.empty()) {
    std::vector<double> extras;
    bool allOk = true;
    for (const FailoverTrial& t : run.failover) {
      extras.push_back(t.extraMs());
      allOk = allOk && t.ok;
    }
    const double mx = *std::max_element(extras.begin(), extras.end());
    md << "**First request after a replica is killed.** Over " << run.failover.size()
       << " trials the first request after SIGKILL of `" << run.failover.front().killed
       << "` took at most " << fx(mx, 1) << " ms more than the median before it (median extra "
       << fx(median(extras), 1) << " ms)" << (allOk ? ", and every request succeeded" : "")
       << ". A killed process's port refuses connections at once, so its worker fails within "
          "a fraction of a millisecond and the next replica's answer decides. "
       << (mx <= 50 ? "Met. " : "Missed. ")
       << "Not measured here: a replica whose host vanishes without refusing connections "
          "would not delay the decision, but the console waits for every worker before it "
          "goes on, so that request would last until the ORB's call timeout.\n\n";
  }
}

}  // namespace

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  double a = 0, b = 0, c = 0;
  in >> a >> b >> c;
  return fx(a, 2) + ", " + fx(b, 2) + ", " + fx(c, 2);
}

Machine describeMachine() {
  Machine m;
  m.cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  m.cpu = afterColon(firstLineWith("/proc/cpuinfo", "model name"));
  if (m.cpu.empty()) m.cpu = "unknown";
  std::string mem = afterColon(firstLineWith("/proc/meminfo", "MemTotal"));
  long kb = std::atol(mem.c_str());
  m.memory = kb > 0 ? fx(static_cast<double>(kb) / 1024.0 / 1024.0, 1) + " GiB" : "unknown";
  utsname u{};
  if (uname(&u) == 0) m.kernel = std::string(u.sysname) + " " + u.release + " " + u.machine;
#ifdef TAVRIN_BENCH_BUILD
  m.build = TAVRIN_BENCH_BUILD;
#endif
  m.orb = std::string("omniORB ") + omniORB::versionString();
  m.loadBefore = loadAverage();
  std::time_t now = std::time(nullptr);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  m.date = buf;
  return m;
}

void writeReport(const Run& run) {
  const Settings& o = run.settings;
  const Machine& m = run.machine;
  const int rMax = maxOf(o.replicas), rMin = minOf(o.replicas);
  const int cMax = maxOf(o.sessions), cMin = minOf(o.sessions);
  const BaselineResult& base = run.baseline;
  const Percentiles baseP = percentiles(base.pairMs);

  // --- plot data and script ---------------------------------------------------------
  {
    std::ofstream dat(o.outDir + "/throughput.dat");
    dat << "# sessions";
    for (int r : o.replicas)
      for (Kind k : allKinds()) dat << "\t\"" << kindName(k) << ", " << r << " replica(s)\"";
    dat << "\tbaseline\n";
    for (int c : o.sessions) {
      dat << c;
      for (int r : o.replicas)
        for (Kind k : allKinds()) {
          const CellResult* cell = findCell(run, r, c, k);
          dat << "\t" << (cell ? fx(cell->throughput(), 2) : "NaN");
        }
      dat << "\t" << fx(sliceFor(run, c).throughput(), 2) << "\n";
    }
    std::ofstream gp(o.outDir + "/throughput.gp");
    gp << "set terminal pngcairo size 960,640 font 'sans,10'\n"
       << "set output '" << o.outDir << "/" << o.plotName << "'\n"
       << "set title 'TAVRIN throughput against concurrent sessions (" << m.cores
       << " cores, durable commits)'\n"
       << "set xlabel 'concurrent sessions'\nset ylabel 'operations per second (log scale)'\n"
       << "set logscale y\nset logscale x 2\nset xrange [" << minOf(o.sessions) * 0.8 << ":"
       << maxOf(o.sessions) * 1.25 << "]\nset xtics (";
    for (size_t i = 0; i < o.sessions.size(); ++i) gp << (i ? ", " : "") << o.sessions[i];
    gp << ")\nset key outside below center horizontal maxcols 3\nset grid\n"
       << "plot";
    int col = 2;
    const char* colours[] = {"#1b9e77", "#d95f02", "#7570b3", "#e7298a"};
    bool first = true;
    for (size_t ri = 0; ri < o.replicas.size(); ++ri) {
      for (size_t ki = 0; ki < allKinds().size(); ++ki, ++col) {
        gp << (first ? " " : ", \\\n     ") << "'" << o.outDir << "/throughput.dat' using 1:" << col
           << " with linespoints lw 2 pt " << (ri == 0 ? 6 : 7) << " dt " << (ri == 0 ? 2 : 1)
           << " lc rgb '" << colours[ki % 4] << "' title '" << kindName(allKinds()[ki]) << ", "
           << o.replicas[ri] << (o.replicas[ri] == 1 ? " replica" : " replicas") << "'";
        first = false;
      }
    }
    gp << ", \\\n     '" << o.outDir << "/throughput.dat' using 1:" << col
       << " with linespoints lw 2 dt 4 pt 2 lc rgb 'black'"
       << " title 'baseline: checkout + return, one connection'\n";
  }

  // --- the document -------------------------------------------------------------------
  std::ofstream md(o.outDir + "/benchmarks.md");
  const Percentiles fsBefore = percentiles(run.fsyncBefore), fsAfter = percentiles(run.fsyncAfter);
  md << "# Benchmarks\n\n"
     << "What replication costs in speed, and how close TAVRIN comes to what the database "
        "allows. Every figure below comes from one run of `" << o.command << "` (" << m.date
     << ", " << fx(run.totalSec / 60.0, 1)
     << " minutes of measurement); this file and the plot are written by that run. "
        "Benchmarks are not tests: nothing in the test suite asserts on speed.\n\n";

  md << "## Machine\n\n"
     << "| | |\n|---|---|\n"
     << "| cores (nproc) | " << m.cores << " |\n"
     << "| CPU | " << m.cpu << " |\n"
     << "| memory | " << m.memory << " |\n"
     << "| kernel | " << m.kernel << " |\n"
     << "| database | MariaDB " << m.database << ", innodb_flush_log_at_trx_commit = "
     << m.flushAtCommit << (m.flushAtCommit == "1" ? " (every commit is flushed to disk)" : " (NOT durable)")
     << " |\n"
     << "| disk: 4 KiB write + fdatasync, p50 / p95, before / after the run | " << fx(fsBefore.p50, 2)
     << " / " << fx(fsBefore.p95, 2) << " ms, " << fx(fsAfter.p50, 2) << " / " << fx(fsAfter.p95, 2)
     << " ms |\n"
     << "| ORB | " << m.orb << " |\n"
     << "| build | " << m.build << " |\n"
     << "| load average (1, 5, 15 min) before / after | " << m.loadBefore << " / " << m.loadAfter
     << " |\n\n"
     << "The client (the load generator), every replica and the database share these "
     << m.cores << " cores and this disk, as on a one-host deployment.\n\n";

  md << "## How it was measured\n\n"
     << "`bench/run` builds `bench/tavrin-bench`, starts a private MariaDB and omniNames on "
        "free ports, and `tavrin-bench` starts " << rMax << " account and " << rMax
     << " order replicas as real processes. A cell with fewer replicas sends to the first "
        "ones only (the others sit idle), and the cells that differ only in the replica count "
        "run one right after the other, so that their ratio compares like with like. Each "
        "session is one customer with its own client identity, on a thread of its own; each "
        "request goes to every replica of its server at once, one worker thread per replica, "
        "and the lowest-indexed replica that has answered decides, as in the console. The "
        "sessions are the test suite's load driver (`tests/support/LoadDriver`), on the "
        "generated stubs.\n\n"
     << "- Each cell runs " << o.opsPerCell
     << " operations, split evenly over its concurrent sessions; seed " << o.seed << ". It "
        "runs in " << o.rounds << " rounds that alternate with the cells it is compared with "
        "(the other replica count, and for checkout + return a part of the baseline), in "
        "ABBA order, so that a burst of other work on the machine or a slow spell of the "
        "disk falls on all of them alike. Every round starts from the same database state; "
        "registration and log-in happen before the clock starts.\n"
     << "- **log-in**: a log-in, timed alone; the log-out after it runs inside the cell's "
        "wall time, so the throughput counts log-in plus log-out cycles.\n"
     << "- **search**: a search of a random catalogue title.\n"
     << "- **checkout + return**: a checkout of a random title and its return, timed "
        "together as one operation (every title has " << o.copies
     << " copies, so no checkout is refused for lack of copies).\n"
     << "- **waitlist**: joining the waiting list of a title without a free copy, a "
        "different title each time, so every request adds a row.\n"
     << "- **latency** (p50 ... max) runs until the client knew the answer (the deciding "
        "reply); **all done** runs until every replica's worker had ended, which is when the "
        "console goes on. Throughput is operations per second of the cell's wall time.\n"
     << "- **baseline**: the statements one order replica sends for a checkout and for a "
        "return (ticket check, table lock, duplicate-request check, the work, the request "
        "log entry, the waiting-list passes, commit, unlock), sent straight through the "
        "persistence layer (`DBQuery`, `DBTransaction`, `CustTransaction`) on one "
        "connection: no CORBA, no replicas, no trace output. " << o.baselinePairs
     << " pairs in all, one after another.\n\n";

  // --- results table ---------------------------------------------------------------
  md << "## Results\n\nLatencies in milliseconds.\n\n"
     << "| replicas | sessions | operation | ops | p50 | p95 | p99 | max | p50 all done | "
        "throughput (ops/s) | failed requests | client CPU per request (ms) |\n"
     << "|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (int r : o.replicas)
    for (int c : o.sessions)
      for (Kind k : allKinds()) {
        const CellResult* cell = findCell(run, r, c, k);
        if (!cell) continue;
        Percentiles p = cell->decided(), e = cell->elapsed();
        md << "| " << r << " | " << c << " | " << kindName(k) << " | " << cell->samples.size()
           << " | " << fx(p.p50) << " | " << fx(p.p95) << " | " << fx(p.p99) << " | "
           << fx(p.max) << " | " << fx(e.p50) << " | " << fx(cell->throughput()) << " | "
           << cell->failures << " of " << cell->requests << " | "
           << fx(cpuMsPerRequest(*cell), 2) << " |\n";
      }
  md << "| baseline | 1 | checkout + return | " << base.pairMs.size() << " | " << fx(baseP.p50, 2)
     << " | " << fx(baseP.p95, 2) << " | " << fx(baseP.p99, 2) << " | " << fx(baseP.max, 2)
     << " | | " << fx(base.throughput()) << " | 0 | |\n\n";
  bool anyFailure = false;
  for (const CellResult& c : run.cells)
    if (c.failures > 0 || !c.firstFailure.empty()) {
      if (!anyFailure) md << "Failures seen:\n\n";
      anyFailure = true;
      md << "- " << c.replicas << " replicas, " << c.sessions << " sessions, "
         << kindName(c.kind) << ": " << c.failures << " failed; first: `" << c.firstFailure
         << "`\n";
    }
  if (anyFailure) md << "\n";

  md << "![throughput against sessions](" << o.plotName << ")\n\n";

  // --- ratios -----------------------------------------------------------------------
  if (o.replicas.size() > 1) {
    md << "## " << rMax << " replicas against " << rMin << "\n\n"
       << "| sessions | operation | p50 ratio | p50 all-done ratio | throughput ratio |\n"
       << "|---:|---|---:|---:|---:|\n";
    for (int c : o.sessions)
      for (Kind k : allKinds()) {
        const CellResult* a = findCell(run, rMax, c, k);
        const CellResult* b = findCell(run, rMin, c, k);
        if (!a || !b) continue;
        md << "| " << c << " | " << kindName(k) << " | "
           << fx(ratio(a->decided().p50, b->decided().p50), 2) << "× | "
           << fx(ratio(a->elapsed().p50, b->elapsed().p50), 2) << "× | "
           << fx(ratio(a->throughput(), b->throughput()), 2) << "× |\n";
      }
    md << "\nSearches take no table lock, so the replicas serve them side by side and the "
          "first answer comes from whichever replica is free first; the all-done column pays "
          "for every replica. The other operations queue for the same table lock in every "
          "replica.\n\n";
  }
  md << "## Checkout + return against the baseline\n\n"
     << "The baseline does the same database work for one customer on one connection: "
     << fx(baseP.p50, 2) << " ms p50 per pair, " << fx(base.throughput(), 1)
     << " pairs/s over the whole run. It runs in parts, in the rounds of the checkout + "
        "return cells of each session count, and each cell is compared with its own parts, "
        "since the disk's flushes do not cost the same all through the run.\n\n"
     << "| sessions | baseline p50 (ms) | baseline (pairs/s)";
  for (int r : o.replicas)
    md << " | " << r << (r == 1 ? " replica" : " replicas") << ": p50 against baseline | " << r
       << (r == 1 ? " replica" : " replicas") << ": throughput against baseline";
  md << " |\n|---:|---:|---:";
  for (size_t i = 0; i < o.replicas.size(); ++i) md << "|---:|---:";
  md << "|\n";
  for (int c : o.sessions) {
    const BaselineResult& slice = sliceFor(run, c);
    const Percentiles sp = percentiles(slice.pairMs);
    md << "| " << c << " | " << fx(sp.p50, 2) << " | " << fx(slice.throughput(), 1);
    for (int r : o.replicas) {
      const CellResult* cell = findCell(run, r, c, Kind::CheckoutReturn);
      md << " | " << (cell ? fx(ratio(cell->decided().p50, sp.p50), 1) + "×" : "n/a") << " | "
         << (cell ? fx(100.0 * ratio(cell->throughput(), slice.throughput()), 0) + "%" : "n/a");
    }
    md << " |\n";
  }
  md << "\n";

  // --- where the time goes -------------------------------------------------------------
  double commitSum = 0, pairSum = 0;
  for (double v : base.commitMs) commitSum += v;
  for (double v : base.pairMs) pairSum += v;
  const Percentiles commitP = percentiles(base.commitMs);
  md << "## Where the time goes (checkout + return)\n\n"
     << "Per operation (one checkout plus one return): statements and fsyncs counted by the "
        "database server (SHOW GLOBAL STATUS), trace lines printed by all replicas together, "
        "and the CPU time of the client process, the replicas and the database server. "
        "The ceiling is the throughput at which that CPU time would fill all "
     << m.cores << " cores; busy is the share of the cores the three kept busy together, "
        "machine busy the share that anything on the machine kept busy (other work "
        "included). Lock queued is the share of PROCESSLIST samples (every 10 ms, on a "
        "connection of the benchmark's own) in which some connection was inside LOCK TABLES "
        "for the movie tables, waiting or being granted.\n\n"
     << "| replicas | sessions | statements | LOCK TABLES | ROLLBACK | fsyncs | trace lines | "
        "client CPU (ms) | replicas CPU (ms) | database CPU (ms) | ceiling (ops/s) | "
        "measured (ops/s) | busy | machine busy | lock queued |\n"
     << "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  auto costRow = [&](const std::string& r, const std::string& c, const Cost& k, double n,
                     double measured, const LockSamples* lock) {
    md << "| " << r << " | " << c << " | " << fx(k.db.questions / n, 1) << " | "
       << fx(k.db.lockTables / n, 1) << " | " << fx(k.db.rollbacks / n, 1) << " | "
       << fx(k.db.fsyncs / n, 1) << " | " << fx(k.traceLines / n, 0) << " | "
       << fx(1000 * k.clientCpu / n, 2) << " | " << fx(1000 * k.serverCpu / n, 2) << " | "
       << fx(1000 * k.dbCpu / n, 2) << " | " << fx(ceiling(k, n, m.cores), 0) << " | "
       << fx(measured, 0) << " | " << fx(100 * busyShare(k, m.cores), 0) << "% | "
       << fx(100 * k.machineBusy, 0) << "% | "
       << (lock && lock->samples ? fx(100 * lock->contendedShare(), 0) + "%" : std::string("–"))
       << " |\n";
  };
  costRow("baseline", "1", base.cost, static_cast<double>(base.pairMs.size()), base.throughput(),
          nullptr);
  for (int r : o.replicas)
    for (int c : o.sessions) {
      const CellResult* cell = findCell(run, r, c, Kind::CheckoutReturn);
      if (!cell || cell->samples.empty()) continue;
      costRow(std::to_string(r), std::to_string(c), cell->cost,
              static_cast<double>(cell->samples.size()), cell->throughput(), &cell->lock);
    }
  md << "\nIn the baseline the two COMMITs of a pair take " << fx(commitP.p50, 2)
     << " ms each at p50 (" << fx(100 * ratio(commitSum, pairSum), 0)
     << "% of the pair's time): that is the disk's flush, the price of durable settings. "
        "CPU clocks tick in 10 ms steps, so the CPU figures are averages over whole cells.\n\n";

  // --- failover ----------------------------------------------------------------------
  std::vector<double> extras;
  if (!run.failover.empty()) {
    md << "## First request after a replica is killed\n\n"
       << "With " << rMax << " replicas, one session makes 15 requests, then `"
       << run.failover.front().killed
       << "` (the first in replica order, which wins whenever it has answered) is killed with SIGKILL and the next "
          "request is timed against the median of the 15 before; the replica is then started "
          "again for the next trial.\n\n"
       << "| trial | request | steady p50 (ms) | first after kill (ms) | first, all done (ms) | "
          "extra (ms) | second after kill (ms) | outcome |\n"
       << "|---:|---|---:|---:|---:|---:|---:|---|\n";
    int i = 0;
    for (const FailoverTrial& t : run.failover) {
      extras.push_back(t.extraMs());
      md << "| " << ++i << " | " << t.op << " | " << fx(t.steadyMs, 2) << " | " << fx(t.firstMs, 2)
         << " | " << fx(t.firstElapsedMs, 2) << " | " << fx(t.extraMs(), 2) << " | "
         << fx(t.secondMs, 2) << " | " << (t.ok ? "succeeded" : "FAILED: " + t.failure) << " |\n";
    }
    md << "\n";
  }

  // --- client CPU --------------------------------------------------------------------
  const ConsoleCpu* con = nullptr;
  for (const ConsoleCpu& c : run.console)
    if (c.replicas == rMax) con = &c;
  auto share = [](double cpu, const Cost& c) { return c.wallSec > 0 ? cpu / c.wallSec : NAN; };
  auto perReq = [](double sec, const ConsoleCpu& c) {
    return c.requests > 0 ? 1000.0 * sec / static_cast<double>(c.requests) : NAN;
  };
  if (!run.console.empty()) {
    md << "## Client CPU\n\n"
       << "The console's own code drove one customer: `Client::search`, `checkOutMovie` and "
          "`callretMovie`, that is `Client::threadLogic` with one worker thread per replica "
          "and the wait on their condition variable, output to /dev/null; "
       << o.consoleCycles << " cycles of search, checkout and return per replica count. CPU "
          "from getrusage: the whole client process, and the requesting thread alone (the "
          "one that starts the workers, waits for them and joins them). The last column is "
          "the CPU of starting and joining that many empty threads, measured apart.\n\n"
       << "| replicas | requests | wall per request (ms) | client CPU per request (ms) | "
          "user / system (ms) | client CPU, share of wall | requesting thread, share of wall "
          "| requesting thread per request (ms) | thread start + join per request (ms) |\n"
       << "|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const ConsoleCpu& c : run.console) {
      md << "| " << c.replicas << " | " << c.requests << " | " << fx(perReq(c.cost.wallSec, c), 2)
         << " | " << fx(perReq(c.cost.clientCpu, c), 3) << " | " << fx(perReq(c.userCpu, c), 3)
         << " / " << fx(perReq(c.systemCpu, c), 3) << " | "
         << fx(100 * share(c.cost.clientCpu, c.cost), 1) << "% | "
         << fx(100 * share(c.requesterCpu, c.cost), 1) << "% | "
         << fx(perReq(c.requesterCpu, c), 3) << " | " << fx(c.threadStartMs, 3) << " |\n";
    }
    for (const ConsoleCpu& c : run.console)
      if (c.failures)
        md << "\n" << c.failures << " of the requests with " << c.replicas << " replicas failed.\n";
    md << "\n";
  }
  const double conShare = con ? share(con->cost.clientCpu, con->cost) : NAN;
  const double waitShare = con ? share(con->requesterCpu, con->cost) : NAN;

  // --- targets -----------------------------------------------------------------------
  const double topShare = [&] {
    const CellResult* top = findCell(run, rMax, cMax, Kind::CheckoutReturn);
    return top ? ratio(top->throughput(), sliceFor(run, cMax).throughput()) : NAN;
  }();
  auto crRatio = [&](int c, bool all) -> double {
    const CellResult* a = findCell(run, rMax, c, Kind::CheckoutReturn);
    const CellResult* b = findCell(run, rMin, c, Kind::CheckoutReturn);
    if (!a || !b) return NAN;
    return all ? ratio(a->elapsed().p50, b->elapsed().p50) : ratio(a->decided().p50, b->decided().p50);
  };
  const double p50Ratio = crRatio(cMin, false);
  const double maxExtra = extras.empty() ? NAN : *std::max_element(extras.begin(), extras.end());
  const double medExtra = extras.empty() ? NAN : median(extras);

  md << "## Targets\n\n"
     << "| measure | target | this run | |\n|---|---|---|---|\n"
     << "| checkout + return p50, " << rMax << " replicas against " << rMin << " (" << cMin
     << " session) | ≤ 1.5× | " << fx(p50Ratio, 2) << "× | " << verdict(p50Ratio <= 1.5) << " |\n"
     << "| throughput at " << cMax << " sessions with " << rMax
     << " replicas, against the single-connection baseline | ≥ 50% | " << fx(100 * topShare, 0)
     << "% | " << verdict(topShare >= 0.5) << " |\n"
     << "| client CPU while it waits for replicas | ≤ 5% of wall time | " << fx(100 * waitShare, 1)
     << "% (requesting thread); " << fx(100 * conShare, 1) << "% (whole client) | "
     << verdict(waitShare <= 0.05) << " |\n"
     << "| extra latency of the first request after a replica is killed | ≤ 50 ms | max "
     << fx(maxExtra, 1) << " ms (median " << fx(medExtra, 1) << " ms) | "
     << verdict(maxExtra <= 50) << " |\n\n";
  writeAccount(md, run);

  md << "## Reproduce\n\n```sh\n" << o.command << "\n```\n\n"
     << "It installs what is missing, builds Release with -O2 in `build-bench/`, brings up a "
        "private MariaDB (durable settings) and omniNames on free ports in a temporary "
        "folder, runs `tavrin-bench`, draws the plot with gnuplot and stops everything "
        "afterwards; on this machine the whole command takes a few minutes. Arguments after "
        "`bench` go to `tavrin-bench` (`--ops N`, `--rounds N`, `--seed S`, `--replicas 1,3`, "
        "`--sessions 1,4,16`, `--baseline N`, `--trials N`, `--console N`). The figures move "
        "with the load of the machine and the speed of its disk's flushes; the machine table "
        "above records both for this run.\n";
}

}  // namespace bench
