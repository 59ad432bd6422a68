// One client identity that sends more than 65,536 requests. Sending that
// many for real would take too long, so the request log first gets the
// identity's earlier requests by SQL, as if it had already sent 65,530 of
// them; the session then sends requests across the end of its 16-bit
// request numbers. Every one must take effect: none may be answered from a
// log row of an earlier request.
#include <set>

#include "SystemScenario.h"

namespace tt {
namespace {

class ReliabilityIdentity : public SystemScenario {};

TEST_F(ReliabilityIdentity, UsedUpRequestNumbersNeverRepeatAKey) {
  startDeployment();
  Session s(0, "wrap");
  const std::string first = s.clientID();
  TestDB db;
  // Numbers 1 .. 65530 as the 16-bit values the log keeps.
  db.exec("insert into transactions (username, clientID, transactionID) select 'wrap', '" + first +
          "', if(seq > 32767, cast(seq as signed) - 65536, seq) from seq_1_to_65530");
  ASSERT_EQ(db.count("select count(*) from transactions where clientID = '" + first + "'"), 65530);
  s.transactionID() = static_cast<short>(65530 - 65536);

  ASSERT_EQ(s.createAccount(), Outcome::Success) << s.last().message;
  ASSERT_EQ(s.logIn(), Outcome::Success) << s.last().message;
  MovieInfo m1, m2, m3;
  ASSERT_EQ(s.search("title1", &m1), Outcome::Success) << s.last().message;
  ASSERT_EQ(s.search("title2", &m2), Outcome::Success) << s.last().message;
  ASSERT_EQ(s.search("title3", &m3), Outcome::Success) << s.last().message;
  EXPECT_EQ(s.checkout(m1), Outcome::Success) << s.last().message;
  EXPECT_EQ(s.returnMovie("title1"), Outcome::Success) << s.last().message;
  EXPECT_EQ(s.checkout(m2), Outcome::Success) << s.last().message;
  EXPECT_EQ(s.last().transactionID, -1);
  // The numbers are used up here.
  EXPECT_EQ(s.returnMovie("title2"), Outcome::Success) << s.last().message;
  EXPECT_NE(s.clientID(), first);
  EXPECT_EQ(s.clientID().substr(0, 22), first.substr(0, 22));  // same host, same process
  EXPECT_EQ(s.last().transactionID, 1);
  EXPECT_EQ(s.checkout(m3), Outcome::Success) << s.last().message;
  UserInfo changed = s.profile();
  changed.phoneNum = CORBA::string_dup("5550065536");
  EXPECT_EQ(s.updateProfile(changed), Outcome::Success) << s.last().message;
  EXPECT_EQ(s.countHeld(), Outcome::Success) << s.last().message;

  // Each took effect: what the customer holds, and the profile.
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'wrap'"), 1);
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'wrap' and movieID = " +
                     std::to_string(m3.movieID)),
            1);
  EXPECT_EQ(db.scalar("select phoneNum from user where username = 'wrap'"), "5550065536");
  // No key was used twice.
  std::set<std::pair<std::string, int>> keys;
  for (const auto& r : s.records()) {
    if (!r.hasTransaction) continue;
    EXPECT_TRUE(keys.insert({r.clientID, r.transactionID}).second)
        << opName(r.op) << " #" << r.transactionID;
  }
  ASSERT_TRUE(waitFor([&] { return s.settled(); }));
  EXPECT_EQ(s.returnMovie("title3"), Outcome::Success) << s.last().message;
  EXPECT_EQ(s.logOut(), Outcome::Success) << s.last().message;

  ScenarioSummary sum;
  sum.id = "identity-wrap";
  sum.scenario = "One client identity past 65,536 requests (65,530 earlier ones in the log)";
  sum.notes = "a fresh identity after request number -1; every request after it took effect";
  sum.command = reproduce("reliability_identity");
  finish(sum, s.records());
}

// Request-log rows of identities that never log in or out (refused
// registrations under made-up identities leave such rows) go once they are
// a day old, more of them than one batch takes; younger rows stay.
TEST_F(ReliabilityIdentity, RequestLogRowsOlderThanADayArePrunedWhoeverWroteThem) {
  TestDB db;
  db.exec("insert into transactions (username, clientID, transactionID, loggedAt) select"
          " concat('ghost', seq), concat('99', seq), seq, now() - interval 25 hour"
          " from seq_1_to_1300");
  db.exec("insert into transactions (username, clientID, transactionID, loggedAt) select"
          " 'recent', '77', seq, now() - interval 23 hour from seq_1_to_3");
  startDeployment(1, 1);
  EXPECT_TRUE(waitFor([&] {
    return db.count("select count(*) from transactions where username like 'ghost%'") == 0;
  })) << db.count("select count(*) from transactions where username like 'ghost%'")
      << " day-old rows left";
  EXPECT_EQ(db.count("select count(*) from transactions where username = 'recent'"), 3);
  // The service goes on while and after it prunes.
  Session s(0, "pruned");
  EXPECT_EQ(s.createAccount(), Outcome::Success) << s.last().message;
  EXPECT_EQ(db.count("select count(*) from transactions where username = 'pruned'"), 1);
}

}  // namespace
}  // namespace tt
