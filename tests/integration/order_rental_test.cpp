// Checkout, waitlist and return requests, and the waiting lists a return
// serves, against three real order replicas.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Contract.h"
#include "RequestDeadline.h"
#include "TestSupport.h"

namespace {

using tt::outcome;

const CORBA::Long kToken = 1700000000;
const char* const kLimitWaitlisted =
    "The client already has 3 movies with him. So he cannot checkout a movie until he returns "
    "one. Placed in waitlist though!";
const char* const kNoCopies = "No more copies of the movie available :(";
const char* const kBadTicket = "more than one or no user found with the same uname/ticket\n";

// Catalogue ids used below.
const CORBA::ULong kGodfather = 1, kSchindler = 2, kCasablanca = 4, kJaws = 5, kStarWars = 6,
                   kAlien = 17, kFargo = 19;

}  // namespace

class OrderRentalTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { deployment_ = new tt::Deployment(0, 3); }
  static void TearDownTestSuite() {
    delete deployment_;
    deployment_ = nullptr;
  }

  void SetUp() override {
    db.reset();
    db.exec("drop trigger if exists fail_checkout");
    orders = deployment_->orders();
    ASSERT_EQ(orders.size(), 3u);
  }
  void TearDown() override { db.exec("drop trigger if exists fail_checkout"); }

  void openSession(const std::string& user, CORBA::Long token = kToken) {
    db.addSession(user, token);
  }
  void hold(const std::string& user, CORBA::ULong movieID) {
    db.exec("insert into checkedoutmovies values ('" + db.escape(user) + "', " +
            std::to_string(movieID) + ")");
  }
  // Waiting rows with explicit times, so that the order is defined.
  void wait(const std::string& user, CORBA::ULong movieID, const std::string& when) {
    db.exec("insert into waitlistedmovies values ('" + user + "', " + std::to_string(movieID) +
            ", '" + when + "')");
  }
  void setCount(CORBA::ULong movieID, int count) {
    db.exec("update movie set count = " + std::to_string(count) +
            " where movieID = " + std::to_string(movieID));
  }
  long long countOf(CORBA::ULong movieID) {
    return db.count("select count from movie where movieID = " + std::to_string(movieID));
  }
  long long held(const std::string& user, CORBA::ULong movieID) {
    return db.count("select count(*) from checkedoutmovies where username = '" + user +
                    "' and movieID = " + std::to_string(movieID));
  }
  long long heldTotal(const std::string& user) {
    return db.count("select count(*) from checkedoutmovies where username = '" + user + "'");
  }
  long long waiting(const std::string& user, CORBA::ULong movieID) {
    return db.count("select count(*) from waitlistedmovies where username = '" + user +
                    "' and movieID = " + std::to_string(movieID));
  }
  long long logged() { return db.count("select count(*) from transactions"); }

  std::string checkout(size_t replica, const std::string& user, CORBA::ULong movieID,
                       short trans, CORBA::Long token = kToken) {
    MovieInfo m = tt::makeMovie("");
    m.movieID = movieID;
    Ticket t = tt::makeTicket(user, token);
    ClientTransaction ct = tt::makeTrans("client-" + user, trans);
    return outcome([&] { orders[replica]->checkOutMovie(m, t, ct); });
  }
  std::string waitlist(size_t replica, const std::string& user, CORBA::ULong movieID,
                       short trans, CORBA::Long token = kToken) {
    MovieInfo m = tt::makeMovie("");
    m.movieID = movieID;
    Ticket t = tt::makeTicket(user, token);
    ClientTransaction ct = tt::makeTrans("client-" + user, trans);
    return outcome([&] { orders[replica]->placeInWaitlist(m, t, ct); });
  }
  std::string giveBack(size_t replica, const std::string& user, MovieInfo& m, short trans) {
    Ticket t = tt::makeTicket(user, kToken);
    ClientTransaction ct = tt::makeTrans("client-" + user, trans);
    return outcome([&] { orders[replica]->returnMovie(m, t, ct); });
  }

  static tt::Deployment* deployment_;
  tt::TestDB db;
  std::vector<OrderFulfillment_var> orders;
};

tt::Deployment* OrderRentalTest::deployment_ = nullptr;

