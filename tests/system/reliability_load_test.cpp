// Load: many customers renting at once through 3 account and 3 order
// replicas, every request sent to every replica. Nothing is failed on
// purpose; the invariants must hold and no request may be lost.
#include <memory>
#include <thread>

#include "SystemScenario.h"

namespace tt {
namespace {

class ReliabilityLoad : public SystemScenario {};

TEST_F(ReliabilityLoad, SixteenSessions) {
  startDeployment();
  LoadOptions o;
  o.sessions = 16;
  o.workload.requests = 300;
  // 8 titles, 24 copies for 16 customers: copies run out, so waiting
  // lists, the limit of three and the serving of waiting customers all occur.
  o.workload.titles = testTitles(8);
  o.userPrefix = "ld";
  LoadRun run(o);
  run.start();
  run.wait();
  auto records = run.records();

  // Without faults every request is decided by a replica.
  for (const auto& r : records) {
    EXPECT_TRUE(r.outcome == Outcome::Success || r.outcome == Outcome::Refused)
        << opName(r.op) << " of " << r.user << ": " << outcomeName(r.outcome) << ": "
        << r.message;
  }
  size_t waitlisted = 0, limit = 0;
  for (const auto& r : records) {
    if (r.op == Op::Waitlist && r.outcome == Outcome::Success) ++waitlisted;
    if (r.message.find("Placed in waitlist though!") != std::string::npos) ++limit;
  }
  ScenarioSummary s;
  s.id = "load-16";
  s.scenario = "Load: 16 sessions x 300 requests, 8 titles";
  s.notes = std::to_string(waitlisted) + " waitlisted, " + std::to_string(limit) +
            " refused at the limit of three";
  s.command = reproduce("reliability_load");
  finish(s, records);
}

TEST_F(ReliabilityLoad, SoakSixtyFourSessions) {
  startDeployment();
  LoadOptions o;
  o.sessions = 64;
  o.workload.requests = 300;
  o.workload.titles = testTitles(20);
  o.userPrefix = "soak";
  o.seed = 77;
  LoadRun run(o);
  run.start();
  run.wait();
  auto records = run.records();
  for (const auto& r : records) {
    EXPECT_TRUE(r.outcome == Outcome::Success || r.outcome == Outcome::Refused)
        << opName(r.op) << " of " << r.user << ": " << outcomeName(r.outcome) << ": "
        << r.message;
  }
  ScenarioSummary s;
  s.id = "soak-64";
  s.scenario = "Soak: 64 sessions x 300 requests, 20 titles";
  s.command = reproduce("reliability_load");
  finish(s, records);
}

// Many customers at once for the last copies of a few titles: every copy
// is fought over, waiting lists are served while others check out, and
// customers reach the limit of three. Each replica serves its requests side
// by side on its pool of connections; the rules must hold all the same.
TEST_F(ReliabilityLoad, RaceForTheLastCopiesAndTheLimitOfThree) {
  startDeployment();
  LoadOptions o;
  o.sessions = 24;
  o.workload.requests = 60;
  o.workload.titles = testTitles(10);  // 30 copies for 24 customers
  o.userPrefix = "race";
  o.seed = 25;
  // One customer's six checkouts of six titles at once, from six consoles
  // sharing its session: exactly three are carried out.
  std::vector<std::unique_ptr<Session>> consoles;
  for (int i = 0; i < 6; ++i) consoles.push_back(std::make_unique<Session>(900 + i, "racecap"));
  ASSERT_EQ(consoles[0]->createAccount(), Outcome::Success) << consoles[0]->last().message;
  ASSERT_EQ(consoles[0]->logIn(), Outcome::Success) << consoles[0]->last().message;
  std::vector<MovieInfo> wanted(consoles.size());
  for (size_t i = 0; i < consoles.size(); ++i) {
    consoles[i]->ticket() = consoles[0]->ticket();
    ASSERT_EQ(consoles[i]->search(o.workload.titles[i], &wanted[i]), Outcome::Success);
  }
  {
    std::vector<std::thread> racers;
    for (size_t i = 0; i < consoles.size(); ++i)
      racers.emplace_back([&, i] { consoles[i]->checkout(wanted[i]); });
    for (auto& t : racers) t.join();
  }
  int carriedOut = 0;
  for (const auto& c : consoles) {
    if (c->last().outcome == Outcome::Success) ++carriedOut;
    else
      EXPECT_NE(c->last().message.find("already has 3 movies"), std::string::npos)
          << c->last().message;
  }
  EXPECT_EQ(carriedOut, 3);
  LoadRun run(o);
  run.start();
  run.wait();
  auto records = run.records();
  for (const auto& c : consoles)
    for (const auto& r : c->records()) records.push_back(r);
  size_t noCopy = 0, limit = 0, waitlisted = 0;
  for (const auto& r : records) {
    EXPECT_TRUE(r.outcome == Outcome::Success || r.outcome == Outcome::Refused)
        << opName(r.op) << " of " << r.user << ": " << outcomeName(r.outcome) << ": "
        << r.message;
    if (r.message.find("No more copies") != std::string::npos) ++noCopy;
    if (r.message.find("already has 3 movies") != std::string::npos) ++limit;
    if (r.op == Op::Waitlist && r.outcome == Outcome::Success) ++waitlisted;
  }
  // The race took place: copies ran out and the limit was met.
  EXPECT_GT(noCopy + waitlisted, 0u);
  EXPECT_GE(limit, 3u);
  ScenarioSummary s;
  s.id = "race-24";
  s.scenario = "Race: 24 sessions x 60 requests for the 30 copies of 10 titles";
  s.notes = std::to_string(noCopy) + " found no copy, " + std::to_string(waitlisted) +
            " waitlisted, " + std::to_string(limit) + " refused at the limit of three";
  s.command = reproduce("reliability_load");
  finish(s, records);
}

// A checkout held up inside the database (its title's row is locked
// elsewhere) keeps no other customer's checkout of another title waiting:
// both are in the database at the same time, and the second is done first.
TEST_F(ReliabilityLoad, CheckoutsOfOtherTitlesByOtherCustomersRunSideBySide) {
  startDeployment();
  Session held(0, "sideheld"), free(1, "sidefree");
  MovieInfo heldTitle, freeTitle;
  for (Session* c : {&held, &free}) {
    ASSERT_EQ(c->createAccount(), Outcome::Success) << c->last().message;
    ASSERT_EQ(c->logIn(), Outcome::Success) << c->last().message;
  }
  ASSERT_EQ(held.search("title1", &heldTitle), Outcome::Success);
  ASSERT_EQ(free.search("title2", &freeTitle), Outcome::Success);

  TestDB locker, watch;
  locker.exec("start transaction");
  locker.exec("select movieID from movie where movieID = " + std::to_string(heldTitle.movieID) +
              " for update");
  std::thread first([&] { held.checkout(heldTitle); });
  struct Joiner {
    std::thread& t;
    ~Joiner() {
      if (t.joinable()) t.join();
    }
  } join{first};
  // The first checkout is in the database, waiting for its title's row.
  const std::string waiting = "select count(*) from information_schema.processlist where "
                              "command = 'Query' and info like '%from movie where movieID in (" +
                              std::to_string(heldTitle.movieID) + ")%for update%'";
  ASSERT_TRUE(waitFor([&] { return watch.count(waiting) > 0; }, std::chrono::seconds(5)));
  EXPECT_EQ(free.checkout(freeTitle), Outcome::Success) << free.last().message;
  EXPECT_LT(free.last().elapsedMs(), 3000.0) << "the second checkout waited for the first";
  EXPECT_GT(watch.count(waiting), 0) << "the first checkout is still in the database";
  locker.exec("rollback");
  first.join();
  EXPECT_EQ(held.last().outcome, Outcome::Success) << held.last().message;

  auto records = held.records();
  for (const auto& r : free.records()) records.push_back(r);
  ScenarioSummary s;
  s.id = "side-by-side";
  s.scenario = "Two checkouts of two titles by two customers, the first held in the database";
  s.notes = "the second was done in " + seconds(free.last().elapsedMs()) +
            " while the first waited for its title's row";
  s.command = reproduce("reliability_load");
  finish(s, records);
}

// A customer may rent a second copy of a title held already (nothing forbids
// it); returning that title must not lose a copy of the catalogue. Disabled:
// the return deletes every row of the title held by the customer but puts
// one copy back (src/orders/Movie.cpp, _returnMovie), so a copy is lost; enable it
// with the fix.
TEST_F(ReliabilityLoad, SecondCopyOfOneTitleSurvivesItsReturn) {
  startDeployment();
  Session s(0, "twice");
  ASSERT_EQ(s.createAccount(), Outcome::Success);
  ASSERT_EQ(s.logIn(), Outcome::Success);
  MovieInfo m;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(s.search("title1", &m), Outcome::Success);
    ASSERT_EQ(s.checkout(m), Outcome::Success) << s.last().message;
  }
  s.returnMovie("title1");
  s.returnMovie("title1");
  TestDB db;
  InvariantResult inv = checkInvariants(db, baseline_, s.records());
  EXPECT_TRUE(inv.ok()) << inv.describe();
}

}  // namespace
}  // namespace tt
