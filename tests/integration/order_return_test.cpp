// Returns, and the waiting lists they serve, against three real order
// replicas.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Contract.h"
#include "TestSupport.h"

namespace {

const CORBA::Long kToken = 1700000000;
const CORBA::ULong kGodfather = 1, kSchindler = 2, kCasablanca = 4, kJaws = 5, kStarWars = 6,
                   kAlien = 17, kFargo = 19;

template <typename Call>
std::string outcome(Call call) {
  try {
    call();
    return "ok";
  } catch (const TavrinException& e) {
    return str(e.errorMessage.in());
  } catch (const CORBA::SystemException& e) {
    return std::string("system exception ") + e._name();
  }
}

}  // namespace

class OrderReturnTest : public ::testing::Test {
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

  void openSession(const std::string& user) {
    db.exec("insert into ticket values ('" + user + "', " + std::to_string(kToken) + ")");
  }
  void hold(const std::string& user, CORBA::ULong movieID) {
    db.exec("insert into checkedoutmovies values ('" + user + "', " + std::to_string(movieID) +
            ")");
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

  std::string giveBack(size_t replica, const std::string& user, MovieInfo& m, short trans) {
    Ticket t = tt::makeTicket(user, kToken);
    ClientTransaction ct = tt::makeTrans("client-" + user, trans);
    return outcome([&] { orders[replica]->returnMovie(m, t, ct); });
  }

  static tt::Deployment* deployment_;
  tt::TestDB db;
  std::vector<OrderFulfillment_var> orders;
};

tt::Deployment* OrderReturnTest::deployment_ = nullptr;

TEST_F(OrderReturnTest, ReturningAMovieNotHeldIsRefused) {
  openSession("alice");
  hold("bob", kJaws);
  MovieInfo m = tt::makeMovie("Jaws");
  EXPECT_EQ(giveBack(0, "alice", m, 1), "Movie not rented to client: ");
  EXPECT_EQ(countOf(kJaws), 3);
  EXPECT_EQ(held("bob", kJaws), 1);

  MovieInfo unknown = tt::makeMovie("No Such Film");
  EXPECT_EQ(giveBack(1, "alice", unknown, 2), "No movie found with the given title\n");
}

TEST_F(OrderReturnTest, ReturnRefillsTheRecordAndRepeatsChangeNothing) {
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

TEST_F(OrderReturnTest, TwoRowsOfOneMovieGoTogetherWhileCountRisesByOne) {
  openSession("alice");
  hold("alice", kJaws);
  hold("alice", kJaws);
  setCount(kJaws, 1);
  MovieInfo m = tt::makeMovie("Jaws");
  EXPECT_EQ(giveBack(2, "alice", m, 1), "ok");
  EXPECT_EQ(held("alice", kJaws), 0);
  EXPECT_EQ(countOf(kJaws), 2);
  EXPECT_EQ(m.count, 2u);
}

TEST_F(OrderReturnTest, TheFreedCopyGoesToTheEarliestWaiterBelowTheLimit) {
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

TEST_F(OrderReturnTest, TheReturnerGetsOnlyTheOldestWaitedMovieWithAFreeCopy) {
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
TEST_F(OrderReturnTest, AReturnerBackAtTheLimitKeepsWaitingInsteadOfFailing) {
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

TEST_F(OrderReturnTest, AFailureWhileServingTheWaitlistRollsTheWholeReturnBack) {
  openSession("alice");
  hold("alice", kCasablanca);
  setCount(kCasablanca, 0);
  wait("victim", kCasablanca, "2020-01-01 10:00:00");
  db.exec(
      "create trigger fail_checkout before insert on checkedoutmovies for each row "
      "begin if new.username = 'victim' then "
      "signal sqlstate '45000' set message_text = 'injected checkout failure'; "
      "end if; end");

  MovieInfo m = tt::makeMovie("Casablanca");
  EXPECT_EQ(giveBack(0, "alice", m, 1), "Cannot checkout movie: injected checkout failure");
  EXPECT_EQ(held("alice", kCasablanca), 1);
  EXPECT_EQ(countOf(kCasablanca), 0);
  EXPECT_EQ(waiting("victim", kCasablanca), 1);
  EXPECT_EQ(held("victim", kCasablanca), 0);
  EXPECT_EQ(db.count("select count(*) from transactions"), 0);

  // Not logged, so the next replica tries again and fails alike.
  MovieInfo again = tt::makeMovie("Casablanca");
  EXPECT_EQ(giveBack(1, "alice", again, 1), "Cannot checkout movie: injected checkout failure");

  db.exec("drop trigger fail_checkout");
  MovieInfo last = tt::makeMovie("Casablanca");
  EXPECT_EQ(giveBack(2, "alice", last, 1), "ok");
  EXPECT_EQ(held("victim", kCasablanca), 1);
  EXPECT_EQ(held("alice", kCasablanca), 0);
  EXPECT_EQ(last.count, 0u);
}