TEST_F(OrderRentalTest, ThirdMovieIsGrantedAndTheLimitWaitlistsOnceEvenWithCopiesFree) {
  openSession("alice");
  hold("alice", kGodfather);
  hold("alice", kSchindler);

  EXPECT_EQ(checkout(0, "alice", kJaws, 1), "ok");
  EXPECT_EQ(held("alice", kJaws), 1);
  EXPECT_EQ(countOf(kJaws), 2);

  // Star Wars has copies, but alice is at the limit: every replica refuses
  // alike, and the waiting row the refusal promises is kept, once.
  for (size_t r = 0; r < 3; ++r) EXPECT_EQ(checkout(r, "alice", kStarWars, 2), kLimitWaitlisted);
  EXPECT_EQ(checkout(1, "alice", kStarWars, 3), kLimitWaitlisted);
  EXPECT_EQ(waiting("alice", kStarWars), 1);
  EXPECT_EQ(held("alice", kStarWars), 0);
  EXPECT_EQ(countOf(kStarWars), 5);
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'alice'"), 3);
  // The granted checkout and each refused request are logged once; the
  // replicas that come later repeat the logged refusal.
  EXPECT_EQ(logged(), 3);

  // A waitlist request at the limit with copies free is a checkout, refused alike.
  EXPECT_EQ(waitlist(2, "alice", kJaws, 4), kLimitWaitlisted);
  EXPECT_EQ(waiting("alice", kJaws), 1);
  EXPECT_EQ(countOf(kJaws), 2);
}

TEST_F(OrderRentalTest, TheLimitDoesNotWaitlistAnUnknownMovie) {
  openSession("alice");
  hold("alice", kGodfather);
  hold("alice", kSchindler);
  hold("alice", kJaws);
  EXPECT_EQ(checkout(0, "alice", 9999, 1), "Movie ID not found\n");
  EXPECT_EQ(db.count("select count(*) from waitlistedmovies"), 0);
}

TEST_F(OrderRentalTest, NoCopyLeftRefusesAndLeavesNothingBehind) {
  openSession("alice");
  setCount(kCasablanca, 0);
  for (size_t r = 0; r < 3; ++r) EXPECT_EQ(checkout(r, "alice", kCasablanca, 1), kNoCopies);
  EXPECT_EQ(countOf(kCasablanca), 0);
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies"), 0);
  EXPECT_EQ(db.count("select count(*) from waitlistedmovies"), 0);
  EXPECT_EQ(logged(), 1);

  // A copy comes back before a slow replica runs the same request: it gives
  // the answer the client already has instead of carrying the request out.
  setCount(kCasablanca, 1);
  EXPECT_EQ(checkout(1, "alice", kCasablanca, 1), kNoCopies);
  EXPECT_EQ(held("alice", kCasablanca), 0);
  EXPECT_EQ(countOf(kCasablanca), 1);
  // A new request is decided afresh.
  EXPECT_EQ(checkout(1, "alice", kCasablanca, 2), "ok");
}

TEST_F(OrderRentalTest, WaitlistWithCopiesChecksOutAndWithoutCopiesQueuesOnce) {
  openSession("alice");
  EXPECT_EQ(waitlist(0, "alice", kJaws, 1), "ok");
  EXPECT_EQ(held("alice", kJaws), 1);
  EXPECT_EQ(waiting("alice", kJaws), 0);
  EXPECT_EQ(countOf(kJaws), 2);

  setCount(kCasablanca, 0);
  EXPECT_EQ(waitlist(1, "alice", kCasablanca, 2), "ok");
  EXPECT_EQ(waitlist(2, "alice", kCasablanca, 3), "ok");
  EXPECT_EQ(waiting("alice", kCasablanca), 1);
  EXPECT_EQ(held("alice", kCasablanca), 0);

  EXPECT_EQ(waitlist(0, "alice", 9999, 4), "Movie ID not found\n");
}

TEST_F(OrderRentalTest, OneCheckoutSentToThreeReplicasAtOnceIsCarriedOutOnce) {
  openSession("alice");
  std::vector<std::string> results(3);
  std::vector<std::thread> workers;
  for (size_t r = 0; r < 3; ++r)
    workers.emplace_back([&, r] { results[r] = checkout(r, "alice", kJaws, 7); });
  for (auto& w : workers) w.join();
  for (const auto& res : results) EXPECT_EQ(res, "ok");
  EXPECT_EQ(held("alice", kJaws), 1);
  EXPECT_EQ(countOf(kJaws), 2);
  EXPECT_EQ(logged(), 1);

  // The same number from another client instance is another request.
  MovieInfo m = tt::makeMovie("");
  m.movieID = kJaws;
  Ticket t = tt::makeTicket("alice", kToken);
  ClientTransaction other = tt::makeTrans("another-client", 7);
  EXPECT_EQ(outcome([&] { orders[1]->checkOutMovie(m, t, other); }), "ok");
  EXPECT_EQ(held("alice", kJaws), 2);
}

