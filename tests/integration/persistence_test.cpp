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
#include "DBFailure.h"
#include "DBQuery.h"
#include "DBTransaction.h"
#include "SqlText.h"
#include "RowLock.h"
#include "TestSupport.h"
#include "TransactionGuard.h"

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

// The failure `call` raises; the test fails when it raises none.
template <typename Call>
DBFailure failureOf(Call&& call) {
  try {
    call();
  } catch (const DBFailure& f) {
    return f;
  }
  ADD_FAILURE() << "no DBFailure raised";
  return DBFailure(0, "");
}

// Opens a transaction on `holder` and locks the title's row, as another
// replica's request would.
void holdMovieRow(tt::TestDB& holder, int movieID) {
  holder.exec("start transaction");
  holder.exec("select movieID from movie where movieID = " + std::to_string(movieID) +
              " for update");
}

const std::vector<LockedRow> kMovieOne{LockedRow::movie(1)};

// Runs `stmt` and stores its result: the row count.
long selectRows(DBQuery& q, const std::string& stmt) {
  q.query(stmt);
  return q.storeResults();
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
  q.query("insert into ticket (username, tokenTag) values ('ann', 17)");
  EXPECT_EQ(failureOf([&] { q.storeResults(); }).code(), DBQuery::kNoResult)
      << "an INSERT has no result set";

  EXPECT_EQ(selectRows(q, "select username, tokenTag from ticket where username = 'ann'"), 1);
  EXPECT_EQ(q.rows(), 1);
  ASSERT_TRUE(q.isRows());
  EXPECT_STREQ(q.valueOf("tokenTag"), "17");
  EXPECT_STREQ(q.fieldName(0), "username");
  EXPECT_STREQ(q.fieldValue(0), "ann");
  EXPECT_FALSE(q.isRows());

  EXPECT_EQ(selectRows(q, "select * from ticket where username = 'nobody'"), 0);
  EXPECT_FALSE(q.isRows());
}

TEST_F(Persistence, SqlNullIsANullPointer) {
  DBQuery q;
  ASSERT_EQ(selectRows(q, "select NULL as nothing, 1 as one"), 1);
  ASSERT_TRUE(q.isRows());
  EXPECT_EQ(q.valueOf("nothing"), nullptr);
  EXPECT_STREQ(q.valueOf("one"), "1");
}

// A column that is not in the result is a failure, never a value a caller
// could take for data; column names are case-sensitive.
TEST_F(Persistence, AMissingColumnIsAnErrorNeverAValue) {
  DBQuery q;
  ASSERT_EQ(selectRows(q, "select 1 as one"), 1);
  ASSERT_TRUE(q.isRows());
  DBFailure f = failureOf([&] { q.valueOf("One"); });
  EXPECT_EQ(f.code(), DBQuery::kNoSuchColumn);
  EXPECT_STREQ(f.what(), "Field One not found!");
  EXPECT_EQ(f.kind(), DBFailure::Kind::kOther);
  EXPECT_EQ(failureOf([&] { q.valueOf(std::string(1000, 'x')); }).code(), DBQuery::kNoSuchColumn);
}

TEST_F(Persistence, FailedStatementRaisesTheLibraryText) {
  DBQuery q;
  DBFailure f = failureOf([&] { q.query("select * from no_such_table"); });
  EXPECT_NE(std::string(f.what()).find("no_such_table"), std::string::npos) << f.what();
  EXPECT_EQ(f.kind(), DBFailure::Kind::kOther);
}

TEST_F(Persistence, EscapedValuesRoundTripUnchanged) {
  const std::string nasty[] = {"O'Brien", "back\\slash", "semi;colon -- comment",
                               "line\nbreak\r", "quote\" and 'both'", "%_wild%",
                               "'); delete from user; --", "Zoë Ünïcødé"};
  for (const auto& value : nasty) {
    db.exec("delete from client");
    DBQuery q;
    q.query("insert into client values ('" + DBConnection::escape(value) + "', '1')");
    EXPECT_EQ(db.scalar("select username from client"), value);
    DBQuery r;
    EXPECT_EQ(selectRows(r, "select clientID from client where username = '" +
                                DBConnection::escape(value) + "'"),
              1)
        << value;
  }
  EXPECT_EQ(db.count("select count(*) from movie"), db.count("select count(*) from movie"));
}

