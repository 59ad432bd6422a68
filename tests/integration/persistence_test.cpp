// The persistence layer against the real MariaDB of ./tavrin test.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

#include "Contract.h"
#include "CustTransaction.h"
#include "DBConnection.h"
#include "DBQuery.h"
#include "DBTransaction.h"
#include "SqlText.h"
#include "TestSupport.h"

namespace {

// Captures what the code under test prints on std::cout.
class CoutCapture {
 public:
  CoutCapture() : old_(std::cout.rdbuf(buf_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(old_); }
  std::string text() const { return buf_.str(); }

 private:
  std::stringstream buf_;
  std::streambuf* old_;
};

// Seconds printed in the "<-- " and "--> " lines of one lock attempt.
std::pair<long, long> lockStamps(const std::string& out) {
  std::smatch a, b;
  std::regex before("<-- (\\d+)Trying to lock"), after("--> (\\d+) Locked");
  EXPECT_TRUE(std::regex_search(out, a, before)) << out;
  EXPECT_TRUE(std::regex_search(out, b, after)) << out;
  if (a.empty() || b.empty()) return {0, 0};
  return {std::atol(a[1].str().c_str()), std::atol(b[1].str().c_str())};
}

class Persistence : public ::testing::Test {
 protected:
  void SetUp() override {
    db.reset();
    DBTransaction().endRequest();
  }
  void TearDown() override {
    DBConnection::getInstance()->clearDeadline();
    DBTransaction().endRequest();
  }
  tt::TestDB db;
};

TEST_F(Persistence, QueryResultsAndColumnLookup) {
  DBQuery q;
  ASSERT_EQ(q.query("insert into ticket values ('ann', 17)"), 1) << q.mySQLerror;
  EXPECT_EQ(q.storeResults(), 0) << "an INSERT has no result set";

  ASSERT_EQ(q.query("select username, token from ticket where username = 'ann'"), 1);
  ASSERT_EQ(q.storeResults(), 1);
  EXPECT_EQ(q.rows(), 1);
  ASSERT_EQ(q.isRows(), 1);
  EXPECT_STREQ(q.valueOf("token"), "17");
  EXPECT_STREQ(q.fieldName(0), "username");
  EXPECT_STREQ(q.fieldValue(0), "ann");
  EXPECT_STREQ(q.valueOf("Token"), "Field Token not found!") << "column names are case-sensitive";
  EXPECT_EQ(q.isRows(), 0);
  q.freeit();

  ASSERT_EQ(q.query("select * from ticket where username = 'nobody'"), 1);
  ASSERT_EQ(q.storeResults(), 1);
  EXPECT_EQ(q.rows(), 0);
  EXPECT_EQ(q.isRows(), 0);
}

TEST_F(Persistence, SqlNullIsANullPointer) {
  DBQuery q;
  ASSERT_EQ(q.query("select NULL as nothing, 1 as one"), 1);
  ASSERT_EQ(q.storeResults(), 1);
  ASSERT_EQ(q.isRows(), 1);
  EXPECT_EQ(q.valueOf("nothing"), nullptr);
  EXPECT_STREQ(q.valueOf("one"), "1");
}

TEST_F(Persistence, NotFoundTextIsBoundedForLongNames) {
  DBQuery q;
  ASSERT_EQ(q.query("select 1 as one"), 1);
  ASSERT_EQ(q.storeResults(), 1);
  ASSERT_EQ(q.isRows(), 1);
  std::string longName(1000, 'x');
  const char* v = q.valueOf(longName.c_str());
  ASSERT_EQ(v, q.err);
  EXPECT_EQ(std::strlen(v), sizeof(q.err) - 1);
  EXPECT_EQ(std::string(v).rfind("Field xxx", 0), 0u);
}

TEST_F(Persistence, FailedStatementLeavesTheLibraryText) {
  DBQuery q;
  EXPECT_EQ(q.query("select * from no_such_table"), 0);
  EXPECT_NE(std::string(q.mySQLerror).find("no_such_table"), std::string::npos) << q.mySQLerror;
}

TEST_F(Persistence, EscapedValuesRoundTripUnchanged) {
  const std::string nasty[] = {"O'Brien", "back\\slash", "semi;colon -- comment",
                               "line\nbreak\r", "quote\" and 'both'", "%_wild%",
                               "'); delete from user; --", "Zoë Ünïcødé"};
  for (const auto& value : nasty) {
    db.exec("delete from client");
    DBQuery q;
    std::string sql = "insert into client values ('" + DBConnection::escape(value) + "', '1')";
    ASSERT_EQ(q.query(sql.c_str()), 1) << q.mySQLerror;
    EXPECT_EQ(db.scalar("select username from client"), value);
    DBQuery r;
    sql = "select clientID from client where username = '" + DBConnection::escape(value) + "'";
    ASSERT_EQ(r.query(sql.c_str()), 1);
    ASSERT_EQ(r.storeResults(), 1);
    EXPECT_EQ(r.rows(), 1) << value;
  }
  EXPECT_EQ(db.count("select count(*) from movie"), db.count("select count(*) from movie"));
}

TEST_F(Persistence, DuplicateLogKeyIsUserClientAndNumber) {
  CustTransaction ct;
  UserInfo u = tt::makeUser("o'neil");
  ClientTransaction a7 = tt::makeTrans("1270017001", 7);
  ClientTransaction b7 = tt::makeTrans("1270017002", 7);
  ClientTransaction aNeg = tt::makeTrans("1270017001", -32768);
  EXPECT_EQ(ct.CheckTransaction(u, a7), 0u);
  ct.AddTransaction(u, a7);
  ct.AddTransaction(u, aNeg);
  EXPECT_EQ(ct.CheckTransaction(u, a7), 1u);
  EXPECT_EQ(ct.CheckTransaction(u, b7), 0u) << "another client's request 7 is a new request";
  EXPECT_EQ(ct.CheckTransaction(u, aNeg), 1u);
  Ticket t = tt::makeTicket("o'neil", 5);
  EXPECT_EQ(ct.CheckTransaction(t, a7), 1u) << "ticket and profile forms share the key";
  ct.AddTransaction(t, a7);
  EXPECT_EQ(ct.CheckTransaction(u, a7), 1u) << "two rows of one key still read as one repeat";
  EXPECT_EQ(db.count("select count(*) from transactions where clientID = '1270017001'"), 3);
}

TEST_F(Persistence, LockWaitShowsInTheTraceStamps) {
  tt::TestDB holder;
  holder.exec("lock tables ticket write");
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    holder.exec("unlock tables");
  });
  CoutCapture cap;
  DBTransaction tx;
  EXPECT_EQ(tx.lockAccountTables(), 1);
  release.join();
  tx.unlockTables();
  auto stamps = lockStamps(cap.text());
  EXPECT_GE(stamps.second - stamps.first, 1) << cap.text();
}