TEST_F(OrderRentalTest, InvalidOrStaleTicketsAreRefusedAndChangeNothing) {
  openSession("alice", kToken);
  setCount(kCasablanca, 0);
  for (size_t r = 0; r < 3; ++r) {
    EXPECT_EQ(checkout(r, "alice", kJaws, 1, kToken - 60), kBadTicket);
    EXPECT_EQ(checkout(r, "nobody", kJaws, 1), kBadTicket);
    EXPECT_EQ(waitlist(r, "alice", kCasablanca, 2, kToken + 1), kBadTicket);
  }
  hold("alice", kJaws);
  MovieInfo m = tt::makeMovie("Jaws");
  Ticket stale = tt::makeTicket("alice", kToken - 1);
  ClientTransaction ct = tt::makeTrans("client-alice", 3);
  EXPECT_EQ(outcome([&] { orders[0]->returnMovie(m, stale, ct); }), kBadTicket);

  EXPECT_EQ(countOf(kJaws), 3);
  EXPECT_EQ(held("alice", kJaws), 1);
  EXPECT_EQ(db.count("select count(*) from waitlistedmovies"), 0);
  EXPECT_EQ(logged(), 0);
}

// A lock wait that outlasts the request's budget is no answer of the rules:
// the replica answers TRANSIENT (completed no), and the request never takes
// effect, not even once the tables are free again.
TEST_F(OrderRentalTest, ALockThatCannotBeTakenInTimeFailsTransientlyAndNeverTakesEffect) {
  openSession("alice");
  {
    tt::TestDB locker;
    locker.exec("lock tables movie write");
    std::thread release([&] {
      std::this_thread::sleep_for(std::chrono::seconds(12));
      locker.exec("unlock tables");
    });
    MovieInfo m = tt::makeMovie("");
    m.movieID = kJaws;
    Ticket t = tt::makeTicket("alice", kToken);
    ClientTransaction ct = tt::makeTrans("client-alice", 1);
    const size_t logBefore = deployment_->orderReplicas[0]->process().output().size();
    try {
      orders[0]->checkOutMovie(m, t, ct);
      ADD_FAILURE() << "the checkout went through while the tables were held";
    } catch (const CORBA::TRANSIENT& e) {
      EXPECT_EQ(e.completed(), CORBA::COMPLETED_NO);
      EXPECT_EQ(e.minor() & 0xfffff000u, 0x54560000u) << std::hex << e.minor();
    } catch (const CORBA::Exception& e) {
      ADD_FAILURE() << "expected TRANSIENT, got " << e._name();
    }
    // The client's ORB hands the TRANSIENT over at once: it does not send
    // the request again on its own.
    const std::string log = deployment_->orderReplicas[0]->process().output().substr(logBefore);
    size_t served = 0;
    for (size_t at = log.find("could not serve checkOutMovie"); at != std::string::npos;
         at = log.find("could not serve checkOutMovie", at + 1))
      ++served;
    EXPECT_EQ(served, 1u) << log;
    release.join();
  }
  EXPECT_EQ(held("alice", kJaws), 0);
  EXPECT_EQ(countOf(kJaws), 3);
  EXPECT_EQ(logged(), 0);
  // The replica is not left holding anything: the retry goes through.
  EXPECT_EQ(checkout(0, "alice", kJaws, 1), "ok");
  EXPECT_EQ(held("alice", kJaws), 1);
}

// The client's deadline bounds the replica's work: a request that arrives
// after it is refused at once, and one that would wait past it for the
// table lock gives up a second before it. Neither takes effect.
TEST_F(OrderRentalTest, TheClientsDeadlineBoundsTheWork) {
  openSession("alice");
  auto checkoutBy = [&](std::chrono::milliseconds fromNow, short trans) {
    RequestDeadline::setForThisThread(std::chrono::system_clock::now() + fromNow);
    std::string res;
    try {
      MovieInfo m = tt::makeMovie("");
      m.movieID = kJaws;
      orders[1]->checkOutMovie(m, tt::makeTicket("alice", kToken), tt::makeTrans("client-alice", trans));
      res = "ok";
    } catch (const CORBA::TRANSIENT& e) {
      res = e.completed() == CORBA::COMPLETED_NO ? "TRANSIENT, completed no" : "TRANSIENT";
    } catch (const CORBA::Exception& e) {
      res = e._name();
    }
    RequestDeadline::clearForThisThread();
    return res;
  };
  EXPECT_EQ(checkoutBy(std::chrono::milliseconds(-1000), 1), "TRANSIENT, completed no");

  tt::TestDB locker;
  locker.exec("lock tables movie write");
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(checkoutBy(std::chrono::milliseconds(2500), 2), "TRANSIENT, completed no");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500))
      << "the replica waited beyond its client's deadline";
  locker.exec("unlock tables");

  EXPECT_EQ(held("alice", kJaws), 0);
  EXPECT_EQ(logged(), 0);
  EXPECT_EQ(checkoutBy(std::chrono::seconds(10), 3), "ok");
  EXPECT_EQ(held("alice", kJaws), 1);
}