// The key is (user, client, number, operation), and an entry answers only
// the caller it was made for.
TEST_F(Persistence, DuplicateLogKeyIsUserClientNumberAndOperationForItsCaller) {
  CustTransaction ct;
  auto key = [](const std::string& client, int number, const char* op, const char* caller) {
    CustTransaction::Key k;
    k.username = "o'neil";
    k.clientID = client;
    k.transactionID = number;
    k.operation = op;
    k.callerTag = caller;
    return k;
  };
  const CustTransaction::Key a7 = key("1270017001", 7, "updateProfile", "carol");
  EXPECT_FALSE(ct.CheckTransaction(a7));
  ct.AddTransaction(a7);
  ct.AddTransaction(key("1270017001", -32768, "updateProfile", "carol"), "refused");
  EXPECT_TRUE(ct.CheckTransaction(a7));
  EXPECT_FALSE(ct.CheckTransaction(key("1270017002", 7, "updateProfile", "carol")))
      << "another client's request 7 is a new request";
  EXPECT_FALSE(ct.CheckTransaction(key("1270017001", 7, "discontinueAccount", "carol")))
      << "another operation under the same number is not answered";
  EXPECT_FALSE(ct.CheckTransaction(key("1270017001", 7, "updateProfile", "mallory")))
      << "another caller is not answered";
  CustTransaction::Entry entry;
  EXPECT_TRUE(ct.CheckTransaction(key("1270017001", -32768, "updateProfile", "carol"), &entry));
  EXPECT_EQ(entry.refusal, "refused");
  // One row per request: a second replica's entry is refused as a duplicate.
  EXPECT_EQ(failureOf([&] { ct.AddTransaction(a7); }).code(), 1062u);
  EXPECT_EQ(db.count("select count(*) from transactions where clientID = '1270017001'"), 2);
}

TEST_F(Persistence, LockWaitShowsInTheTraceStamps) {
  tt::TestDB holder;
  holdMovieRow(holder, 1);
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    holder.exec("rollback");
  });
  CoutCapture cap;
  {
    TransactionGuard transaction;
    RowLock lock(LockFamily::kMovies, {LockedRow::user("o'neil"), LockedRow::movie(1)});
    release.join();
  }
  auto stamps = lockStamps(cap.text());
  EXPECT_GE(stamps.second - stamps.first, 1) << cap.text();
  // Rows named, titles before customers whatever the order given.
  EXPECT_NE(cap.text().find("Trying to lock Movie rows movie 1 (write), user o'neil (write)"),
            std::string::npos)
      << cap.text();
  EXPECT_NE(cap.text().find("--> "), std::string::npos);
}

// Requests for other titles and other customers never wait for a held row,
// and one for the same title does.
TEST_F(Persistence, OnlyTheSameRowsExcludeEachOther) {
  db.exec("insert into user values ('a','b','c','d','e','f','ann','p'), "
          "('a','b','c','d','e','f','bob','p')");
  tt::TestDB holder;
  holdMovieRow(holder, 1);
  holder.exec("select username from user where username = 'ann' for update");
  holder.exec("update movie set count = count - 1 where movieID = 1");
  holder.exec("insert into checkedoutmovies values ('ann', 1)");
  const auto t0 = std::chrono::steady_clock::now();
  {
    TransactionGuard transaction;
    RowLock lock(LockFamily::kMovies, {LockedRow::movie(2), LockedRow::user("bob")});
    DBQuery work;
    work.query("update movie set count = count - 1 where movieID = 2");
    work.query("insert into checkedoutmovies values ('bob', 2)");
    transaction.commit();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  std::atomic<bool> released{false};
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    released = true;
    holder.exec("commit");
  });
  {
    TransactionGuard transaction;
    RowLock lock(LockFamily::kMovies, kMovieOne);
    EXPECT_TRUE(released.load()) << "a held title's row was granted";
  }
  release.join();
}

TEST_F(Persistence, LockWaitLimitReportsFailure) {
  tt::TestDB holder;
  holdMovieRow(holder, 1);
  CoutCapture cap;
  DBFailure f = failureOf([] {
    TransactionGuard transaction;
    RowLock lock(LockFamily::kMovies, kMovieOne);
  });
  std::string out = cap.text();
  EXPECT_NE(out.find("locking of movie related rows failed: "), std::string::npos) << out;
  EXPECT_NE(out.find("Lock wait timeout"), std::string::npos) << out;
  EXPECT_EQ(std::string(f.what()).rfind("locking of movie related rows failed: Lock wait", 0),
            0u)
      << f.what();
  EXPECT_EQ(f.kind(), DBFailure::Kind::kLockWait);
  // The trace still closes the attempt.
  EXPECT_NE(out.find(" Locked Movie rows"), std::string::npos);
  EXPECT_FALSE(DBConnection::getInstance()->uncommittedWork());
  holder.exec("rollback");
}

