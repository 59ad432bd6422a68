// tavrin-bench: latency and throughput of replicated requests, against the
// physical limit of the database. Runs inside the private deployment that
// bench/run brings up (MariaDB and omniNames, described by MYSQL_TCP_PORT,
// TAVRIN_NAMING_PORT and TAVRIN_STATE_DIR) and starts the replicas itself.
//
// Progress goes to standard error; standard output carries the trace lines
// of the persistence layer and the console code it drives.
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "Baseline.h"
#include "DelayRelay.h"
#include "BusyLoad.h"
#include "Client.h"
#include "DBConnection.h"
#include "LoadDriver.h"
#include "Measure.h"
#include "PasswordHash.h"
#include "Report.h"
#include "TestSupport.h"

namespace bench {
namespace {

void progress(const std::string& line) { std::cerr << "[bench] " << line << std::endl; }

// The replicas of the run, stopped by die() too: std::exit skips the
// destructors of main's locals.
tt::Deployment* gDeployment = nullptr;

[[noreturn]] void die(const std::string& why) {
  std::cerr << "tavrin-bench: " << why << std::endl;
  if (gDeployment) {
    gDeployment->accountReplicas.clear();
    gDeployment->orderReplicas.clear();
  }
  std::exit(1);
}

std::string fixed(double v, int digits = 1) {
  std::ostringstream os;
  os.setf(std::ios::fixed);
  os.precision(digits);
  os << v;
  return os.str();
}

struct Title {
  CORBA::ULong id;
  std::string title;
};

// Movies the customers rent (every one with plenty of copies) and titles
// without a free copy for the waiting lists: one per waitlist request of a
// cell, so that every request adds a row.
struct Catalogue {
  std::vector<Title> rentable;
  std::vector<Title> queued;
};

const CORBA::ULong kQueueBase = 100000;

Catalogue prepareCatalogue(tt::TestDB& db, int queueTitles) {
  db.reset();
  std::ostringstream sql;
  sql << "START TRANSACTION;";
  for (int i = 0; i < queueTitles; ++i) {
    sql << "INSERT INTO movie VALUES (" << kQueueBase + static_cast<CORBA::ULong>(i)
        << ", 'Bench queue " << i << "', 'Nobody', '2000-01-01', 'Nobody', 'Bench', 'Bench', "
        << "'PG', 0);";
  }
  sql << "COMMIT;";
  db.exec(sql.str());
  Catalogue c;
  for (const auto& r : db.rows("select movieID, title from movie order by movieID")) {
    Title t{static_cast<CORBA::ULong>(std::strtoul(r[0].c_str(), nullptr, 10)), r[1]};
    (t.id >= kQueueBase ? c.queued : c.rentable).push_back(t);
  }
  if (c.rentable.empty()) die("the catalogue is empty: db/catalogue.sql did not load");
  return c;
}

// Every cell starts from the same state: no customers, sessions, requests,
// rentals or waiting rows, and plenty of copies of every rentable title.
void resetState(tt::TestDB& db, int copies) {
  db.exec(
      "START TRANSACTION; delete from ticket; delete from client; delete from transactions; "
      "delete from checkedoutmovies; delete from waitlistedmovies; delete from user; "
      "update movie set count = " +
      std::to_string(copies) + " where movieID < " + std::to_string(kQueueBase) +
      "; COMMIT;");
}

pid_t databasePid() {
  std::ifstream in(tt::requireEnv("TAVRIN_STATE_DIR") + "/db.pid");
  long pid = 0;
  in >> pid;
  if (pid <= 0) die("cannot read the database's pid from $TAVRIN_STATE_DIR/db.pid");
  return static_cast<pid_t>(pid);
}

void watchReplicas(Probe& probe, const tt::Deployment& dep) {
  std::vector<pid_t> pids;
  std::vector<std::string> logs;
  for (const auto* list : {&dep.accountReplicas, &dep.orderReplicas})
    for (const auto& r : *list) {
      pids.push_back(r->process().pid());
      logs.push_back(r->process().logPath());
    }
  probe.setServers(pids, logs);
}

void requireRunning(tt::Deployment& dep) {
  for (auto* list : {&dep.accountReplicas, &dep.orderReplicas})
    for (auto& r : *list)
      if (!r->process().running() || !tt::isBound(r->name()))
        die("replica " + r->name() + " did not start; see " + r->process().logPath());
}

// The references of the deployment's replicas, in replica order.
struct Refs {
  std::vector<CORBA::Object_var> accounts, orders;
};

Refs resolveAll(const tt::Deployment& dep) {
  Refs refs;
  for (const auto& r : dep.accountReplicas) refs.accounts.push_back(tt::resolve(r->name()));
  for (const auto& r : dep.orderReplicas) refs.orders.push_back(tt::resolve(r->name()));
  return refs;
}

void bindOnly(const tt::Deployment& dep, const Refs& refs, int n);

// The price of a log-in, whose password check is a slow hash: one session
// against (up to) 3 replicas of each server.
void measureLogIn(tt::Deployment& dep, const Refs& refs, int maxReplicas) {
  const int replicas = std::min(3, maxReplicas);
  bindOnly(dep, refs, replicas);
  tt::Session s(9000, "benchlogin");
  if (s.createAccount() != tt::Outcome::Success) {
    progress("log-in: no account (" + s.last().message + ")");
    return;
  }
  std::vector<double> ms;
  for (int i = 0; i < 30; ++i) {
    const auto start = Clock::now();
    if (s.logIn() == tt::Outcome::Success) ms.push_back(msBetween(start, Clock::now()));
  }
  progress("log-in (" + PasswordHash::parameters() + "): " + std::to_string(replicas) +
           " replicas, 1 session, " + std::to_string(ms.size()) + " log-ins, p50 " +
           fixed(percentiles(ms).p50) + " ms");
  bindOnly(dep, refs, maxReplicas);
}

std::vector<CORBA::Object_var> firstOf(const std::vector<CORBA::Object_var>& all, int n) {
  std::vector<CORBA::Object_var> out;
  for (int i = 0; i < n && i < static_cast<int>(all.size()); ++i)
    out.push_back(CORBA::Object::_duplicate(all[static_cast<size_t>(i)].in()));
  return out;
}

// Leaves only the first `n` replicas of each server bound, so that a
// client that discovers them (the console) finds n of each.
void bindOnly(const tt::Deployment& dep, const Refs& refs, int n) {
  auto apply = [&](const std::vector<std::unique_ptr<tt::Replica>>& list,
                   const std::vector<CORBA::Object_var>& objs) {
    for (size_t i = 0; i < list.size(); ++i) {
      CosNaming::Name name;
      name.length(1);
      name[0].id = CORBA::string_dup(list[i]->name().c_str());
      name[0].kind = CORBA::string_dup("");
      if (static_cast<int>(i) < n)
        tt::naming()->rebind(name, objs[i].in());
      else
        tt::unbind(list[i]->name());
    }
  };
  apply(dep.accountReplicas, refs.accounts);
  apply(dep.orderReplicas, refs.orders);
}

MovieInfo movieOf(const Title& t) {
  MovieInfo m = tt::makeMovie(t.title);
  m.movieID = t.id;
  return m;
}

// Holds the sessions of a cell until every one has finished its set-up, so
// that the timed part starts together.
class StartLine {
 public:
  explicit StartLine(int parties) : waiting_(parties) {}
  void arrive() {
    std::unique_lock<std::mutex> lock(m_);
    --waiting_;
    cv_.notify_all();
    cv_.wait(lock, [this] { return go_; });
  }
  void waitForAll() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return waiting_ == 0; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(m_);
    go_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int waiting_;
  bool go_ = false;
};

// The requests of one session in one cell.
struct SessionTally {
  std::vector<Sample> samples;
  long requests = 0;
  long failures = 0;
  std::string firstFailure;
  void count(const tt::Session& s) {
    ++requests;
    if (s.last().outcome != tt::Outcome::Success) {
      ++failures;
      if (firstFailure.empty())
        firstFailure = std::string(tt::opName(s.last().op)) + ": " +
                       tt::outcomeName(s.last().outcome) + ": " + s.last().message;
    }
  }
};

// One operation of `kind` by session `s`; `k` numbers the session's
// operations, `slot` is the session's share of the waiting-list titles.
Sample operate(Kind kind, tt::Session& s, const Catalogue& cat, std::mt19937& rng, int k,
               int slot, SessionTally& tally) {
  Sample out;
  auto pick = [&] {
    return cat.rentable[std::uniform_int_distribution<size_t>(0, cat.rentable.size() - 1)(rng)];
  };
  switch (kind) {
    case Kind::LogIn: {
      bool ok = s.logIn() == tt::Outcome::Success;
      tally.count(s);
      out.decidedMs = s.last().decidedMs();
      ok = (s.logOut() == tt::Outcome::Success) && ok;
      tally.count(s);
      out.ok = ok;
      break;
    }
    case Kind::Search: {
      out.ok = s.search(pick().title) == tt::Outcome::Success;
      tally.count(s);
      out.decidedMs = s.last().decidedMs();
      break;
    }
    case Kind::CheckoutReturn: {
      const Title t = pick();
      bool ok = s.checkout(movieOf(t)) == tt::Outcome::Success;
      tally.count(s);
      out.decidedMs = s.last().decidedMs();
      ok = (s.returnMovie(t.title) == tt::Outcome::Success) && ok;
      tally.count(s);
      out.decidedMs += s.last().decidedMs();
      out.ok = ok;
      break;
    }
    case Kind::Waitlist: {
      const Title& t = cat.queued[static_cast<size_t>(slot + k) % cat.queued.size()];
      out.ok = s.waitlist(movieOf(t)) == tt::Outcome::Success;
      tally.count(s);
      out.decidedMs = s.last().decidedMs();
      break;
    }
  }
  return out;
}

std::string kindTag(Kind kind) {
  switch (kind) {
    case Kind::LogIn: return "li";
    case Kind::Search: return "se";
    case Kind::CheckoutReturn: return "cr";
    case Kind::Waitlist: return "wl";
  }
  return "x";
}

// Busy loops that run while a clock runs (the timed part of a cell or of a
// baseline part), and what they used.
struct LoadTally {
  int loops = 0;
  double cpu = 0;   // CPU seconds of the loops
  double wall = 0;  // seconds they ran
};

class LoadWhileTimed {
 public:
  explicit LoadWhileTimed(LoadTally* tally) : tally_(tally) {
    // Bounded: the loops end on their own should this process hang.
    if (tally_) load_ = std::make_unique<BusyLoad>(tally_->loops, std::chrono::minutes(10));
    if (load_ && load_->running() != tally_->loops) die("could not start the busy loops");
  }
  void stop() {
    if (!load_) return;
    tally_->cpu += load_->stop();
    tally_->wall += msBetween(start_, Clock::now()) / 1000.0;
    load_.reset();
  }
  ~LoadWhileTimed() { stop(); }