TEST_F(OrderRentalTest, ReturningAMovieNotHeldIsRefused) {
  openSession("alice");
  hold("bob", kJaws);
  MovieInfo m = tt::makeMovie("Jaws");
  EXPECT_EQ(giveBack(0, "alice", m, 1), "Movie not rented to client: ");
  EXPECT_EQ(countOf(kJaws), 3);
  EXPECT_EQ(held("bob", kJaws), 1);

  MovieInfo unknown = tt::makeMovie("No Such Film");
  EXPECT_EQ(giveBack(1, "alice", unknown, 2), "No movie found with the given title\n");
}

TEST_F(OrderRentalTest, ReturnRefillsTheRecordAndRepeatsChangeNothing) {
  openSession("alice");
  hold("alice", kSchindler);
  setCount(kSchindler, 0);
  // The title as the client typed it; the record comes back as stored.
  MovieInfo m = tt::makeMovie("schindler's list");
  EXPECT_EQ(giveBack(0, "alice", m, 1), "ok");
  EXPECT_EQ(m.movieID, kSchindler);
  EXPECT_STREQ(m.title.in(), "Schindler's List");
  EXPECT_STREQ(m.director.in(), "Steven Spielberg");
  EXPECT_EQ(m.count, 1u);
  EXPECT_EQ(held("alice", kSchindler), 0);
  EXPECT_EQ(countOf(kSchindler), 1);

  // The other replicas find the request done and send the record back as sent.
  for (size_t r = 1; r < 3; ++r) {
    MovieInfo again = tt::makeMovie("schindler's list");
    EXPECT_EQ(giveBack(r, "alice", again, 1), "ok");
    EXPECT_STREQ(again.title.in(), "schindler's list");
    EXPECT_EQ(again.count, 0u);
  }
  EXPECT_EQ(countOf(kSchindler), 1);
}

TEST_F(OrderRentalTest, ReturningATitleHeldTwiceGivesBackOneCopy) {
  openSession("alice");
  hold("alice", kJaws);
  hold("alice", kJaws);
  setCount(kJaws, 1);
  MovieInfo m = tt::makeMovie("Jaws");
  EXPECT_EQ(giveBack(2, "alice", m, 1), "ok");
  // Copies on the shelf plus copies held stay what they were.
  EXPECT_EQ(held("alice", kJaws), 1);
  EXPECT_EQ(countOf(kJaws), 2);
  EXPECT_EQ(m.count, 2u);
  EXPECT_EQ(giveBack(0, "alice", m, 2), "ok");
  EXPECT_EQ(held("alice", kJaws), 0);
  EXPECT_EQ(countOf(kJaws), 3);
}

TEST_F(OrderRentalTest, TheFreedCopyGoesToTheEarliestWaiterBelowTheLimit) {
  openSession("alice");
  hold("alice", kCasablanca);
  setCount(kCasablanca, 0);
  // bob waits longer but holds three; carol holds one.
  hold("bob", kGodfather);
  hold("bob", kSchindler);
  hold("bob", kJaws);
  hold("carol", kStarWars);
  wait("bob", kCasablanca, "2020-01-01 10:00:00");
  wait("carol", kCasablanca, "2020-01-01 11:00:00");

  MovieInfo m = tt::makeMovie("Casablanca");
  EXPECT_EQ(giveBack(0, "alice", m, 1), "ok");
  EXPECT_EQ(m.count, 0u);
  EXPECT_EQ(countOf(kCasablanca), 0);
  EXPECT_EQ(held("alice", kCasablanca), 0);
  EXPECT_EQ(held("carol", kCasablanca), 1);
  EXPECT_EQ(waiting("carol", kCasablanca), 0);
  EXPECT_EQ(held("bob", kCasablanca), 0);
  EXPECT_EQ(waiting("bob", kCasablanca), 1);
  EXPECT_EQ(heldTotal("bob"), 3);
}

