// Frozen replicas and late requests. The main scenario stops orderObj0
// (SIGSTOP) at the moment a title's row lock is granted to its connection:
// its lock statement is made to queue first behind a lock of the test's
// own, the process is stopped, and the test's lock is released. The short
// idle limit a request runs under closes the frozen connection within
// seconds, and with it the lock; requests for other titles never wait for
// it. Then orderObj0 is continued (SIGCONT) and must serve again.
// The other scenarios check that late and staggered replicas never tell a
// customer something other than what happened.
#include <signal.h>

#include <algorithm>
#include <thread>

#include "RequestDeadline.h"
#include "SystemScenario.h"

namespace tt {
namespace {

// Another program holding the rental tables whole.
const char* const kMovieLock =
    "lock table movie write, checkedoutmovies write, transactions write, waitlistedmovies write";

// The database's own tables of transactions and locks are a snapshot it
// renews only once nobody has read them for a tenth of a second, so a poll
// every few milliseconds would watch a frozen picture. The process list and
// a lock attempt of the test's own are read live.

// Connections running the lock statement of a request for title `movieID`,
// whether still waiting or done with it ("Sleep": the row is theirs).
std::vector<std::vector<std::string>> rowLockers(TestDB& db, unsigned long movieID) {
  return db.rows("select id, command from information_schema.processlist where info like "
                 "'%from movie where movieID in (" + std::to_string(movieID) +
                 ")%for update%' and user = 'mvrental'");
}

std::string connectionCommand(TestDB& db, const std::string& id) {
  return db.scalar("select command from information_schema.processlist where id = " + id);
}

// Whether another connection holds the title's row: a lock attempt that
// gives up at once instead of queueing. On its own it commits at once and
// holds nothing.
bool rowHeldByOther(TestDB& db, unsigned long movieID) {
  return !db.tryExec("select movieID from movie where movieID = " + std::to_string(movieID) +
                     " for update nowait");
}

double msSince(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Whether a replica's output shows the request that `entry` opened as
// handled to the end: carried out or refused under the lock, answered from
// the request log or, a log-out whose session is gone, without the lock, or
// refused because its client had stopped waiting.
bool handled(const std::string& out, const std::string& entry, const std::string& operation) {
  size_t at = out.find(entry);
  if (at == std::string::npos) return out.find("could not serve " + operation) != std::string::npos;
  return out.find("Unlocked rows", at) != std::string::npos ||
         out.find("answered from the request log", at) != std::string::npos ||
         out.find("answered without the lock", at) != std::string::npos ||
         out.find("nothing to end", at) != std::string::npos ||
         out.find("could not serve " + operation, at) != std::string::npos;
}

class ReliabilityFrozen : public SystemScenario {};

TEST_F(ReliabilityFrozen, ReplicaStoppedHoldingARowLock) {
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

  // A customer whose order requests reach the other two replicas.
  Session probe(801, "fzprobe");
  ASSERT_EQ(probe.createAccount(), Outcome::Success) << probe.last().message;
  ASSERT_EQ(probe.logIn(), Outcome::Success) << probe.last().message;
  MovieInfo probeMovie;
  ASSERT_EQ(probe.search("title14", &probeMovie), Outcome::Success) << probe.last().message;
  {
    std::vector<CORBA::Object_var> others;
    others.push_back(resolve("orderObj1"));
    others.push_back(resolve("orderObj2"));
    probe.orders().pin(std::move(others));
  }

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
  // The bait title's row, as another request would hold it.
  TestDB locker;
  locker.exec("start transaction");
  locker.exec("select movieID from movie where movieID = " + std::to_string(baitMovie.movieID) +
              " for update");

  // The bait's row lock queues; the load's titles are not its.
  std::thread baitCall([&] { bait.checkout(baitMovie); });
  struct Joiner {
    std::thread& t;
    ~Joiner() {
      if (t.joinable()) t.join();
    }
  } joinBait{baitCall};
  // The bait's lock statement, and no other, waits on the row.
  std::string frozenConn;
  ASSERT_TRUE(waitFor(
      [&] {
        auto w = rowLockers(watch, baitMovie.movieID);
        if (w.size() != 1 || w[0][1] != "Query") return false;
        frozenConn = w[0][0];
        return true;
      },
      std::chrono::seconds(5)));
  run.resume();

  ASSERT_TRUE(deployment_->orderReplicas[0]->process().stop());
  const Clock::time_point frozenAt = Clock::now();
  locker.exec("rollback");
  std::thread probeCall([&] { probe.checkout(probeMovie); });
  struct JoinProbe {
    std::thread& t;
    ~JoinProbe() {
      if (t.joinable()) t.join();
    }
  } joinProbe{probeCall};

  // The lock is granted to the stopped process's connection: its statement
  // is done, and it sleeps with the row.
  auto snapshot = [&] {
    std::string text;
    for (const auto& r : watch.rows("select id, command, time, state, info from "
                                    "information_schema.processlist where user = 'mvrental'"))
      text += r[0] + " " + r[1] + " " + r[2] + "s " + r[3] + " " + r[4].substr(0, 60) + "\n";
    return text;
  };
  ASSERT_TRUE(waitFor([&] { return connectionCommand(watch, frozenConn) != "Query"; },
                      std::chrono::seconds(5)))
      << "orderObj0's connection " << frozenConn << " still waits for the row:\n" << snapshot();
  ASSERT_EQ(connectionCommand(watch, frozenConn), "Sleep")
      << "orderObj0's connection " << frozenConn << " did not get the lock:\n" << snapshot();
  EXPECT_TRUE(rowHeldByOther(watch, baitMovie.movieID))
      << "the frozen replica's connection should hold the title's row:\n" << snapshot();

  // The idle limit closes the frozen connection within seconds, and the
  // database rolls its transaction back: the row is free.
  ASSERT_TRUE(waitFor([&] { return !rowHeldByOther(watch, baitMovie.movieID); },
                      std::chrono::seconds(60)))
      << "the frozen connection never let go of the row:\n" << snapshot();
  const Clock::time_point releasedAt = Clock::now();
  EXPECT_GE(msSince(frozenAt, releasedAt), 2000.0) << snapshot();
  EXPECT_TRUE(connectionCommand(watch, frozenConn).empty()) << snapshot();
  EXPECT_LE(msSince(frozenAt, releasedAt), 5000.0) << "the frozen holder kept its row";
  Clock::time_point resumedAt;
  ASSERT_TRUE(waitFor([&] { return firstSuccessAfter(run.records(), frozenAt, &resumedAt); },
                      std::chrono::seconds(60)))
      << "no request succeeded after the freeze";
  // A checkout of another title sent to the other replicas at the freeze is
  // carried out within 5 s of it: the frozen holder's row is not its.
  probeCall.join();
  ASSERT_EQ(probe.last().op, Op::Checkout);
  EXPECT_EQ(probe.last().outcome, Outcome::Success) << probe.last().message;
  const Clock::time_point rentedAt = probe.last().decidedAt;
  EXPECT_LE(msSince(frozenAt, rentedAt), 5000.0) << "the probe's checkout after the freeze";

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
  for (const auto& r : probe.records()) records.push_back(r);

  // Nobody waited beyond the limit; what was sent during the freeze was
  // served once the locks were free, or failed with a message.
  size_t duringFreeze = 0, servedAfter = 0;
  for (const auto& r : records) {
    EXPECT_LE(r.elapsedMs(), 10500.0) << opName(r.op) << " of " << r.user << ": " << r.message;
    // Sent before the locks were free, decided after the freeze.
    if (r.decidedAt < frozenAt || r.startedAt > releasedAt || r.session >= 800) continue;
    if (r.outcome == Outcome::Success || isBusinessRefusal(r)) {
      ++servedAfter;
    } else {
      ++duringFreeze;
      EXPECT_FALSE(r.message.empty());
    }
  }

  ScenarioSummary s;
  s.id = "frozen";
  s.scenario = "Frozen replica: SIGSTOP orderObj0 holding a title's row lock, 8 sessions";
  s.recovery = "locks freed after " + seconds(msSince(frozenAt, releasedAt)) +
               ", first checkout by another replica after " +
               seconds(msSince(frozenAt, rentedAt));
  // The requests queued at the freeze had waited before it too, behind the
  // test's own lock that set the freeze up; what the freeze cost them is
  // their wait after it.
  double afterFreeze = 0;
  for (const auto& r : records)
    if (r.session < 800 && r.endedAt > frozenAt)
      afterFreeze = std::max(afterFreeze, msSince(std::max(r.startedAt, frozenAt), r.endedAt));
  s.notes = "the load waited at most " + seconds(afterFreeze) + " after the freeze; " +
            std::to_string(servedAfter) +
            " requests waiting at the freeze served once the " +
            "locks were free, " + std::to_string(duringFreeze) +
            " not carried out (each with a message); after SIGCONT orderObj0 served again " +
            "within " + seconds(serveAgainMs);
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
  ASSERT_TRUE(deployment_->accountReplicas[2]->process().stop());
  EXPECT_EQ(u.logIn(), Outcome::Success) << u.last().message;
  EXPECT_EQ(u.logOut(), Outcome::Success) << u.last().message;
  deployment_->accountReplicas[2]->process().signal(SIGCONT);
  // Wait until account2 has worked off both.
  ChildProcess& late = deployment_->accountReplicas[2]->process();
  ASSERT_TRUE(waitFor([&] { return handled(late.output(), "logOut(): Username passed", "logOut"); },
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
  ASSERT_TRUE(late.stop());
  EXPECT_EQ(u.createAccount(), Outcome::Success) << u.last().message;
  EXPECT_EQ(u.logIn(), Outcome::Success) << u.last().message;
  EXPECT_EQ(u.discontinue(), Outcome::Success) << u.last().message;
  EXPECT_EQ(u.logOut(), Outcome::Success) << u.last().message;
  late.signal(SIGCONT);
  ASSERT_TRUE(waitFor([&] { return handled(late.output(), "logOut(): Username passed", "logOut"); },
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
  ASSERT_TRUE(late.stop());
  m.count = 0;
  EXPECT_EQ(asker.checkout(m), Outcome::Refused);
  EXPECT_EQ(asker.last().message, "No more copies of the movie available :(");
  EXPECT_EQ(keeper.returnMovie("Casablanca"), Outcome::Success) << keeper.last().message;
  late.signal(SIGCONT);
  ASSERT_TRUE(waitFor([&] { return handled(late.output(), "Movie::returnMovie called", "returnMovie"); },
                      std::chrono::seconds(30)))
      << late.output();
  TestDB db;
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'asker'"), 0)
      << "the customer was told the checkout was refused, but holds the movie";
}


// Replica 0 meets the held tables first; replicas 1 and 2 come 1.5 s later,
// so replica 0's lock wait runs out first while the others may still get
// the lock. Replica 0 must not decide the request by a refusal: it answers
// TRANSIENT, and what the customer is told matches the tables.
TEST_F(ReliabilityFrozen, StaggeredLockWaitsTellTheCustomerWhatHappened) {
  startDeployment();
  Session c(0, "stagger");
  ASSERT_EQ(c.createAccount(), Outcome::Success) << c.last().message;
  ASSERT_EQ(c.logIn(), Outcome::Success) << c.last().message;
  MovieInfo m;
  ASSERT_EQ(c.search("title5", &m), Outcome::Success) << c.last().message;

  TestDB locker;
  locker.exec(std::string(kMovieLock) + ";");
  ChildProcess& r1 = deployment_->orderReplicas[1]->process();
  ChildProcess& r2 = deployment_->orderReplicas[2]->process();
  ASSERT_TRUE(r1.stop());
  ASSERT_TRUE(r2.stop());
  const Clock::time_point sent = Clock::now();
  std::thread call([&] { c.checkout(m); });
  // The stagger and the hold are the scenario itself, not waits for
  // readiness.
  std::this_thread::sleep_until(sent + std::chrono::milliseconds(1500));
  r1.signal(SIGCONT);
  r2.signal(SIGCONT);
  std::this_thread::sleep_until(sent + std::chrono::seconds(9));
  locker.exec("unlock tables;");
  call.join();

  const RequestRecord r = c.last();
  TestDB db;
  const long long held =
      db.count("select count(*) from checkedoutmovies where username = 'stagger'");
  if (r.outcome == Outcome::Success)
    EXPECT_EQ(held, 1) << "told it was checked out";
  else
    EXPECT_EQ(held, 0) << "told " << outcomeName(r.outcome) << ": " << r.message;
  EXPECT_FALSE(r.outcome == Outcome::Refused) << "a lock wait decided the request: " << r.message;
  EXPECT_NE(deployment_->orderReplicas[0]->process().output().find(
                "could not serve checkOutMovie"),
            std::string::npos)
      << "replica 0's lock wait should have run out";

  ScenarioSummary s;
  s.id = "staggered";
  s.scenario = "Staggered race: movie tables held 9 s, orderObj1 and 2 held back 1.5 s";
  s.notes = std::string("told: ") + outcomeName(r.outcome) +
            (r.decidedBy >= 0 ? " by replica " + std::to_string(r.decidedBy)
                              : std::string(r.toldNoEffect ? ", did not take effect" : "")) +
            "; " + std::to_string(held) +
            " copies held; orderObj0 answered TRANSIENT when its lock wait ran out";
  s.command = reproduce("reliability_frozen");
  finish(s, c.records());
}

// A request that sat in the socket of a frozen replica beyond its client's
// deadline: once the replica is continued it finds the deadline gone and
// refuses the work, so the request never takes effect. (The console's
// deadline and call timeout are both 10 s; here the deadline is shorter, so
// that the refusal reaches the caller.)
TEST_F(ReliabilityFrozen, RequestQueuedAtAFrozenReplicaNeverTakesEffect) {
  startDeployment();
  Session c(0, "queued");
  ASSERT_EQ(c.createAccount(), Outcome::Success) << c.last().message;
  ASSERT_EQ(c.logIn(), Outcome::Success) << c.last().message;
  MovieInfo m;
  ASSERT_EQ(c.search("title6", &m), Outcome::Success) << c.last().message;

  ChildProcess& frozen = deployment_->orderReplicas[0]->process();
  // A connection to it is open and idle before the freeze: a new one would
  // wait for the TLS handshake, which a frozen replica cannot answer, and
  // the request would never reach its socket.
  OrderFulfillment_var order = deployment_->orders()[0];
  ASSERT_FALSE(order->_non_existent());
  // Stopped for certain before the request is sent, so that it waits in the
  // socket, not in the middle of the work.
  ASSERT_TRUE(frozen.stop());
  const auto deadline = std::chrono::system_clock::now() + std::chrono::seconds(3);
  std::string result;
  std::thread call([&] {
    RequestDeadline::setForThisThread(deadline);
    Ticket t = c.ticket();
    try {
      order->checkOutMovie(m, t, makeTrans(c.clientID(), 777));
      result = "ok";
    } catch (const CORBA::TRANSIENT& e) {
      result = e.completed() == CORBA::COMPLETED_NO ? "TRANSIENT, completed no" : "TRANSIENT";
    } catch (const CORBA::Exception& e) {
      result = e._name();
    }
    RequestDeadline::clearForThisThread();
  });
  // The freeze outlasts the deadline: that is the scenario, not a wait.
  std::this_thread::sleep_until(deadline + std::chrono::seconds(1));
  frozen.signal(SIGCONT);
  call.join();
  EXPECT_EQ(result, "TRANSIENT, completed no");
  EXPECT_EQ(frozen.output().find("Movie::checkoutMovie called"), std::string::npos)
      << "the work was started after the client's deadline";

  TestDB db;
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'queued'"), 0);
  EXPECT_EQ(db.count("select count(*) from transactions where username = 'queued' and "
                     "transactionID = 777"),
            0);
  // The replica serves again.
  EXPECT_EQ(c.search("title6"), Outcome::Success) << c.last().message;
}

// Sessions whose clocks are 15 s behind and ahead of the replicas' are
// served; with the clock 5 s ahead, a checkout that sat at a frozen replica
// beyond the session's limit is refused when the replica goes on, because
// its deadline was stated in the replica's own clock.
TEST_F(ReliabilityFrozen, SkewedClientClockIsServedAndItsQueuedCheckoutNeverTakesEffect) {
  startDeployment();
  for (const int shiftMs : {-15000, 15000}) {
    Session c(shiftMs < 0 ? 1 : 2, shiftMs < 0 ? "behind" : "ahead");
    c.clocks().setShift(std::chrono::milliseconds(shiftMs));
    ASSERT_EQ(c.createAccount(), Outcome::Success) << shiftMs << " " << c.last().message;
    ASSERT_EQ(c.logIn(), Outcome::Success) << c.last().message;
    MovieInfo m;
    ASSERT_EQ(c.search("title6", &m), Outcome::Success) << c.last().message;
    ASSERT_EQ(c.checkout(m), Outcome::Success) << c.last().message;
    ASSERT_EQ(c.returnMovie("title6"), Outcome::Success) << c.last().message;
  }

  SessionOptions options;
  options.limit = std::chrono::milliseconds(3000);
  Session c(3, "skewed", "", options);
  c.clocks().setShift(std::chrono::milliseconds(5000));
  ASSERT_EQ(c.createAccount(), Outcome::Success) << c.last().message;
  ASSERT_EQ(c.logIn(), Outcome::Success) << c.last().message;
  // Only orderObj0, so that no other replica carries the checkout out; its
  // clock is measured by the search.
  std::vector<CORBA::Object_var> only;
  only.push_back(CORBA::Object::_duplicate(deployment_->orders()[0].in()));
  c.orders().pin(std::move(only));
  MovieInfo m;
  ASSERT_EQ(c.search("title6", &m), Outcome::Success) << c.last().message;

  ChildProcess& frozen = deployment_->orderReplicas[0]->process();
  const size_t mark = frozen.output().size();  // the sessions above rented here too
  ASSERT_TRUE(frozen.stop());
  const auto frozenAt = Clock::now();
  EXPECT_NE(c.checkout(m), Outcome::Success);
  // The freeze outlasts the session's limit: that is the scenario, not a wait.
  std::this_thread::sleep_until(frozenAt + std::chrono::seconds(5));
  frozen.signal(SIGCONT);
  ASSERT_TRUE(waitFor([&] {
    return frozen.output().find("deadline passed before the request was served", mark) !=
           std::string::npos;
  })) << frozen.output();
  EXPECT_EQ(frozen.output().find("Movie::checkoutMovie called", mark), std::string::npos)
      << "the work was started after the session stopped waiting";
  TestDB db;
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'skewed'"), 0);
  EXPECT_EQ(c.search("title6"), Outcome::Success) << c.last().message;
}

}  // namespace
}  // namespace tt
