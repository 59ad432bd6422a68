// User in-process against the test database: session tokens, timing files
// and refusal when the account tables cannot be locked.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "Contract.h"
#include "DBQuery.h"
#include "DBSettings.h"
#include "RequestScope.h"
#include "Sessions.h"
#include "TestSupport.h"
#include "Unavailable.h"
#include "User.h"

namespace {

std::vector<std::string> lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Statements this connection has sent so far (the SHOW itself included).
long statementsSent() {
  DBQuery q;
  q.query("show session status like 'Questions'");
  q.storeResults();
  return q.isRows() ? std::stol(q.text("Value")) : -1;
}

bool isNumber(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

class UserInProcess : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The timing files land in the working directory, created rw-rw-r--
    // less the umask; one of them exists already.
    ASSERT_EQ(chdir(tt::scratchDir().c_str()), 0);
    umask(002);
    std::ofstream("accountServerLogin.dat") << "7\n";
    User::getInstance();
  }

  void SetUp() override { db.reset(); }

  // Every call as one request, like the servants make it.
  Ticket_var login(const std::string& name, const std::string& clientID, short tid,
                   const std::string& password = "pw") {
    RequestScope scope;
    UserInfo u = tt::makeUser(name, password);
    return User::getInstance()->login(u, tt::makeTrans(clientID, tid));
  }
  void createProfile(const std::string& name, const std::string& clientID, short tid) {
    RequestScope scope;
    User::getInstance()->createProfile(tt::makeUser(name), tt::makeTrans(clientID, tid));
  }

  tt::TestDB db;
};

TEST_F(UserInProcess, TokensAreRandomNonZeroAndStoredWithTheSession) {
  createProfile("alice", "1", 1);
  std::set<CORBA::Long> tokens;
  // Sessions opened in quick succession, alternately from two client
  // instances, so that each log-in opens a new one.
  for (short i = 0; i < 10; ++i) {
    Ticket_var t = login("alice", i % 2 ? "1" : "2", static_cast<short>(10 + i));
    EXPECT_NE(t->token, 0);
    EXPECT_EQ(db.scalar("select tokenTag from ticket where username='alice'"),
              tt::ticketTag("alice", t->token))
        << "the session is stored as its token's keyed hash";
    tokens.insert(t->token);
  }
  EXPECT_EQ(tokens.size(), 10u);
}

TEST_F(UserInProcess, TimingFilesKeepOldLinesAndGetOneNumberPerOperation) {
  createProfile("bob", "1", 1);
  login("bob", "1", 2);
  Ticket_var t = login("bob", "1", 3);
  {
    RequestScope scope;
    User::getInstance()->logout(t);
  }

  auto loginLines = lines("accountServerLogin.dat");
  ASSERT_GE(loginLines.size(), 2u);
  EXPECT_EQ(loginLines[0], "7");
  for (const auto& l : loginLines) EXPECT_TRUE(isNumber(l)) << l;
  for (const char* f : {"accountServerLogout.dat", "accountServerCreateProfile.dat"}) {
    auto ls = lines(f);
    EXPECT_FALSE(ls.empty()) << f;
    for (const auto& l : ls) EXPECT_TRUE(isNumber(l)) << f << ": " << l;
    struct stat st;
    ASSERT_EQ(stat(f, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0664u) << f;
  }
}

// A log-in from another client instance ends the session it replaces in
// the same transaction as it opens its own: when the rest fails (here the
// client identity does not fit its column), the old session is still there.
TEST_F(UserInProcess, ALogInThatFailsAfterEndingAnotherSessionLeavesThatSession) {
  createProfile("dora", "1", 1);
  Ticket_var first = login("dora", "1", 2);
  const std::string tooLong(65, '7');
  EXPECT_THROW(login("dora", tooLong, 1), TavrinException);
  EXPECT_EQ(db.scalar("select tokenTag from ticket where username='dora'"),
            tt::ticketTag("dora", first->token));
  EXPECT_EQ(db.scalar("select clientID from client where username='dora'"), "1");
  EXPECT_EQ(db.count("select count(*) from transactions where clientID='" + tooLong + "'"), 0);
}

// Every request of a session checks its ticket: one statement while the
// session is live, and one more only when it is due to be kept alive.
TEST_F(UserInProcess, ALiveTicketIsCheckedInOneStatementAndKeptAliveWhenDue) {
  createProfile("erin", "1", 1);
  Ticket_var t = login("erin", "1", 2);
  const long idle = DBSettings::current().limits().sessionIdle;
  auto sentForCheck = [&t] {
    RequestScope scope;
    const long before = statementsSent();
    Sessions::validate(t.in());
    return statementsSent() - before - 1;
  };
  EXPECT_EQ(sentForCheck(), 1);
  db.exec("update ticket set seenAt = now(6) - interval " + std::to_string(idle / 10 + 2) +
          " second where username='erin'");
  EXPECT_EQ(sentForCheck(), 2);
  EXPECT_EQ(db.count("select count(*) from ticket where username='erin' and "
                     "seenAt > now(6) - interval 2 second"),
            1)
      << "a session in use is kept alive";
  EXPECT_EQ(sentForCheck(), 1);

  Ticket_var forged = copyTicket(t.in());
  forged->token ^= 1;
  {
    RequestScope scope;
    EXPECT_THROW(Sessions::validate(forged.in()), TavrinException);
  }
  EXPECT_EQ(db.count("select count(*) from guesses where username='erin'"), 1);
  {
    RequestScope scope;
    User::getInstance()->logout(t);
  }
  {
    RequestScope scope;
    EXPECT_THROW(Sessions::validate(t.in()), TavrinException);
  }
  EXPECT_EQ(db.count("select count(*) from guesses where username='erin'"), 1)
      << "the customer's own ended ticket is no guess";
}

TEST_F(UserInProcess, ARequestThatCannotLockTheAccountRowsIsRefused) {
  tt::TestDB holder;
  holder.exec("lock tables user write");
  // Not an answer of the rules: the replica could not do the work, within
  // the request's time budget.
  std::string message;
  Unavailable::Reason reason = Unavailable::kInternal;
  try {
    createProfile("carol", "1", 1);
  } catch (const Unavailable& e) {
    message = e.what();
    reason = e.reason();
  }
  holder.exec("unlock tables");

  EXPECT_EQ(message.rfind("locking of account related rows failed: ", 0), 0u) << message;
  EXPECT_EQ(reason, Unavailable::kLockWait) << message;
  EXPECT_EQ(db.count("select count(*) from user"), 0);
  EXPECT_EQ(db.count("select count(*) from transactions"), 0);

  // Once the table is free the same request goes through.
  createProfile("carol", "1", 1);
  EXPECT_EQ(db.count("select count(*) from user where username='carol'"), 1);
}

}  // namespace