TEST_F(Persistence, AccountAndMovieFamiliesExcludeEachOther) {
  tt::TestDB holder;
  // The account family holds `transactions`, which the movie family needs.
  holder.exec("lock tables ticket write, user write, transactions write, client write");
  std::atomic<bool> released{false};
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    released = true;
    holder.exec("unlock tables");
  });
  CoutCapture cap;
  DBTransaction tx;
  EXPECT_EQ(tx.lockMovieTables(), 1);
  EXPECT_TRUE(released.load()) << "the movie lock was granted while the account lock was held";
  release.join();
  tx.unlockTables();
}

TEST_F(Persistence, LockWaitLimitReportsFailure) {
  tt::TestDB holder;
  holder.exec("lock tables movie write");
  CoutCapture cap;
  DBTransaction tx;
  EXPECT_EQ(tx.lockMovieTables(), 0);
  std::string out = cap.text();
  EXPECT_NE(out.find("locking of movie related tables failed: "), std::string::npos) << out;
  EXPECT_NE(out.find("Lock wait timeout"), std::string::npos) << out;
  EXPECT_NE(std::string(tx.mySQLerror).find("Lock wait timeout"), std::string::npos);
  // The trace still closes the attempt.
  EXPECT_NE(out.find(" Locked Movie tables"), std::string::npos);
  EXPECT_FALSE(DBConnection::getInstance()->lockHeld());
  holder.exec("unlock tables");
}