// Deployments load the schema at every start; that clears what older
// discontinuations left behind, and only that.
TEST_F(OrderRentalTest, LoadingTheSchemaDropsWaitingRowsWhoseAccountIsGone) {
  db.exec("insert into user values ('Carol', 'C', 'a', '4111', '555', 'c@x', 'carol', 'pw')");
  wait("carol", kCasablanca, "2020-01-01 11:00:00");
  wait("ghost", kCasablanca, "2020-01-01 10:00:00");
  std::ifstream in(tt::sourceDir() + "/db/schema.sql");
  std::stringstream schema;
  schema << in.rdbuf();
  ASSERT_FALSE(schema.str().empty());
  db.exec(schema.str());
  EXPECT_EQ(waiting("ghost", kCasablanca), 0);
  EXPECT_EQ(waiting("carol", kCasablanca), 1);
}

TEST_F(OrderRentalTest, TheReturnerGetsOnlyTheOldestWaitedMovieWithAFreeCopy) {
  openSession("alice");
  hold("alice", kJaws);
  setCount(kAlien, 0);
  setCount(kFargo, 1);
  setCount(kCasablanca, 1);
  wait("alice", kAlien, "2020-01-01 09:00:00");       // oldest, no copy
  wait("alice", kFargo, "2020-01-01 10:00:00");       // oldest with a copy
  wait("alice", kCasablanca, "2020-01-01 11:00:00");  // newer, also free

  MovieInfo m = tt::makeMovie("Jaws");
  EXPECT_EQ(giveBack(1, "alice", m, 1), "ok");
  EXPECT_EQ(held("alice", kJaws), 0);
  EXPECT_EQ(held("alice", kFargo), 1);
  EXPECT_EQ(waiting("alice", kFargo), 0);
  EXPECT_EQ(countOf(kFargo), 0);
  EXPECT_EQ(held("alice", kCasablanca), 0);
  EXPECT_EQ(waiting("alice", kCasablanca), 1);
  EXPECT_EQ(countOf(kCasablanca), 1);
  EXPECT_EQ(waiting("alice", kAlien), 1);
}

// A customer waiting for the very movie returned gets it back at once and
// may be at the limit again; that must not fail the return.
TEST_F(OrderRentalTest, AReturnerBackAtTheLimitKeepsWaitingInsteadOfFailing) {
  openSession("alice");
  hold("alice", kGodfather);
  hold("alice", kSchindler);
  hold("alice", kJaws);
  setCount(kJaws, 0);
  wait("alice", kJaws, "2020-01-01 09:00:00");
  wait("alice", kStarWars, "2020-01-01 10:00:00");

  MovieInfo m = tt::makeMovie("Jaws");
  EXPECT_EQ(giveBack(0, "alice", m, 1), "ok");
  EXPECT_EQ(held("alice", kJaws), 1);
  EXPECT_EQ(waiting("alice", kJaws), 0);
  EXPECT_EQ(heldTotal("alice"), 3);
  EXPECT_EQ(waiting("alice", kStarWars), 1);
  EXPECT_EQ(countOf(kStarWars), 5);
}

TEST_F(OrderRentalTest, AFailureWhileServingTheWaitlistRollsTheWholeReturnBack) {
  openSession("alice");
  hold("alice", kCasablanca);
  setCount(kCasablanca, 0);
  wait("victim", kCasablanca, "2020-01-01 10:00:00");
  db.exec(
      "create trigger fail_checkout before insert on checkedoutmovies for each row "
      "begin if new.username = 'victim' then "
      "signal sqlstate '45000' set message_text = 'injected checkout failure'; "
      "end if; end");

  // A statement that fails for other reasons than its values: the replica
  // could not do the work.
  MovieInfo m = tt::makeMovie("Casablanca");
  EXPECT_EQ(giveBack(0, "alice", m, 1), "system exception TRANSIENT");
  EXPECT_EQ(held("alice", kCasablanca), 1);
  EXPECT_EQ(countOf(kCasablanca), 0);
  EXPECT_EQ(waiting("victim", kCasablanca), 1);
  EXPECT_EQ(held("victim", kCasablanca), 0);
  EXPECT_EQ(db.count("select count(*) from transactions"), 0);

  // Not logged, so the next replica tries again and fails alike.
  MovieInfo again = tt::makeMovie("Casablanca");
  EXPECT_EQ(giveBack(1, "alice", again, 1), "system exception TRANSIENT");

  db.exec("drop trigger fail_checkout");
  MovieInfo last = tt::makeMovie("Casablanca");
  EXPECT_EQ(giveBack(2, "alice", last, 1), "ok");
  EXPECT_EQ(held("victim", kCasablanca), 1);
  EXPECT_EQ(held("alice", kCasablanca), 0);
  EXPECT_EQ(last.count, 0u);
}