 private:
  LoadTally* tally_;
  std::unique_ptr<BusyLoad> load_;
  Clock::time_point start_ = Clock::now();
};

// The records of every session of `cell` that had a request fail, one line
// each, appended to <out>/failures.txt: what to look at when a cell fails.
void recordFailures(const Settings& o, const CellResult& cell, const std::string& label,
                    const std::vector<std::unique_ptr<tt::Session>>& sessions) {
  if (cell.failures == 0 && cell.setupFailed == 0) return;
  std::ofstream out(o.outDir + "/failures.txt", std::ios::app);
  out << "# " << cell.replicas << " replica(s), " << cell.sessions << " session(s), "
      << kindName(cell.kind) << label << "\n";
  for (const auto& s : sessions) {
    bool failed = false;
    for (const tt::RequestRecord& r : s->records())
      failed = failed || r.outcome != tt::Outcome::Success;
    if (!failed) continue;
    for (const tt::RequestRecord& r : s->records()) {
      std::string skipped;
      for (int k : r.skipped) skipped += (skipped.empty() ? "" : ",") + std::to_string(k);
      out << s->user() << " " << r.clientID << " " << tt::opName(r.op) << " #" << r.transactionID
          << " movie " << r.movieID << " '" << r.title << "': " << tt::outcomeName(r.outcome)
          << " by " << r.decidedBy << " after " << fixed(r.decidedMs(), 1) << " ms, skipped ["
          << skipped << "], started "
          << fixed(std::chrono::duration<double>(r.startedAt.time_since_epoch()).count(), 3)
          << " s: " << r.message << "\n";
    }
  }
}

// Until every call the session started has ended. A session goes on once a
// request is decided; the calls of the other replicas end on their own,
// within the call timeout.
void settle(tt::Session& s) {
  while (!s.settled()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// One cell of the matrix: `sessions` concurrent customers, each sending to
// the first `replicas` replicas of each server. The clock starts once the
// calls of every session's set-up have ended, and stops once those of its
// last operation have: the cell's costs hold all the work of its own
// operations and nothing else.
CellResult runCell(tt::TestDB& db, Probe& probe, const Catalogue& cat, const Settings& o,
                   const Refs& refs, int replicas, int sessions, Kind kind, int ops,
                   int round = 0, const std::string& label = "", LoadTally* load = nullptr) {
  resetState(db, o.copies);
  CellResult cell;
  cell.replicas = replicas;
  cell.sessions = sessions;
  cell.kind = kind;
  const int perSession = std::max(1, ops / sessions);

  std::vector<std::unique_ptr<tt::Session>> list;
  for (int i = 0; i < sessions; ++i) {
    std::string user = "r" + std::to_string(replicas) + "s" + std::to_string(sessions) +
                       kindTag(kind) + "u" + std::to_string(i);
    list.push_back(std::make_unique<tt::Session>(i, user));
    list.back()->accounts().pin(firstOf(refs.accounts, replicas));
    list.back()->orders().pin(firstOf(refs.orders, replicas));
  }
  std::vector<SessionTally> tallies(static_cast<size_t>(sessions));
  std::vector<std::string> setupFailures(static_cast<size_t>(sessions));
  StartLine line(sessions);
  std::vector<std::thread> threads;
  for (int i = 0; i < sessions; ++i) {
    threads.emplace_back([&, i] {
      tt::Session& s = *list[static_cast<size_t>(i)];
      SessionTally& tally = tallies[static_cast<size_t>(i)];
      // Set-up is not measured; a session that cannot register and log in
      // within three tries sends nothing in the timed part.
      bool registered = false, ready = false;
      for (int attempt = 0; attempt < 3 && !ready; ++attempt) {
        // A registration that failed may have taken effect: it is then
        // refused as a repeat, and the account is there.
        if (!registered)
          registered = s.createAccount() != tt::Outcome::AllFailed &&
                       s.last().outcome != tt::Outcome::TimedOut;
        ready = registered && (kind == Kind::LogIn || s.logIn() == tt::Outcome::Success);
        if (!ready) setupFailures[static_cast<size_t>(i)] = s.last().message;
      }
      if (ready) setupFailures[static_cast<size_t>(i)].clear();
      settle(s);
      std::mt19937 rng(o.seed + 1000003u * static_cast<unsigned>(replicas) +
                       7919u * static_cast<unsigned>(sessions) +
                       131u * static_cast<unsigned>(kind) + 17u * static_cast<unsigned>(round) +
                       static_cast<unsigned>(i) * 65537u);
      line.arrive();
      for (int k = 0; ready && k < perSession; ++k)
        tally.samples.push_back(operate(kind, s, cat, rng, k, i * perSession, tally));
      settle(s);
    });
  }
  line.waitForAll();
  // Searches take no lock; the other operations take the account or the
  // movie tables' lock.
  std::unique_ptr<LockSampler> sampler;
  if (kind != Kind::Search)
    sampler = std::make_unique<LockSampler>(
        kind == Kind::LogIn ? "select username from user where username in ("
                            : "select movieID from movie where movieID in (");
  LoadWhileTimed busy(load);
  Snapshot before = probe.take();
  line.release();
  for (auto& t : threads) t.join();
  Snapshot after = probe.take();
  busy.stop();
  cell.cost = Probe::between(before, after);
  if (sampler) {
    cell.lock = sampler->stop();
    cell.cost.db.questions -= cell.lock.samples;  // the sampler's own
  }

  for (size_t i = 0; i < tallies.size(); ++i) {
    auto& t = tallies[i];
    cell.samples.insert(cell.samples.end(), t.samples.begin(), t.samples.end());
    cell.requests += t.requests;
    cell.failures += t.failures;
    if (!setupFailures[i].empty()) ++cell.setupFailed;
    if (cell.firstFailure.empty() && !setupFailures[i].empty())
      cell.firstFailure = "set-up: " + setupFailures[i];
    if (cell.firstFailure.empty()) cell.firstFailure = t.firstFailure;
  }
  recordFailures(o, cell, label, list);
  return cell;
}

// --- baseline ----------------------------------------------------------------------------

// `pairs` checkouts plus returns; `slice` numbers the parts of the baseline,
// which run between the cells so that each compares with its neighbours.
BaselineResult runBaseline(tt::TestDB& db, Probe& probe, const Catalogue& cat, const Settings& o,
                           int pairs, int slice, LoadTally* load = nullptr) {
  resetState(db, o.copies);
  const std::string user = "baseline";
  const CORBA::Long token = 4242;
  db.exec("insert into user values ('Base', 'Line', '1 Main Street', '4111111111111111', "
          "'5551234567', 'baseline@example.org', '" + user + "', 'pw')");
  db.addSession(user, token);
  Baseline base(user, token, "1270011");
  std::mt19937 rng(o.seed + 104729u * static_cast<unsigned>(slice));
  auto pick = [&] {
    return cat.rentable[std::uniform_int_distribution<size_t>(0, cat.rentable.size() - 1)(rng)];
  };
  std::string failure;
  for (int i = 0; i < 10; ++i) {  // connect and warm the caches
    const Title t = pick();
    if (!base.pair(t.id, t.title, &failure)) die("baseline: " + failure);
  }
  base.takeCommitTimes();
  BaselineResult res;
  LoadWhileTimed busy(load);
  Snapshot before = probe.take();
  for (int i = 0; i < pairs; ++i) {
    const Title t = pick();
    Clock::time_point start = Clock::now();
    if (!base.pair(t.id, t.title, &failure)) die("baseline: " + failure);
    res.pairMs.push_back(msBetween(start, Clock::now()));
  }
  res.commitMs = base.takeCommitTimes();
  Snapshot after = probe.take();
  busy.stop();
  res.cost = Probe::between(before, after);
  return res;
}

// --- on a busy machine -------------------------------------------------------------------

// The checkout + return cell of `replicas` and `sessions` and a part of the
// baseline beside it, in alternating rounds (ABBA), with busy loops pinned to
// the cores while their clocks run: how the ratio holds when the machine has
// other work. Set-up, as in every cell, is not timed, and runs without them.
void runLoaded(tt::TestDB& db, Probe& probe, const Catalogue& cat, const Settings& o,
               const Refs& refs, int replicas, int sessions, int pairsPerRound, Run& run) {
  const int rounds = std::max(1, o.rounds);
  std::vector<BaselineResult> parts;
  CellResult merged;
  LoadTally load;
  load.loops = o.busyLoops;
  for (int round = 0; round < rounds; ++round) {
    auto baseline = [&] {
      parts.push_back(runBaseline(db, probe, cat, o, pairsPerRound, 1000 + round, &load));
      parts.back().sessions = sessions;
    };
    auto cell = [&] {
      CellResult part = runCell(db, probe, cat, o, refs, replicas, sessions,
                                Kind::CheckoutReturn, o.opsPerCell / rounds, 1000 + round,
                                ", under load", &load);
      merged.replicas = part.replicas;
      merged.sessions = part.sessions;
      merged.kind = part.kind;
      mergeInto(merged, part);
    };
    if (round % 2 == 0) {
      baseline();
      cell();
    } else {
      cell();
      baseline();
    }
  }
  run.busyCpu = load.cpu;
  run.busyWall = load.wall;
  run.busyLoops = o.busyLoops;
  run.loaded = std::move(merged);
  run.loadedBaseline = combine(parts);
  run.hasLoaded = true;
  const BaselineResult& b = run.loadedBaseline;
  const Percentiles p = run.loaded.decided();
  progress("under " + std::to_string(o.busyLoops) + " busy loops: baseline " +
           fixed(b.throughput()) + " pairs/s; " + std::to_string(replicas) + " replica(s), " +
           std::to_string(sessions) + " session(s), checkout + return: " +
           fixed(run.loaded.throughput()) + " ops/s, p50 " + fixed(p.p50) + " ms, " +
           std::to_string(run.loaded.failures) + " failed" +
           (run.loaded.firstFailure.empty() ? "" : " (" + run.loaded.firstFailure + ")"));
}

// --- the console's own fan-out -----------------------------------------------------------

ConsoleCpu runConsole(tt::TestDB& db, Probe& probe, const Catalogue& cat, const Settings& o,
                      int replicas) {
  resetState(db, o.copies);
  std::ofstream devnull("/dev/null");
  std::istringstream noInput;
  Client c(noInput, devnull);
  c.terminal().setPause([] {});
  c.terminal().setScreenClearing(false);
  c.replicas().setNamingContext(tt::naming());
  c.replicas().discoverAccounts();
  c.replicas().discoverOrders();
  c.identity().renew();
  const std::string form[8] = {"Con",        "Sole",       "1 Main Street",       "4111111111111111",
                               "5551234567", "console@example.org", "console", "pw-console"};
  if (!c.createAccount(form) ||
      !c.login("console", "pw-console"))
    die("the console client could not register and log in");
  std::mt19937 rng(o.seed + 17);
  ConsoleCpu res;
  res.replicas = replicas;
  auto cycle = [&](bool counted) {
    const Title& t =
        cat.rentable[std::uniform_int_distribution<size_t>(0, cat.rentable.size() - 1)(rng)];
    // Search, then check out what was found; then return it.
    bool found = c.movies().search(t.title, false);
    bool rented = found && c.requests().movieInfo().count > 0;
    if (found) c.movies().checkOutMovie();
    bool back = c.movies().returnMovie(t.title);
    if (counted) {
      res.requests += 3;
      res.failures += !found + !rented + !back;
    }
  };
  for (int i = 0; i < 3; ++i) cycle(false);
  Snapshot before = probe.take();
  const CpuSplit splitBefore = selfCpuSplit();
  const double threadBefore = threadCpuSeconds();
  for (int i = 0; i < o.consoleCycles; ++i) cycle(true);
  const double threadAfter = threadCpuSeconds();
  const CpuSplit splitAfter = selfCpuSplit();
  Snapshot after = probe.take();
  res.cost = Probe::between(before, after);
  res.userCpu = splitAfter.user - splitBefore.user;
  res.systemCpu = splitAfter.system - splitBefore.system;
  res.requesterCpu = threadAfter - threadBefore;
  progress("console fan-out, " + std::to_string(replicas) + " replica(s): " +
           std::to_string(res.requests) + " requests, client CPU " +
           fixed(100.0 * res.cost.clientCpu / res.cost.wallSec, 2) +
           "% of wall time, the waiting thread " +
           fixed(100.0 * res.requesterCpu / res.cost.wallSec, 2) + "%, " +
           std::to_string(res.failures) + " failed");
  c.logOut();
  return res;
}

// --- failover ----------------------------------------------------------------------------

std::vector<FailoverTrial> runFailover(tt::TestDB& db, tt::Deployment& dep, const Catalogue& cat,
                                       const Settings& o) {
  std::vector<FailoverTrial> trials;
  resetState(db, o.copies);
  std::mt19937 rng(o.seed + 29);
  auto pick = [&] {
    return cat.rentable[std::uniform_int_distribution<size_t>(0, cat.rentable.size() - 1)(rng)];
  };
  for (int trial = 0; trial < o.failoverTrials; ++trial) {
    const bool checkout = trial % 2 == 1;
    FailoverTrial ft;
    ft.op = checkout ? "checkout" : "search";
    auto& victim = dep.orderReplicas.front();
    ft.killed = victim->name();
    tt::Session s(trial, "fo" + std::to_string(trial));
    if (s.createAccount() != tt::Outcome::Success || s.logIn() != tt::Outcome::Success)
      die("failover: the session could not register and log in: " + s.last().message);
    // One request of the kind timed; a checkout's return runs untimed.
    auto request = [&](double* decided) {
      const Title t = pick();
      bool ok = checkout ? s.checkout(movieOf(t)) == tt::Outcome::Success
                         : s.search(t.title) == tt::Outcome::Success;
      const tt::RequestRecord r = s.last();
      if (decided) *decided = r.decidedMs();
      if (!ok && ft.failure.empty()) ft.failure = r.message;
      if (checkout) ok = s.returnMovie(t.title) == tt::Outcome::Success && ok;
      return ok;
    };
    std::vector<double> steady;
    for (int i = 0; i < 15; ++i) {
      double d = 0;
      request(&d);
      steady.push_back(d);
    }
    ft.steadyMs = median(steady);
    victim->kill();
    bool first = request(&ft.firstMs);
    bool second = request(&ft.secondMs);
    ft.ok = first && second;
    progress("failover trial " + std::to_string(trial + 1) + " (" + ft.op + ", " + ft.killed +
             " killed): steady " + fixed(ft.steadyMs, 2) + " ms, first after the kill " +
             fixed(ft.firstMs, 2) + " ms, extra " + fixed(ft.extraMs(), 2) + " ms" +
             (ft.ok ? "" : ", FAILED: " + ft.failure));
    trials.push_back(ft);
    s.logOut();
    victim = std::make_unique<tt::Replica>(ft.killed);
    requireRunning(dep);
  }
  return trials;
}

// Checkout + return and log-in with 1 and 3 replicas at each of the latency
// session counts, each cell without and then with the added delay, back to
// back, so that both see the same machine.
void runLatency(tt::TestDB& db, Probe& probe, const Catalogue& cat, const Settings& o,
                const Refs& refs, DelayRelay& relay, int maxReplicas, Run& run) {
  const std::string before = loadAverage();
  for (int sessions : o.latencySessions)
    for (Kind kind : {Kind::CheckoutReturn, Kind::LogIn})
      for (int replicas : {1, 3}) {
        if (replicas > maxReplicas) continue;
        for (double delay : {0.0, o.dbLatencyMs}) {
          relay.setDelay(std::chrono::microseconds(static_cast<long>(delay * 1000)));
          LatencyCell lc;
          lc.delayMs = delay;
          lc.cell = runCell(db, probe, cat, o, refs, replicas, sessions, kind, o.opsPerCell, 0,
                            "latency");
          const Percentiles p = lc.cell.decided();
          progress("+" + fixed(delay, 2) + " ms each way, " + std::to_string(replicas) +
                   " replica(s), " + std::to_string(sessions) + " session(s), " +
                   kindName(kind) + ": " + fixed(lc.cell.throughput()) + " ops/s, p50 " +
                   fixed(p.p50) + " ms, p99 " + fixed(p.p99) + " ms, " +
                   std::to_string(lc.cell.failures) + " failed");
          run.latency.push_back(std::move(lc));
        }
      }
  relay.setDelay(std::chrono::microseconds(0));
  run.latencyLoad = before + " / " + loadAverage();
}

// Connections, caches and each replica's database connection.
void warmUp(tt::TestDB& db, Probe& probe, const Catalogue& cat, const Settings& o,
            const Refs& refs) {
  for (int replicas : o.replicas)
    for (Kind kind : allKinds())
      runCell(db, probe, cat, o, refs, replicas, 2, kind, 16);
}

int parseInt(const char* s, const char* what) {
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (end == s || *end != '\0' || v < 0 || v > 1000000) die(std::string("bad number for ") + what);
  return static_cast<int>(v);
}

// Milliseconds, fractions allowed ("0.5").
double parseMs(const char* s, const char* what) {
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  if (end == s || *end != '\0' || !(v >= 0) || v > 1000) die(std::string("bad delay for ") + what);
  return v;
}

std::vector<int> parseList(const char* s, const char* what) {
  std::vector<int> out;
  std::stringstream ss(s);
  std::string item;
  while (std::getline(ss, item, ',')) out.push_back(parseInt(item.c_str(), what));
  if (out.empty()) die(std::string("empty list for ") + what);
  return out;
}

Settings parse(int argc, char** argv) {
  Settings o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) die(a + " needs a value");
      return argv[++i];
    };
    if (a == "--out") o.outDir = value();
    else if (a == "--ops") o.opsPerCell = parseInt(value(), "--ops");
    else if (a == "--seed") o.seed = static_cast<unsigned>(parseInt(value(), "--seed"));
    else if (a == "--baseline") o.baselinePairs = parseInt(value(), "--baseline");
    else if (a == "--trials") o.failoverTrials = parseInt(value(), "--trials");
    else if (a == "--console") o.consoleCycles = parseInt(value(), "--console");
    else if (a == "--rounds") o.rounds = parseInt(value(), "--rounds");
    else if (a == "--replicas") o.replicas = parseList(value(), "--replicas");
    else if (a == "--sessions") o.sessions = parseList(value(), "--sessions");
    else if (a == "--busy") o.busyLoops = parseInt(value(), "--busy");
    else if (a == "--command") o.command = value();
    else if (a == "--db-latency") o.dbLatencyMs = parseMs(value(), "--db-latency");
    else if (a == "--latency-sessions")
      o.latencySessions = parseList(value(), "--latency-sessions");
    else die("unknown option " + a +
             "\nusage: tavrin-bench --out DIR [--ops N] [--rounds N] [--seed S] [--baseline N]"
             " [--trials N] [--console N] [--replicas 1,3] [--sessions 1,4,16] [--busy N]"
             " [--command TEXT] [--db-latency MS] [--latency-sessions 16,64]");
  }
  if (o.outDir.empty()) die("--out DIR is required");
  if (o.busyLoops < 0) o.busyLoops = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  for (int r : o.replicas)
    if (r < 1) die("--replicas: at least one replica");
  for (int c : o.sessions)
    if (c < 1) die("--sessions: at least one session");
  return o;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  Run run;
  run.settings = parse(argc, argv);
  const Settings& o = run.settings;
  const Clock::time_point started = Clock::now();
  std::remove((o.outDir + "/failures.txt").c_str());
  run.machine = describeMachine();