TEST_F(Persistence, EndedRequestHoldsNoMetadataLocks) {
  DBTransaction tx;
  tx.start();
  DBQuery read;
  selectRows(read, "select * from user");
  tx.commit();
  {
    // Autocommit is still off: this read opens a transaction of its own.
    DBQuery again;
    selectRows(again, "select * from user");
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

// An exception between the lock and the commit leaves no lock and no open
// transaction: the work is rolled back, the tables are free at once, and
// nothing is left for the end of the request to commit.
TEST_F(Persistence, GuardsUndoAndUnlockWhenAnExceptionLeavesTheirScope) {
  DBConnection* conn = DBConnection::getInstance();
  CoutCapture cap;
  try {
    TransactionGuard transaction;
    RowLock lock(LockFamily::kMovies, kMovieOne);
    DBQuery q;
    q.query("insert into ticket (username, tokenTag) values ('rolled', 1)");
    EXPECT_TRUE(conn->uncommittedWork());
    throw std::runtime_error("between lock and commit");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(conn->uncommittedWork());
  const std::string out = cap.text();
  EXPECT_NE(out.find(" Unlocked rows"), std::string::npos) << out;
  tt::TestDB other;
  other.exec("set session innodb_lock_wait_timeout = 1");
  holdMovieRow(other, 1);
  other.exec("rollback");
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'rolled'"), 0);
  // Not committed by the return to autocommit either.
  DBTransaction::endRequest();
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'rolled'"), 0);

  // Committed work stays, and a refusal may be logged after the work was
  // undone, in the same transaction.
  {
    TransactionGuard transaction;
    RowLock lock(LockFamily::kMovies, kMovieOne);
    DBQuery q;
    q.query("insert into ticket (username, tokenTag) values ('undone', 2)");
    transaction.rollback();
    q.query("insert into ticket (username, tokenTag) values ('kept', 3)");
    transaction.commit();
  }
  DBTransaction::endRequest();
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'undone'"), 0);
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'kept'"), 1);
}

TEST_F(Persistence, KilledIdleConnectionIsReplacedTransparently) {
  {
    DBQuery first;
    selectRows(first, "select 1");
  }
  std::string id = std::to_string(mysql_thread_id(DBConnection::getHandle()));
  db.exec("kill connection " + id);
  DBQuery next;
  next.query("insert into ticket (username, tokenTag) values ('after', 2)");
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'after'"), 1);
  // The session settings came back with the new connection.
  DBQuery setting;
  selectRows(setting, "select @@session.lock_wait_timeout");
  ASSERT_TRUE(setting.isRows());
  EXPECT_STREQ(setting.fieldValue(0), "8");
}

TEST_F(Persistence, ConnectionLostUnderALockFailsTheRestOfTheRequest) {
  {
    TransactionGuard transaction;
    RowLock lock(LockFamily::kMovies, kMovieOne);
    std::string id = std::to_string(mysql_thread_id(DBConnection::getHandle()));
    db.exec("kill connection " + id);
    DBQuery work;
    EXPECT_EQ(failureOf([&] { work.query("insert into ticket (username, tokenTag) values ('unlocked', 3)"); }).kind(),
              DBFailure::Kind::kConnectionLost);
    DBQuery more;
    failureOf([&] { more.query("insert into ticket (username, tokenTag) values ('unlocked', 4)"); });
    // Nothing of the request may run without its lock, and a lost
    // transaction must not read as committed.
    failureOf([&] { transaction.commit(); });
  }
  DBTransaction::endRequest();
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'unlocked'"), 0);
  DBQuery next;
  next.query("select 1");  // the next request reconnects
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
  DBFailure f = failureOf([&] { refused.query("select count(*) from movie"); });
  EXPECT_NE(std::string(f.what()).find("denied"), std::string::npos) << f.what();
  for (const auto& g : grants) db.exec(g);

  DBQuery again;
  EXPECT_EQ(selectRows(again, "select count(*) from movie"), 1);
}

// A database that records another request protocol is not served: the
// two locking schemes would not exclude each other.
TEST_F(Persistence, ADatabaseOfAnotherProtocolVersionIsRefused) {
  DBConnection::getInstance()->closeConnection();
  db.exec("update protocol_version set version = 1");
  CoutCapture cap;
  DBQuery refused;
  DBFailure f = failureOf([&] { refused.query("select 1"); });
  db.exec("update protocol_version set version = " +
          std::to_string(DBConnection::kProtocolVersion));
  EXPECT_EQ(f.code(), DBConnection::kProtocolMismatch);
  EXPECT_NE(std::string(f.what()).find("records request protocol 1"), std::string::npos)
      << f.what();
  DBQuery again;
  EXPECT_EQ(selectRows(again, "select 1"), 1);
}

TEST_F(Persistence, ServerRestartIsSurvived) {
  {
    DBQuery before;
    selectRows(before, "select 1");
  }
  tt::restartDatabase();
  DBQuery after;
  after.query("insert into ticket (username, tokenTag) values ('restart', 5)");
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
  q.query(sql);

  SqlText bad;
  bad << "insert into ticket (username, tokenTag) values ('";
  bad.secret(std::string("x") + '\xff' + "hidden-pw") << "', 1)";
  DBQuery fails;
  DBFailure f = failureOf([&] { fails.query(bad); });
  EXPECT_EQ(f.kind(), DBFailure::Kind::kContentRefused) << f.what();
  const std::string shown = f.what();
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
  tx.prepare(key);
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
  tx.prepare(key);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1400));
  DBConnection::getInstance()->clearDeadline();
  tx.endRequest();
  other.exec("do release_lock('" + key + "')");
}

// With a deadline, a statement waits for a lock no longer than the time
// left, none is sent once it has passed, and no commit either.
TEST_F(Persistence, TheRequestDeadlineBoundsEveryStatementAndTheCommit) {
  tt::TestDB holder;
  holdMovieRow(holder, 1);
  DBConnection* conn = DBConnection::getInstance();
  conn->setDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(1200));
  DBTransaction tx;
  tx.prepare("a request");
  const auto t0 = std::chrono::steady_clock::now();
  DBFailure locked = failureOf([] {
    TransactionGuard transaction;
    RowLock lock(LockFamily::kMovies, kMovieOne);
  });
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
  EXPECT_TRUE(locked.kind() == DBFailure::Kind::kLockWait ||
              locked.kind() == DBFailure::Kind::kBudget)
      << locked.what();
  holder.exec("rollback");

  tt::waitFor([&] { return conn->secondsLeft() <= 0; }, std::chrono::seconds(5));
  DBQuery late;
  EXPECT_EQ(failureOf([&] { late.query("insert into ticket (username, tokenTag) values ('late', 1)"); }).code(),
            DBFailure::kBudgetExhausted);
  EXPECT_EQ(failureOf([&] { tx.commit(); }).kind(), DBFailure::Kind::kBudget);
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
    tx.prepare("cut off");
    tx.start();
    tx.lockRows(LockFamily::kMovies, kMovieOne);
    DBQuery work;
    work.query("update movie set count = count - 1 where movieID = 1");
    tt::waitFor([&] { return conn->secondsLeft() <= 0; }, std::chrono::seconds(5));
    DBQuery late;
    failureOf([&] { late.query("insert into checkedoutmovies values ('cut', 1)"); });
    if (callerRollsBack) tx.rollback();  // a rollback goes out after the deadline
    tx.unlockRows();
    tx.endRequest();
    EXPECT_EQ(db.count("select count from movie where movieID = 1"), before)
        << (callerRollsBack ? "rolled back by the caller" : "left for the end of the request");
  }
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'cut'"), 0);
}

// A replica frozen with rows locked frees them within the short idle limit
// of a request, not the 30 s between requests.
TEST_F(Persistence, ALockHolderThatFallsSilentLosesItsLocksWithinSeconds) {
  DBTransaction tx;
  tx.prepare();
  tx.start();
  tx.lockRows(LockFamily::kMovies, kMovieOne);
  // Silent from here on, as a stopped process would be.
  tt::TestDB other;
  other.exec("set session innodb_lock_wait_timeout = 8");
  const auto t0 = std::chrono::steady_clock::now();
  holdMovieRow(other, 1);
  const auto waited = std::chrono::steady_clock::now() - t0;
  other.exec("rollback");
  EXPECT_LT(waited, std::chrono::milliseconds(5000));
  EXPECT_GE(waited, std::chrono::milliseconds(DBConnection::kIdleLimitWhileHoldingSec * 1000 - 500));
  tx.endRequest();
  DBQuery next;
  next.query("select 1");  // the next request reconnects
}

}  // namespace