TEST_F(Persistence, EndedRequestHoldsNoMetadataLocks) {
  DBTransaction tx;
  tx.start();
  DBQuery read;
  ASSERT_EQ(read.query("select * from user"), 1);
  ASSERT_EQ(read.storeResults(), 1);
  read.freeit();
  tx.commit();
  {
    // Autocommit is still off: this read opens a transaction of its own.
    DBQuery again;
    ASSERT_EQ(again.query("select * from user"), 1);
    ASSERT_EQ(again.storeResults(), 1);
  }
  tx.endRequest();
  tt::TestDB other;
  other.exec("set session lock_wait_timeout = 2");
  auto t0 = std::chrono::steady_clock::now();
  other.exec("lock tables user write");
  other.exec("unlock tables");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_FALSE(DBConnection::getInstance()->autocommitOff());
}

TEST_F(Persistence, RollbackUndoesWorkInsideTheLock) {
  DBTransaction tx;
  ASSERT_EQ(tx.lockAccountTables(), 1);
  ASSERT_EQ(tx.start(), 1);
  DBQuery q;
  ASSERT_EQ(q.query("insert into ticket values ('rolled', 1)"), 1);
  tx.rollback();
  tx.unlockTables();
  tx.endRequest();
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'rolled'"), 0);
}

TEST_F(Persistence, KilledIdleConnectionIsReplacedTransparently) {
  DBQuery first;
  ASSERT_EQ(first.query("select 1"), 1);
  ASSERT_EQ(first.storeResults(), 1);
  first.freeit();
  std::string id = std::to_string(mysql_thread_id(DBConnection::getHandle()));
  db.exec("kill connection " + id);
  DBQuery next;
  EXPECT_EQ(next.query("insert into ticket values ('after', 2)"), 1) << next.mySQLerror;
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'after'"), 1);
  // The session settings came back with the new connection.
  DBQuery setting;
  ASSERT_EQ(setting.query("select @@session.lock_wait_timeout"), 1);
  ASSERT_EQ(setting.storeResults(), 1);
  ASSERT_EQ(setting.isRows(), 1);
  EXPECT_STREQ(setting.fieldValue(0), "8");
}

TEST_F(Persistence, ConnectionLostUnderALockFailsTheRestOfTheRequest) {
  DBTransaction tx;
  ASSERT_EQ(tx.lockAccountTables(), 1);
  tx.start();
  std::string id = std::to_string(mysql_thread_id(DBConnection::getHandle()));
  db.exec("kill connection " + id);
  DBQuery work;
  EXPECT_EQ(work.query("insert into ticket values ('unlocked', 3)"), 0);
  DBQuery more;
  EXPECT_EQ(more.query("insert into ticket values ('unlocked', 4)"), 0)
      << "nothing of the request may run without its lock";
  EXPECT_EQ(tx.commit(), 0) << "a lost transaction must not read as committed";
  tx.endRequest();
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'unlocked'"), 0);
  DBQuery next;
  EXPECT_EQ(next.query("select 1"), 1) << "the next request reconnects";
}

// A connection that came up without its database (here: the service
// account lost its grants for a moment) is made again before the next
// statement, instead of failing every statement after it.
TEST_F(Persistence, AConnectionLeftWithoutItsDatabaseIsMadeAgain) {
  std::vector<std::string> grants;
  for (const char* host : {"127.0.0.1", "localhost"})
    for (const auto& r : db.rows(std::string("show grants for 'mvrental'@'") + host + "'"))
      if (r[0].find("`mvrental`.*") != std::string::npos) grants.push_back(r[0]);
  ASSERT_FALSE(grants.empty());
  DBConnection::getInstance()->closeConnection();
  for (const char* host : {"127.0.0.1", "localhost"})
    db.exec(std::string("revoke all privileges on mvrental.* from 'mvrental'@'") + host + "'");
  DBQuery refused;
  EXPECT_EQ(refused.query("select count(*) from movie"), 0);
  EXPECT_NE(std::string(refused.mySQLerror).find("denied"), std::string::npos)
      << refused.mySQLerror;
  for (const auto& g : grants) db.exec(g);

  DBQuery again;
  ASSERT_EQ(again.query("select count(*) from movie"), 1) << again.mySQLerror;
  ASSERT_EQ(again.storeResults(), 1);
  EXPECT_EQ(again.rows(), 1);
}

