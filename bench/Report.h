// docs/benchmarks.md and the plot's data, written from one run's results.
#ifndef TAVRIN_BENCH_REPORT_H
#define TAVRIN_BENCH_REPORT_H

#include <string>
#include <vector>

#include "Measure.h"

namespace bench {

struct Settings {
  int opsPerCell = 960;
  int rounds = 4;  // each cell in this many parts, alternating with its neighbours
  unsigned seed = 20240601;
  int baselinePairs = 2000;
  int failoverTrials = 8;
  int consoleCycles = 200;
  int copies = 1000;  // of every rentable title, so that no checkout runs out
  // Busy loops beside the loaded cell (one per core by default); 0: no
  // loaded cell.
  int busyLoops = -1;
  std::vector<int> replicas{1, 3};
  std::vector<int> sessions{1, 4, 16};
  // One-way delay (ms) a relay adds between the replicas and the database,
  // for the latency cells; below 0: no relay, no latency cells.
  double dbLatencyMs = -1;
  std::vector<int> latencySessions{16, 64};
  std::string command = "./tavrin bench";
  std::string outDir;
  std::string plotName = "benchmarks-throughput.png";
};

struct Machine {
  int cores = 0;
  std::string cpu;
  std::string memory;
  std::string kernel;
  std::string database;    // server version
  std::string flushAtCommit;  // innodb_flush_log_at_trx_commit
  std::string build;       // build type and flags
  std::string orb;
  std::string loadBefore, loadAfter;  // /proc/loadavg
  std::string date;
};

// A cell run through the relay, with its added one-way delay.
struct LatencyCell {
  double delayMs = 0;
  CellResult cell;
};

struct Run {
  Settings settings;
  Machine machine;
  BaselineResult baseline;  // all slices together
  std::vector<BaselineResult> baselineSlices;  // one before each session count's checkouts
  std::vector<CellResult> cells;
  // The checkout + return cell of the most replicas and sessions, and a
  // part of the baseline beside it, both under busy loops.
  bool hasLoaded = false;
  CellResult loaded;
  BaselineResult loadedBaseline;
  int busyLoops = 0;
  double busyCpu = 0;   // CPU seconds the loops used
  double busyWall = 0;  // seconds they ran
  std::vector<FailoverTrial> failover;
  std::vector<ConsoleCpu> console;  // one per replica count
  std::vector<double> fsyncBefore, fsyncAfter;  // ms, 4 KiB write + fdatasync
  std::vector<LatencyCell> latency;
  std::string latencyLoad;  // /proc/loadavg before / after the latency cells
  double totalSec = 0;  // the benchmark program's own run time
};

Machine describeMachine();
std::string loadAverage();

// Writes <outDir>/benchmarks.md and <outDir>/throughput.dat.
void writeReport(const Run& run);

}  // namespace bench

#endif
