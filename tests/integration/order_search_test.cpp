// Title search through a real order replica, and the order server's start-up.
#include <gtest/gtest.h>

#include <regex>

#include <string>
#include <vector>

#include "Contract.h"
#include "TestSupport.h"

namespace {

using tt::outcome;

const CORBA::Long kToken = 1700000000;
const char* const kBadTicket = "more than one or no user found with the same uname/ticket\n";
const char* const kNotFound = "No movie found with the given title\n";

bool contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

}  // namespace

class OrderSearchTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { deployment_ = new tt::Deployment(0, 1); }
  static void TearDownTestSuite() {
    delete deployment_;
    deployment_ = nullptr;
  }

  void SetUp() override {
    db.reset();
    db.addSession("alice", kToken);
    order = deployment_->orders().at(0);
  }

  std::string search(MovieInfo& m, const std::string& user = "alice", CORBA::Long token = kToken) {
    Ticket t = tt::makeTicket(user, token);
    return outcome([&] { order->searchByTitle(m, t); });
  }
  std::string serverOutput() { return deployment_->orderReplicas.at(0)->process().output(); }

  static tt::Deployment* deployment_;
  tt::TestDB db;
  OrderFulfillment_var order;
};

tt::Deployment* OrderSearchTest::deployment_ = nullptr;

TEST_F(OrderSearchTest, AStoredTitleFillsEveryMember) {
  MovieInfo m = tt::makeMovie("Ocean's Eleven");
  m.movieID = 777;  // ignored by the search
  ASSERT_EQ(search(m), "ok");
  EXPECT_EQ(m.movieID, 3u);
  EXPECT_STREQ(m.title.in(), "Ocean's Eleven");
  EXPECT_STREQ(m.director.in(), "Steven Soderbergh");
  EXPECT_STREQ(m.releaseDate.in(), "2001-12-07");
  EXPECT_STREQ(m.cast.in(), "George Clooney, Brad Pitt, Matt Damon, Julia Roberts");
  EXPECT_STREQ(m.banner.in(), "Warner Bros.");
  EXPECT_STREQ(m.category.in(), "Crime");
  EXPECT_STREQ(m.rated.in(), "PG-13");
  EXPECT_EQ(m.count, 4u);

  std::string out = serverOutput();
  EXPECT_TRUE(contains(out, "MovieInfo.movieID: 777\n"));
  EXPECT_TRUE(contains(out, "Server: Before Having Called Thread ..... movieTitle: Ocean's Eleven\n"));
  EXPECT_TRUE(contains(out, "Server: After Having Called Thread ..... movieTitle: Ocean's Eleven\n"));
}

TEST_F(OrderSearchTest, TheAfterLineShowsTheCataloguesSpellingAndCountIsLive) {
  db.exec("update movie set count = 0 where movieID = 5");
  MovieInfo m = tt::makeMovie("jAWS");
  ASSERT_EQ(search(m), "ok");
  EXPECT_STREQ(m.title.in(), "Jaws");
  EXPECT_EQ(m.count, 0u);
  std::string out = serverOutput();
  EXPECT_TRUE(contains(out, "Server: Before Having Called Thread ..... movieTitle: jAWS\n"));
  EXPECT_TRUE(contains(out, "Server: After Having Called Thread ..... movieTitle: Jaws\n"));
}

TEST_F(OrderSearchTest, QuotesAndOtherSqlInATitleAreJustText) {
  const std::vector<std::string> absent = {"Schindler's Lis", "x' or '1'='1", "a\\' or 1=1 -- ",
                                           "'; delete from movie; --", ""};
  for (const auto& title : absent) {
    MovieInfo m = tt::makeMovie(title);
    EXPECT_EQ(search(m), kNotFound) << title;
    EXPECT_STREQ(m.title.in(), title.c_str());
  }
  EXPECT_EQ(db.count("select count(*) from movie"), 70);

  MovieInfo m = tt::makeMovie("One Flew Over the Cuckoo's Nest");
  ASSERT_EQ(search(m), "ok");
  EXPECT_EQ(m.movieID, 41u);
}

TEST_F(OrderSearchTest, AFailedSearchLogsTheExceptionAndNoAfterLine) {
  MovieInfo m = tt::makeMovie("Missing Film 4711");
  EXPECT_EQ(search(m), kNotFound);
  std::string out = serverOutput();
  // Each line starts with its request's key.
  EXPECT_TRUE(std::regex_search(
      out, std::regex("movieTitle: Missing Film 4711\n\\[r\\d+\\] Movie::searchByTitle called\n")))
      << out;
  EXPECT_TRUE(contains(out, "Server: Exception thrown in searchByTitle\n"));
  EXPECT_FALSE(contains(out, "Server: After Having Called Thread ..... movieTitle: Missing Film 4711"));
}

TEST_F(OrderSearchTest, ABadTicketIsRefusedBeforeTheSearchStarts) {
  MovieInfo stale = tt::makeMovie("Rocky");
  EXPECT_EQ(search(stale, "alice", kToken + 5), kBadTicket);
  MovieInfo stranger = tt::makeMovie("Amadeus");
  EXPECT_EQ(search(stranger, "mallory", kToken), kBadTicket);
  EXPECT_STREQ(stranger.director.in(), "");

  std::string out = serverOutput();
  EXPECT_FALSE(contains(out, "movieTitle: Rocky"));
  EXPECT_FALSE(contains(out, "movieTitle: Amadeus"));
  EXPECT_FALSE(contains(out, "MovieInfo.title: Rocky"));
}

TEST(OrderServerStartTest, WithoutANameItPrintsUsageAndFails) {
  tt::ChildProcess p(tt::binDir() + "/orderserver", {"-ORBInitRef", tt::namingRef()});
  EXPECT_EQ(p.wait(), 1);
  std::string out = p.output();
  EXPECT_TRUE(contains(out, "\nUsage: orderserver [ORB options] <name>\n")) << out;
  EXPECT_FALSE(contains(out, "Time taken is")) << out;
}

TEST(OrderServerStartTest, ATakenNameIsReboundAndTheTimeLineComesLast) {
  tt::unbindReplicas();
  tt::Replica first("orderObj0");
  tt::Replica second("orderObj0");
  std::string out = second.process().output();
  EXPECT_TRUE(contains(out,
                       "Obtained nameservice reference and it is non-null, now about to bind "
                       "names\nIOR Name is orderObj0\nRe-binding the IOR\n"))
      << out;
  size_t timeLine = out.find("\n Time taken is ");
  ASSERT_NE(timeLine, std::string::npos) << out;
  std::string last = out.substr(timeLine + 1);
  EXPECT_EQ(last.find('\n'), last.size() - 1) << out;
  EXPECT_FALSE(contains(out, "Server has successfully registered"));
  EXPECT_FALSE(contains(first.process().output(), "Re-binding the IOR"));

  // The new binding serves requests.
  CORBA::Object_var obj = tt::resolve("orderObj0");
  OrderFulfillment_var order = OrderFulfillment::_narrow(obj);
  MovieInfo m = tt::makeMovie("Rocky");
  Ticket t = tt::makeTicket("nobody", 1);
  EXPECT_EQ(outcome([&] { order->searchByTitle(m, t); }), kBadTicket);
  EXPECT_TRUE(second.process().waitForOutput("User::validateTicket called"));
}