TEST_F(Persistence, ServerRestartIsSurvived) {
  DBQuery before;
  ASSERT_EQ(before.query("select 1"), 1);
  before.freeit();
  tt::restartDatabase();
  DBQuery after;
  EXPECT_EQ(after.query("insert into ticket values ('restart', 5)"), 1) << after.mySQLerror;
  tt::TestDB fresh;
  EXPECT_EQ(fresh.count("select count(*) from ticket where username = 'restart'"), 1);
}

// Secrets go into the statement, but the echo and the database's error
// text show a fixed mask instead.
TEST_F(Persistence, StatementEchoAndErrorsMaskSecrets) {
  SqlText sql;
  sql << "select * from user where userName = '";
  sql.value("o'hara") << "' and password = '";
  sql.secret("s3cr'et-pw") << "'";
  EXPECT_EQ(sql.shown(), "select * from user where userName = 'o\\'hara' and password = '***'");
  EXPECT_NE(sql.text().find("s3cr\\'et-pw"), std::string::npos);
  DBQuery q;
  ASSERT_EQ(q.query(sql.text().c_str()), 1) << q.mySQLerror;

  SqlText bad;
  bad << "insert into ticket values ('";
  bad.secret(std::string("x") + '\xff' + "hidden-pw") << "', 1)";
  DBQuery fails;
  ASSERT_EQ(fails.query(bad.text().c_str()), 0);
  EXPECT_TRUE(DBConnection::isContentError(fails.mySQLerrno)) << fails.mySQLerror;
  const std::string shown = bad.masked(fails.mySQLerror);
  EXPECT_EQ(shown.find("hidden"), std::string::npos) << shown;
  EXPECT_NE(shown.find("value: '***' for column"), std::string::npos) << shown;
}

// Claim keys suit the database's lock names: short and fixed in length;
// the parts never run together.
TEST_F(Persistence, ClaimKeysAreShortAndKeepTheirPartsApart) {
  const std::string a = DBTransaction::claimKey("ab", "1", 23);
  EXPECT_EQ(a, DBTransaction::claimKey("ab", "1", 23));
  EXPECT_NE(a, DBTransaction::claimKey("a", "b1", 23));
  EXPECT_NE(a, DBTransaction::claimKey("ab", "12", 3));
  EXPECT_EQ(a.size(), DBTransaction::claimKey(std::string(500, 'u'), std::string(64, '9'), -1).size());
  EXPECT_LE(a.size(), 64u);
}

// Replicas of one request take turns: a claim held by another session is
// waited for, and one not had within the budget is no error.
TEST_F(Persistence, AClaimHeldElsewhereIsWaitedForWithinTheBudget) {
  const std::string key = DBTransaction::claimKey("ann", "42", 7);
  tt::TestDB other;
  other.exec("do get_lock('" + key + "', 5)");
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    other.exec("do release_lock('" + key + "')");
  });
  DBTransaction tx;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(tx.prepare(key), 1) << tx.mySQLerror;
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
  release.join();
  EXPECT_EQ(db.scalar("select is_used_lock('" + key + "') is not null"), "1");
  tx.endRequest();
  EXPECT_EQ(db.scalar("select is_used_lock('" + key + "') is null"), "1") << "released at the end";

  // Held for longer than the request may wait: prepare goes on without it.
  other.exec("do get_lock('" + key + "', 5)");
  DBConnection::getInstance()->setDeadline(std::chrono::steady_clock::now() +
                                           std::chrono::milliseconds(1500));
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(tx.prepare(key), 1) << tx.mySQLerror;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1400));
  DBConnection::getInstance()->clearDeadline();
  tx.endRequest();
  other.exec("do release_lock('" + key + "')");
}

