// Whole rental sessions through the stubs, every request fanned out to three
// account and three order replicas the way the client sends them.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Contract.h"
#include "TestSupport.h"

namespace {

using tt::outcome;

const char* const kNoCopies = "No more copies of the movie available :(";
const char* const kBadTicket = "more than one or no user found with the same uname/ticket\n";

// One worker thread per replica, all joined; the outcome of each replica.
std::vector<std::string> fanOut(size_t replicas, const std::function<void(size_t)>& call) {
  std::vector<std::string> results(replicas);
  std::vector<std::thread> workers;
  for (size_t r = 0; r < replicas; ++r)
    workers.emplace_back([&, r] { results[r] = outcome([&] { call(r); }); });
  for (auto& w : workers) w.join();
  return results;
}

const std::vector<std::string> kAllOk = {"ok", "ok", "ok"};

}  // namespace

class OrderFlowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { deployment_ = new tt::Deployment(3, 3); }
  static void TearDownTestSuite() {
    delete deployment_;
    deployment_ = nullptr;
  }

  void SetUp() override {
    db.reset();
    accounts = deployment_->accounts();
    orders = deployment_->orders();
    ASSERT_EQ(accounts.size(), 3u);
    ASSERT_EQ(orders.size(), 3u);
  }

  // A client instance: its identity, its request counter and its ticket.
  struct Session {
    std::string user;
    std::string clientID;
    short next = 0;
    Ticket ticket;
    ClientTransaction trans() { return tt::makeTrans(clientID, ++next); }
  };

  Session registerAndLogIn(const std::string& user) {
    Session s;
    s.user = user;
    s.clientID = "1270000" + std::to_string(user.size() * 1000 + user[0]);
    UserInfo info = tt::makeUser(user, "secret");
    ClientTransaction create = s.trans();
    EXPECT_EQ(fanOut(3, [&](size_t r) { accounts[r]->createAccount(info, create); }), kAllOk);

    ClientTransaction login = s.trans();
    std::vector<Ticket> tickets(3);
    EXPECT_EQ(fanOut(3,
                     [&](size_t r) {
                       UserInfo u = tt::makeUser(user, "secret");
                       Ticket_var t = accounts[r]->logIn(u, login);
                       tickets[r] = t.in();
                     }),
              kAllOk);
    for (size_t r = 1; r < 3; ++r) {
      EXPECT_STREQ(tickets[r].username.in(), tickets[0].username.in());
      EXPECT_EQ(tickets[r].token, tickets[0].token);
    }
    s.ticket = tickets[0];
    return s;
  }

  std::vector<std::string> search(Session& s, const std::string& title, MovieInfo& found) {
    std::vector<MovieInfo> got(3, tt::makeMovie(title));
    auto res = fanOut(3, [&](size_t r) { orders[r]->searchByTitle(got[r], s.ticket); });
    found = got[0];
    return res;
  }
  std::vector<std::string> checkout(Session& s, const MovieInfo& m) {
    ClientTransaction ct = s.trans();
    return fanOut(3, [&](size_t r) {
      MovieInfo copy = m;
      orders[r]->checkOutMovie(copy, s.ticket, ct);
    });
  }
  std::vector<std::string> waitlist(Session& s, const MovieInfo& m) {
    ClientTransaction ct = s.trans();
    return fanOut(3, [&](size_t r) {
      MovieInfo copy = m;
      orders[r]->placeInWaitlist(copy, s.ticket, ct);
    });
  }
  std::vector<std::string> giveBack(Session& s, const std::string& title) {
    ClientTransaction ct = s.trans();
    return fanOut(3, [&](size_t r) {
      MovieInfo m = tt::makeMovie(title);
      orders[r]->returnMovie(m, s.ticket, ct);
    });
  }

  long long countOf(const std::string& title) {
    return db.count("select count from movie where title = '" + db.escape(title) + "'");
  }
  long long held(const std::string& user) {
    return db.count("select count(*) from checkedoutmovies where username = '" + user + "'");
  }

  static tt::Deployment* deployment_;
  tt::TestDB db;
  std::vector<Account_var> accounts;
  std::vector<OrderFulfillment_var> orders;
};

tt::Deployment* OrderFlowTest::deployment_ = nullptr;