  DBConnection::libraryInit();
  tt::configureOrb();
  tt::TestDB db;
  Probe probe(db, databasePid());
  int maxSessions = *std::max_element(o.sessions.begin(), o.sessions.end());
  if (o.dbLatencyMs >= 0)
    maxSessions = std::max(maxSessions, *std::max_element(o.latencySessions.begin(),
                                                           o.latencySessions.end()));
  const int queueTitles = std::max(o.opsPerCell, maxSessions) + 16;
  const Catalogue cat = prepareCatalogue(db, queueTitles);
  {
    auto flush = db.scalar("select @@innodb_flush_log_at_trx_commit");
    run.machine.flushAtCommit = flush;
    if (flush != "1")
      progress("WARNING: innodb_flush_log_at_trx_commit is " + flush +
               ", not the durable 1: the figures are not comparable");
    run.machine.database = db.scalar("select version()");
  }

  const std::string dbDir = tt::requireEnv("TAVRIN_STATE_DIR") + "/db";
  run.fsyncBefore = fsyncLatencies(dbDir, 200);
  // One deployment of the largest size. A cell with fewer replicas sends to
  // the first ones only; the others sit idle. Cells that differ only in the
  // replica count run one after the other, so that they see the same
  // machine.
  const int maxReplicas = *std::max_element(o.replicas.begin(), o.replicas.end());
  progress("starting " + std::to_string(maxReplicas) + " account and " +
           std::to_string(maxReplicas) + " order replica(s)");
  // With --db-latency every cell reaches the database through the relay;
  // it adds nothing but in the latency cells.
  std::unique_ptr<DelayRelay> relay;
  if (o.dbLatencyMs >= 0) {
    relay = std::make_unique<DelayRelay>(std::atoi(tt::requireEnv("MYSQL_TCP_PORT").c_str()));
    tt::setReplicaEnv("TAVRIN_DB_ENDPOINTS", "127.0.0.1:" + std::to_string(relay->port()));
  }
  tt::Deployment dep(maxReplicas, maxReplicas);
  gDeployment = &dep;
  requireRunning(dep);
  watchReplicas(probe, dep);
  const Refs refs = resolveAll(dep);
  warmUp(db, probe, cat, o, refs);
  // Every cell runs in rounds, alternating with the cells it is compared
  // with (ABBA order), so that a burst of other work on the machine or a
  // slow spell of the disk falls on all of them alike.
  const int rounds = std::max(1, o.rounds);
  const int slicePairs =
      std::max(1, o.baselinePairs / static_cast<int>(o.sessions.size()) / rounds);
  for (int sessions : o.sessions)
    for (Kind kind : allKinds()) {
      std::vector<CellResult> merged(o.replicas.size());
      std::vector<BaselineResult> parts;
      for (int round = 0; round < rounds; ++round) {
        if (kind == Kind::CheckoutReturn) {
          parts.push_back(runBaseline(db, probe, cat, o, slicePairs,
                                      static_cast<int>(run.baselineSlices.size()) * rounds + round));
          parts.back().sessions = sessions;
        }
        for (size_t k = 0; k < o.replicas.size(); ++k) {
          const size_t i = round % 2 == 0 ? k : o.replicas.size() - 1 - k;
          CellResult part = runCell(db, probe, cat, o, refs, o.replicas[i], sessions, kind,
                                    o.opsPerCell / rounds, round);
          merged[i].replicas = part.replicas;
          merged[i].sessions = part.sessions;
          merged[i].kind = part.kind;
          mergeInto(merged[i], part);
        }
      }
      if (!parts.empty()) {
        run.baselineSlices.push_back(combine(parts));
        const BaselineResult& b = run.baselineSlices.back();
        progress("baseline next to " + std::to_string(sessions) + " session(s): " +
                 std::to_string(b.pairMs.size()) + " pairs, " + fixed(b.throughput()) +
                 " pairs/s, p50 " + fixed(percentiles(b.pairMs).p50, 2) + " ms");
      }
      for (CellResult& cell : merged) {
        Percentiles p = cell.decided();
        progress(std::to_string(cell.replicas) + " replica(s), " + std::to_string(sessions) +
                 " session(s), " + kindName(kind) + ": " + std::to_string(cell.samples.size()) +
                 " ops in " + fixed(cell.cost.wallSec, 2) + " s, " + fixed(cell.throughput()) +
                 " ops/s, p50 " + fixed(p.p50) + " ms, p99 " + fixed(p.p99) + " ms, " +
                 std::to_string(cell.failures) + " failed" +
                 (cell.firstFailure.empty() ? "" : " (" + cell.firstFailure + ")"));
        run.cells.push_back(std::move(cell));
      }
    }
  measureLogIn(dep, refs, maxReplicas);
  run.baseline = combine(run.baselineSlices);
  if (relay) runLatency(db, probe, cat, o, refs, *relay, maxReplicas, run);
  if (o.busyLoops > 0)
    runLoaded(db, probe, cat, o, refs, maxReplicas, maxSessions, slicePairs, run);
  if (o.consoleCycles > 0) {
    for (int replicas : o.replicas) {
      bindOnly(dep, refs, replicas);
      run.console.push_back(runConsole(db, probe, cat, o, replicas));
      run.console.back().threadStartMs = threadStartCpuMs(replicas, 2000);
    }
    bindOnly(dep, refs, maxReplicas);
  }
  if (maxReplicas > 1 && o.failoverTrials > 0) run.failover = runFailover(db, dep, cat, o);
  run.fsyncAfter = fsyncLatencies(dbDir, 200);
  gDeployment = nullptr;
  run.machine.loadAfter = loadAverage();
  run.totalSec = msBetween(started, Clock::now()) / 1000.0;
  writeReport(run);
  progress("results written to " + o.outDir);
  return 0;
}