// With a deadline, a statement waits for a lock no longer than the time
// left, none is sent once it has passed, and no commit either.
TEST_F(Persistence, TheRequestDeadlineBoundsEveryStatementAndTheCommit) {
  tt::TestDB holder;
  holder.exec("lock tables movie write");
  DBConnection* conn = DBConnection::getInstance();
  conn->setDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(1200));
  DBTransaction tx;
  ASSERT_EQ(tx.prepare("a request"), 1) << tx.mySQLerror;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(tx.lockMovieTables(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
  EXPECT_TRUE(DBConnection::isTimeLimit(tx.mySQLerrno)) << tx.mySQLerror;
  holder.exec("unlock tables");

  tt::waitFor([&] { return conn->secondsLeft() <= 0; }, std::chrono::seconds(5));
  DBQuery late;
  EXPECT_EQ(late.query("insert into ticket values ('late', 1)"), 0);
  EXPECT_EQ(late.mySQLerrno, DBConnection::kBudgetExhausted);
  EXPECT_EQ(tx.commit(), 0);
  EXPECT_EQ(tx.mySQLerrno, DBConnection::kBudgetExhausted);
  conn->clearDeadline();
  tx.endRequest();
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'late'"), 0);
}

// Work done before the budget ran out is rolled back, never committed by
// the unlock or the return to autocommit that end the request: the rollback
// goes out whatever the budget, and the end of the request rolls back what
// nobody committed.
TEST_F(Persistence, WorkCutOffByTheBudgetIsRolledBackNotCommitted) {
  const long long before = db.count("select count from movie where movieID = 1");
  DBConnection* conn = DBConnection::getInstance();
  for (bool callerRollsBack : {true, false}) {
    conn->setDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(600));
    DBTransaction tx;
    ASSERT_EQ(tx.prepare("cut off"), 1) << tx.mySQLerror;
    ASSERT_EQ(tx.lockMovieTables(), 1) << tx.mySQLerror;
    ASSERT_EQ(tx.start(), 1) << tx.mySQLerror;
    DBQuery work;
    ASSERT_EQ(work.query("update movie set count = count - 1 where movieID = 1"), 1);
    tt::waitFor([&] { return conn->secondsLeft() <= 0; }, std::chrono::seconds(5));
    DBQuery late;
    EXPECT_EQ(late.query("insert into checkedoutmovies values ('cut', 1)"), 0);
    if (callerRollsBack) {
      EXPECT_EQ(tx.rollback(), 1) << "a rollback goes out after the deadline";
    }
    tx.unlockTables();
    tx.endRequest();
    EXPECT_EQ(db.count("select count from movie where movieID = 1"), before)
        << (callerRollsBack ? "rolled back by the caller" : "left for the end of the request");
  }
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'cut'"), 0);
}

// A replica frozen with the tables locked frees them within the short idle
// limit of a request, not the 30 s between requests.
TEST_F(Persistence, ALockHolderThatFallsSilentLosesItsLocksWithinSeconds) {
  DBTransaction tx;
  ASSERT_EQ(tx.prepare(), 1);
  ASSERT_EQ(tx.lockMovieTables(), 1);
  ASSERT_EQ(tx.start(), 1);
  // Silent from here on, as a stopped process would be.
  tt::TestDB other;
  other.exec("set session lock_wait_timeout = 8");
  const auto t0 = std::chrono::steady_clock::now();
  other.exec("lock tables movie write");
  const auto waited = std::chrono::steady_clock::now() - t0;
  other.exec("unlock tables");
  EXPECT_LT(waited, std::chrono::milliseconds(5000));
  EXPECT_GE(waited, std::chrono::milliseconds(DBConnection::kIdleLimitWhileHoldingSec * 1000 - 500));
  tx.endRequest();
  DBQuery next;
  EXPECT_EQ(next.query("select 1"), 1) << "the next request reconnects";
}

}  // namespace
