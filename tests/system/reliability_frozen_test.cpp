// A frozen replica that holds the table locks. orderObj0 is stopped (SIGSTOP)
// at the moment the movie tables' write lock is granted to its connection:
// its LOCK TABLES is made to queue first behind a lock of the test's own,
// the process is stopped, and the test's lock is released. The other
// replicas' waits then end at the 8 s lock-wait limit with a message, until
// the database's 30 s idle limit closes the frozen connection and so
// releases the locks. Then orderObj0 is continued (SIGCONT) and must serve
// again.
#include <signal.h>

#include <algorithm>
#include <thread>

#include "SystemScenario.h"

namespace tt {
namespace {

const char* const kMovieLock =
    "lock table movie write, checkedoutmovies write, transactions write, waitlistedmovies write";

// Connections of the replicas waiting in a movie-table lock statement.
std::vector<std::string> lockWaiters(TestDB& db) {
  std::vector<std::string> ids;
  for (const auto& r : db.rows("select id from information_schema.processlist where info like "
                               "'lock table movie%' and state like 'Waiting for table%'"))
    ids.push_back(r[0]);
  return ids;
}

bool connectionOpen(TestDB& db, const std::string& id) {
  return db.count("select count(*) from information_schema.processlist where id = " + id) > 0;
}

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

class ReliabilityFrozen : public SystemScenario {};

TEST_F(ReliabilityFrozen, ReplicaStoppedHoldingTableLocks) {
  startDeployment();
  TestDB watch;
  const std::string baitTitle = "title12";  // outside the load's titles
  MovieInfo baitMovie = makeMovie(baitTitle);
  baitMovie.movieID = static_cast<CORBA::ULong>(
      watch.count("select movieID from movie where title = '" + baitTitle + "'"));
  baitMovie.count = 3;

  // A customer whose order requests reach orderObj0 alone.
  Session bait(800, "fzbait");
  {
    std::vector<CORBA::Object_var> only0;
    only0.push_back(resolve("orderObj0"));
    bait.orders().pin(std::move(only0));
  }
  ASSERT_EQ(bait.createAccount(), Outcome::Success) << bait.last().message;
  ASSERT_EQ(bait.logIn(), Outcome::Success) << bait.last().message;

  LoadOptions o;
  o.sessions = 8;
  o.workload.requests = 100000;  // until stop()
  o.workload.titles = testTitles(8);
  o.userPrefix = "fz";
  LoadRun run(o);
  run.start();
  ASSERT_TRUE(waitFor([&] { return run.requestsDone() >= 80; }, std::chrono::seconds(60)));

  // A quiet moment: no request in flight, no lock held.
  run.pause();
  ASSERT_TRUE(waitFor([&] { return run.parked() == o.sessions; }, std::chrono::seconds(30)));
  TestDB locker;
  locker.exec(std::string(kMovieLock) + ";");

  // The bait's LOCK TABLES queues first; the load queues behind it.
  std::thread baitCall([&] { bait.checkout(baitMovie); });
  ASSERT_TRUE(waitFor([&] { return lockWaiters(watch).size() == 1; }, std::chrono::seconds(5)));
  const std::string frozenConn = lockWaiters(watch)[0];
  run.resume();
  waitFor([&] { return lockWaiters(watch).size() >= 3; }, std::chrono::seconds(2));

  deployment_->orderReplicas[0]->process().signal(SIGSTOP);
  const Clock::time_point frozenAt = Clock::now();
  locker.exec("unlock tables;");

  // The lock is granted to the stopped process's connection.
  ASSERT_TRUE(waitFor(
      [&] {
        auto w = lockWaiters(watch);
        return std::find(w.begin(), w.end(), frozenConn) == w.end();
      },
      std::chrono::seconds(5)));
  // Idle, with the lock: in the process list it sleeps, and the tables are
  // in use.
  auto snapshot = [&] {
    std::string text;
    for (const auto& r : watch.rows("select id, command, time, state, info from "
                                    "information_schema.processlist where user = 'mvrental'"))
      text += r[0] + " " + r[1] + " " + r[2] + "s " + r[3] + " " + r[4].substr(0, 60) + "\n";
    return text;
  };
  ASSERT_EQ(watch.scalar("select command from information_schema.processlist where id = " +
                         frozenConn),
            "Sleep")
      << "orderObj0's connection did not get the lock:\n" << snapshot();
  EXPECT_GT(watch.rows("show open tables where In_use > 0").size(), 0u)
      << "the frozen replica's connection should hold the movie tables:\n" << snapshot();

  // The idle limit closes the frozen connection; the others resume.
  ASSERT_TRUE(waitFor([&] { return !connectionOpen(watch, frozenConn); }, std::chrono::seconds(60)))
      << "the frozen connection was never closed";
  const Clock::time_point releasedAt = Clock::now();
  // Not before the idle limit: until then the locks were held.
  EXPECT_GE(msSince(frozenAt, releasedAt), 25000.0) << snapshot();
  Clock::time_point resumedAt;
  ASSERT_TRUE(waitFor([&] { return firstSuccessAfter(run.records(), frozenAt, &resumedAt); },
                      std::chrono::seconds(60)))
      << "no request succeeded after the freeze";

  // Continued, the replica serves again, reconnecting on its own.
  deployment_->orderReplicas[0]->process().signal(SIGCONT);
  const Clock::time_point continuedAt = Clock::now();
  baitCall.join();
  ASSERT_TRUE(waitFor([&] { return bait.search(baitTitle) == Outcome::Success; },
                      std::chrono::seconds(60)))
      << bait.last().message;
  // The bait's own checkout may have been carried out by the replica once
  // continued; ask for a title it cannot hold yet.
  MovieInfo again;
  ASSERT_EQ(bait.search("title13", &again), Outcome::Success) << bait.last().message;
  EXPECT_EQ(bait.checkout(again), Outcome::Success) << bait.last().message;
  EXPECT_EQ(bait.returnMovie("title13"), Outcome::Success) << bait.last().message;
  const double serveAgainMs = msSince(continuedAt, Clock::now());

  run.stop();
  run.wait();
  auto records = run.records();
  for (const auto& r : bait.records()) records.push_back(r);

  // Nobody waited beyond the limit; what failed during the freeze failed
  // with a message.
  size_t duringFreeze = 0;
  for (const auto& r : records) {
    EXPECT_LE(r.elapsedMs(), 10500.0) << opName(r.op) << " of " << r.user << ": " << r.message;
    if (r.startedAt >= frozenAt && r.decidedAt <= releasedAt && r.outcome != Outcome::Success) {
      ++duringFreeze;
      EXPECT_FALSE(r.message.empty());
    }
  }
  EXPECT_GT(duringFreeze, 0u);

  ScenarioSummary s;
  s.id = "frozen";
  s.scenario = "Frozen replica: SIGSTOP orderObj0 holding the movie table locks, 8 sessions";
  s.recovery = "locks freed after " + seconds(msSince(frozenAt, releasedAt)) +
               ", others served again after " + seconds(msSince(frozenAt, resumedAt));
  s.notes = std::to_string(duringFreeze) +
            " requests not carried out during the freeze, each ended by the lock-wait limit or "
            "the 10 s limit with a message; after SIGCONT orderObj0 served again within " +
            seconds(serveAgainMs);
  s.command = reproduce("reliability_frozen");
  finish(s, records);
}

// A replica that was stopped while a log-in and the log-out after it were
// queued for it carries them out once continued. The log-out emptied the
// user's duplicate-request log in between, so the late log-in is not known
// as done and opens a second session. Disabled: a repro of that fault.
TEST_F(ReliabilityFrozen, LateLogInAfterLogOutOpensNoSession) {
  startDeployment();
  // A client that sends every request to every replica, so that both queue
  // up behind the stopped one.
  SessionOptions everyReplica;
  everyReplica.spareHungReplicas = false;
  Session u(0, "late", "", everyReplica);
  ASSERT_EQ(u.createAccount(), Outcome::Success);
  // Stopped idle, not in the middle of the registration.
  ASSERT_TRUE(waitFor([&] { return u.settled(); }));
  deployment_->accountReplicas[2]->process().signal(SIGSTOP);
  EXPECT_EQ(u.logIn(), Outcome::Success) << u.last().message;
  EXPECT_EQ(u.logOut(), Outcome::Success) << u.last().message;
  deployment_->accountReplicas[2]->process().signal(SIGCONT);
  // Wait until account2 has worked off both.
  ChildProcess& late = deployment_->accountReplicas[2]->process();
  ASSERT_TRUE(waitFor(
      [&] {
        std::string out = late.output();
        size_t at = out.find("logOut(): Username passed");
        return at != std::string::npos && out.find("Unlocked tables", at) != std::string::npos;
      },
      std::chrono::seconds(30)))
      << late.output();
  TestDB db;
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'late'"), 0)
      << "a session nobody asked for is open";
  InvariantResult inv = checkInvariants(db, baseline_, u.records());
  EXPECT_TRUE(inv.ok()) << inv.describe();
}

// The same with a registration: a replica stopped while the registration,
// log-in, discontinuation and log-out of a customer were queued for it brings
// the discontinued account back once continued. Disabled: a repro.
TEST_F(ReliabilityFrozen, LateRegistrationDoesNotBringBackADiscontinuedAccount) {
  startDeployment();
  SessionOptions everyReplica;  // all four queue up behind the stopped replica
  everyReplica.spareHungReplicas = false;
  Session u(0, "gone", "", everyReplica);
  // The client has talked to account2 before: its connection is open.
  EXPECT_EQ(u.countHeld(), Outcome::Refused);
  ASSERT_TRUE(waitFor([&] { return u.settled(); }));
  ChildProcess& late = deployment_->accountReplicas[2]->process();
  late.signal(SIGSTOP);
  EXPECT_EQ(u.createAccount(), Outcome::Success) << u.last().message;
  EXPECT_EQ(u.logIn(), Outcome::Success) << u.last().message;
  EXPECT_EQ(u.discontinue(), Outcome::Success) << u.last().message;
  EXPECT_EQ(u.logOut(), Outcome::Success) << u.last().message;
  late.signal(SIGCONT);
  ASSERT_TRUE(waitFor(
      [&] {
        std::string out = late.output();
        size_t at = out.find("logOut(): Username passed");
        return at != std::string::npos && out.find("Unlocked tables", at) != std::string::npos;
      },
      std::chrono::seconds(60)))
      << late.output();
  TestDB db;
  EXPECT_EQ(db.count("select count(*) from user where username = 'gone'"), 0)
      << "the discontinued account is back";
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'gone'"), 0)
      << "and has a session";
}

// Replicas of one request can reach different answers: a checkout refused
// for want of a copy is not logged, so a replica that runs it after a copy
// came back carries it out, while the customer was told it was refused.
// Here orderObj0 is stopped while the checkout is sent, the other replicas
// refuse it, a copy is returned, and orderObj0 is continued. Disabled: a
// repro of that fault.
TEST_F(ReliabilityFrozen, RefusedCheckoutIsNotCarriedOutLater) {
  startDeployment();
  Session keeper(0, "keeper"), asker(1, "asker");
  MovieInfo m;
  for (Session* s : {&keeper, &asker}) {
    ASSERT_EQ(s->createAccount(), Outcome::Success);
    ASSERT_EQ(s->logIn(), Outcome::Success);
    ASSERT_EQ(s->search("Casablanca", &m), Outcome::Success);  // opens the connections
  }
  ASSERT_EQ(m.count, 1u);
  ASSERT_EQ(keeper.checkout(m), Outcome::Success);
  ASSERT_TRUE(waitFor([&] { return keeper.settled() && asker.settled(); }));

  ChildProcess& late = deployment_->orderReplicas[0]->process();
  late.signal(SIGSTOP);
  m.count = 0;
  EXPECT_EQ(asker.checkout(m), Outcome::Refused);
  EXPECT_EQ(asker.last().message, "No more copies of the movie available :(");
  EXPECT_EQ(keeper.returnMovie("Casablanca"), Outcome::Success) << keeper.last().message;
  late.signal(SIGCONT);
  ASSERT_TRUE(waitFor(
      [&] {
        std::string out = late.output();
        size_t at = out.find("Movie::returnMovie called");
        return at != std::string::npos && out.find("Unlocked tables", at) != std::string::npos;
      },
      std::chrono::seconds(30)))
      << late.output();
  TestDB db;
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'asker'"), 0)
      << "the customer was told the checkout was refused, but holds the movie";
}

}  // namespace
}  // namespace tt