TEST_F(OrderFlowTest, SearchCheckoutWaitlistAndReturnAgainstAllReplicas) {
  Session alice = registerAndLogIn("alice");
  Session bob = registerAndLogIn("bob");

  MovieInfo jaws;
  ASSERT_EQ(search(alice, "Jaws", jaws), kAllOk);
  EXPECT_EQ(jaws.movieID, 5u);
  EXPECT_EQ(jaws.count, 3u);
  EXPECT_EQ(checkout(alice, jaws), kAllOk);
  EXPECT_EQ(countOf("Jaws"), 2);
  EXPECT_EQ(held("alice"), 1);
  for (auto& account : accounts) EXPECT_EQ(account->obtainNoOfOutstandingMovies(alice.ticket), 1u);

  // Bob takes the only copy of Casablanca; alice queues for it.
  MovieInfo casablanca;
  ASSERT_EQ(search(bob, "Casablanca", casablanca), kAllOk);
  ASSERT_EQ(casablanca.count, 1u);
  EXPECT_EQ(checkout(bob, casablanca), kAllOk);
  ASSERT_EQ(search(alice, "Casablanca", casablanca), kAllOk);
  EXPECT_EQ(casablanca.count, 0u);
  EXPECT_EQ(checkout(alice, casablanca), std::vector<std::string>(3, kNoCopies));
  EXPECT_EQ(waitlist(alice, casablanca), kAllOk);
  EXPECT_EQ(db.count("select count(*) from waitlistedmovies where username = 'alice'"), 1);

  // Bob's return hands the copy to alice at once.
  EXPECT_EQ(giveBack(bob, "Casablanca"), kAllOk);
  EXPECT_EQ(held("bob"), 0);
  EXPECT_EQ(countOf("Casablanca"), 0);
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'alice' and "
                     "movieID = 4"),
            1);
  EXPECT_EQ(db.count("select count(*) from waitlistedmovies"), 0);

  EXPECT_EQ(giveBack(alice, "Jaws"), kAllOk);
  EXPECT_EQ(giveBack(alice, "Casablanca"), kAllOk);
  EXPECT_EQ(held("alice"), 0);
  EXPECT_EQ(countOf("Jaws"), 3);
  EXPECT_EQ(countOf("Casablanca"), 1);

  // After log-out the ticket opens nothing.
  EXPECT_EQ(fanOut(3, [&](size_t r) { accounts[r]->logOut(alice.ticket); }), kAllOk);
  EXPECT_EQ(checkout(alice, jaws), std::vector<std::string>(3, kBadTicket));
  EXPECT_EQ(countOf("Jaws"), 3);
}

TEST_F(OrderFlowTest, TwoClientsRacingForTheLastCopyThroughThreeReplicasEach) {
  db.addSession("racer1", 11);
  db.addSession("racer2", 22);
  const Ticket t1 = tt::makeTicket("racer1", 11);
  const Ticket t2 = tt::makeTicket("racer2", 22);
  for (int round = 1; round <= 5; ++round) {
    const CORBA::ULong movieID = 100 + round;
    db.exec("update movie set count = 1 where movieID = " + std::to_string(movieID));
    MovieInfo m = tt::makeMovie("title" + std::to_string(round));
    m.movieID = movieID;
    ClientTransaction ct1 = tt::makeTrans("client1", static_cast<short>(round));
    ClientTransaction ct2 = tt::makeTrans("client2", static_cast<short>(round));

    std::vector<std::string> first, second;
    std::thread c1([&] {
      first = fanOut(3, [&](size_t r) {
        MovieInfo copy = m;
        orders[r]->checkOutMovie(copy, t1, ct1);
      });
    });
    std::thread c2([&] {
      second = fanOut(3, [&](size_t r) {
        MovieInfo copy = m;
        orders[r]->checkOutMovie(copy, t2, ct2);
      });
    });
    c1.join();
    c2.join();

    const std::vector<std::string> lost(3, kNoCopies);
    EXPECT_TRUE((first == kAllOk && second == lost) || (first == lost && second == kAllOk))
        << "round " << round << ": " << first[0] << "|" << first[1] << "|" << first[2] << " vs "
        << second[0] << "|" << second[1] << "|" << second[2];
    EXPECT_EQ(db.count("select count(*) from checkedoutmovies where movieID = " +
                       std::to_string(movieID)),
              1);
    EXPECT_EQ(db.count("select count from movie where movieID = " + std::to_string(movieID)), 0);
    // Keeps both racers below the limit of three.
    db.exec("delete from checkedoutmovies");
  }
}
