// The account service as the client sees it: three acctserver replicas,
// every request sent to all of them at once, the database checked directly.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

const char* const kBadTicket = "more than one or no user found with the same uname/ticket\n";
const char* const kBadPassword = "More than one or no user found with the same uname/password\n";

// What one replica answered.
struct Outcome {
  bool ok = false;
  std::string error;  // TavrinException text, or the system exception's name
  Ticket ticket;
  UserInfo info;
  CORBA::ULong count = 0;
};

std::string s(const CORBA::String_member& m) { return m.in() ? m.in() : ""; }

size_t lineCount(const std::string& path) {
  std::ifstream in(path);
  size_t n = 0;
  for (std::string line; std::getline(in, line);) ++n;
  return n;
}

class AccountService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { deployment = new tt::Deployment(3, 0); }
  static void TearDownTestSuite() {
    delete deployment;
    deployment = nullptr;
  }

  void SetUp() override {
    db.reset();
    accounts = deployment->accounts();
    ASSERT_EQ(accounts.size(), 3u);
  }

  // Sends one request to every replica at once, one thread each, like the
  // console client does, and returns each replica's outcome.
  std::vector<Outcome> fanOut(const std::function<void(Account_ptr, Outcome&)>& call) {
    std::vector<Outcome> out(accounts.size());
    std::vector<std::thread> workers;
    for (size_t i = 0; i < accounts.size(); ++i) {
      workers.emplace_back([&, i] {
        try {
          call(accounts[i].in(), out[i]);
          out[i].ok = true;
        } catch (const TavrinException& e) {
          out[i].error = e.errorMessage.in();
        } catch (const CORBA::Exception& e) {
          out[i].error = std::string("system exception ") + e._name();
        }
      });
    }
    for (auto& w : workers) w.join();
    return out;
  }

  std::vector<Outcome> logIn(const std::string& name, const std::string& password,
                             const std::string& clientID, short tid) {
    return fanOut([&](Account_ptr a, Outcome& o) {
      o.info = tt::makeUser(name, password);
      o.info.fName = CORBA::string_dup("");
      o.info.eMail = CORBA::string_dup("");
      Ticket_var t = a->logIn(o.info, tt::makeTrans(clientID, tid));
      o.ticket = t.in();
    });
  }

  // Logs in through all replicas and returns the one ticket they agree on.
  Ticket session(const std::string& name, const std::string& clientID, short tid,
                 const std::string& password = "pw") {
    auto out = logIn(name, password, clientID, tid);
    for (const auto& o : out) {
      EXPECT_TRUE(o.ok) << o.error;
      EXPECT_EQ(s(o.ticket.username), name);
      EXPECT_EQ(o.ticket.token, out[0].ticket.token);
    }
    return out[0].ticket;
  }

  void registerUser(const UserInfo& u, const std::string& clientID, short tid) {
    for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
           a->createAccount(u, tt::makeTrans(clientID, tid));
         }))
      ASSERT_TRUE(o.ok) << o.error;
  }

  void registerUser(const std::string& name) { registerUser(tt::makeUser(name), "reg-" + name, 1); }

  CORBA::ULong movieCount(const Ticket& t) {
    return accounts[0]->obtainNoOfOutstandingMovies(t);
  }

  std::string refusal(const std::function<void()>& call) {
    try {
      call();
    } catch (const TavrinException& e) {
      return e.errorMessage.in();
    }
    return "<no refusal>";
  }

  size_t timingLines(const std::string& file) {
    size_t n = 0;
    for (const auto& r : deployment->accountReplicas) n += lineCount(r->workDir() + "/" + file);
    return n;
  }

  // How often the replicas have tried to take the account tables' lock.
  size_t lockAttempts() {
    const std::string needle = "Trying to lock Account rows";
    size_t n = 0;
    for (const auto& r : deployment->accountReplicas) {
      const std::string out = r->process().output();
      for (size_t at = out.find(needle); at != std::string::npos; at = out.find(needle, at + 1))
        ++n;
    }
    return n;
  }

  std::string col(const std::string& column, const std::string& user) {
    return db.scalar("select " + column + " from user where username = '" + db.escape(user) + "'");
  }

  static tt::Deployment* deployment;
  tt::TestDB db;
  std::vector<Account_var> accounts;
};

tt::Deployment* AccountService::deployment = nullptr;

// ------------------------------------------------------------------ log-in

TEST_F(AccountService, OneLogInThroughThreeReplicasOpensOneSession) {
  registerUser("alice");
  size_t before = timingLines("accountServerLogin.dat");

  auto out = logIn("alice", "pw", "10001", 2);
  for (const auto& o : out) {
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(s(o.ticket.username), "alice");
    EXPECT_EQ(o.ticket.token, out[0].ticket.token);
    // The profile comes back filled in, the credentials as sent.
    EXPECT_EQ(s(o.info.fName), "Falice");
    EXPECT_EQ(s(o.info.eMail), "alice@example.org");
    EXPECT_EQ(s(o.info.password), "pw");
  }
  EXPECT_NE(out[0].ticket.token, 0);
  EXPECT_EQ(db.scalar("select tokenTag from ticket where username='alice'"),
            tt::ticketTag("alice", out[0].ticket.token));
  EXPECT_EQ(db.count("select count(*) from ticket where username='alice'"), 1);
  EXPECT_EQ(db.scalar("select clientID from client where username='alice'"), "10001");
  EXPECT_EQ(db.count("select count(*) from transactions where username='alice' and clientID='10001'"), 1);
  EXPECT_EQ(timingLines("accountServerLogin.dat"), before + 1);
  EXPECT_EQ(movieCount(out[0].ticket), 0u);
}

// The replicas after the first answer without the account tables' lock: a
// log-in from the request log, its caller's password still checked, and a
// log-out once the session is gone.
TEST_F(AccountService, ALogInAndALogOutThroughThreeReplicasTakeTheLockTwice) {
  registerUser("alice");
  const size_t locksBefore = lockAttempts();
  std::vector<Ticket> tickets;
  for (auto& a : accounts) {
    UserInfo u = tt::makeUser("alice", "pw");
    Ticket_var t = a->logIn(u, tt::makeTrans("10001", 2));
    EXPECT_EQ(s(u.fName), "Falice");
    tickets.push_back(t.in());
  }
  for (const Ticket& t : tickets) EXPECT_EQ(t.token, tickets[0].token);
  EXPECT_EQ(lockAttempts(), locksBefore + 1);
  UserInfo wrong = tt::makeUser("alice", "guess");
  EXPECT_EQ(refusal([&] { Ticket_var t = accounts[2]->logIn(wrong, tt::makeTrans("10001", 2)); }),
            kBadPassword);
  EXPECT_EQ(lockAttempts(), locksBefore + 1);
  EXPECT_EQ(db.count("select count(*) from transactions where clientID='10001'"), 1);

  for (auto& a : accounts) a->logOut(tickets[0]);
  EXPECT_EQ(lockAttempts(), locksBefore + 2);
  EXPECT_EQ(db.count("select count(*) from ticket where username='alice'"), 0);
  EXPECT_EQ(db.count("select count(*) from client where username='alice'"), 0);
}

TEST_F(AccountService, LogInFromSecondClientEndsTheFirstSession) {
  registerUser("alice");
  Ticket first = session("alice", "10001", 2);
  db.exec("insert into transactions (username, clientID, transactionID) values ('alice', '10001', 3)");
  db.exec("insert into transactions (username, clientID, transactionID, loggedAt) values "
          "('alice', '10001', 4, now() - interval 2 day)");
  size_t logouts = timingLines("accountServerLogout.dat");

  Ticket second = session("alice", "20002", 1);

  EXPECT_NE(second.token, first.token);
  EXPECT_EQ(db.scalar("select clientID from client where username='alice'"), "20002");
  EXPECT_EQ(db.scalar("select tokenTag from ticket where username='alice'"),
            tt::ticketTag("alice", second.token));
  // The ended session's requests stay logged, so a late replica still finds
  // them; only entries older than a day are dropped.
  EXPECT_EQ(db.count("select count(*) from transactions where clientID='10001' and transactionID=3"), 1);
  EXPECT_EQ(db.count("select count(*) from transactions where clientID='10001' and transactionID=4"), 0);
  EXPECT_EQ(timingLines("accountServerLogout.dat"), logouts + 1);
  EXPECT_EQ(refusal([&] { movieCount(first); }), kBadTicket);
  EXPECT_EQ(movieCount(second), 0u);
}

TEST_F(AccountService, WrongPasswordNeverEndsASession) {
  registerUser("alice");
  Ticket t = session("alice", "10001", 2);
  size_t logouts = timingLines("accountServerLogout.dat");

  // From another client instance: the session stays.
  for (const auto& o : logIn("alice", "guess", "66666", 1)) {
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, kBadPassword);
  }
  // From the session's own client instance: the same.
  for (const auto& o : logIn("alice", "guess", "10001", 3)) {
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, kBadPassword);
  }
  // Passwords compare exactly.
  for (const auto& o : logIn("alice", "PW", "66666", 2)) EXPECT_EQ(o.error, kBadPassword);

  EXPECT_EQ(db.scalar("select clientID from client where username='alice'"), "10001");
  EXPECT_EQ(db.scalar("select tokenTag from ticket where username='alice'"),
            tt::ticketTag("alice", t.token));
  EXPECT_EQ(timingLines("accountServerLogout.dat"), logouts);
  EXPECT_EQ(movieCount(t), 0u);
}

TEST_F(AccountService, LogInWithoutAccountIsRefused) {
  for (const auto& o : logIn("nobody", "pw", "10001", 1)) EXPECT_EQ(o.error, kBadPassword);
  EXPECT_EQ(db.count("select count(*) from ticket"), 0);
  EXPECT_EQ(db.count("select count(*) from client"), 0);
}

// ------------------------------------------------------------ registration

TEST_F(AccountService, RegistrationThroughThreeReplicasInsertsOnce) {
  size_t before = timingLines("accountServerCreateProfile.dat");
  registerUser(tt::makeUser("carol"), "30003", 1);

  EXPECT_EQ(db.count("select count(*) from user where username='carol'"), 1);
  EXPECT_EQ(db.count("select count(*) from transactions where username='carol'"), 1);
  EXPECT_EQ(timingLines("accountServerCreateProfile.dat"), before + 1);
  for (const auto& r : deployment->accountReplicas) {
    std::ifstream f(r->workDir() + "/accountServerCreateProfile.dat");
    for (std::string line; std::getline(f, line);)
      EXPECT_TRUE(!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
          << "timing line '" << line << "'";
  }
}

TEST_F(AccountService, RegistrationUnderATakenNameIsRefusedAndTheRefusalStands) {
  registerUser(tt::makeUser("carol"), "30003", 1);
  UserInfo other = tt::makeUser("carol", "other");
  other.fName = CORBA::string_dup("Impostor");

  // Same request number as the first registration, another client instance:
  // not a repeat, a refusal.
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
         a->createAccount(other, tt::makeTrans("40004", 1));
       })) {
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error.rfind("Creation of profile failed: ", 0), 0u) << o.error;
    EXPECT_NE(o.error.find("Duplicate entry"), std::string::npos) << o.error;
  }
  EXPECT_EQ(col("fName", "carol"), "Fcarol");
  EXPECT_TRUE(tt::storesPassword(db, "carol", "pw"));

  // The refusal is logged with the request: a replica that runs it late,
  // after the name became free, repeats the refusal instead of creating
  // an account its client was told did not come about.
  EXPECT_EQ(db.count("select count(*) from transactions where clientID='40004'"), 1);
  db.exec("delete from user where username = 'carol'");
  EXPECT_EQ(refusal([&] { accounts[2]->createAccount(other, tt::makeTrans("40004", 1)); })
                .rfind("Creation of profile failed: ", 0),
            0u);
  EXPECT_EQ(db.count("select count(*) from user where username = 'carol'"), 0);
}

// -------------------------------------------------------- profiles, tickets

TEST_F(AccountService, ProfileUpdateRewritesEveryFieldEmptyOnesIncluded) {
  registerUser("dave");
  Ticket t = session("dave", "50005", 2);

  UserInfo changed = tt::makeUser("dave", "pw2");
  changed.fName = CORBA::string_dup("David");
  changed.address = CORBA::string_dup("");
  changed.phoneNum = CORBA::string_dup("");
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
         a->updateProfile(changed, t, tt::makeTrans("50005", 3));
       }))
    EXPECT_TRUE(o.ok) << o.error;

  EXPECT_EQ(col("fName", "dave"), "David");
  EXPECT_EQ(col("address", "dave"), "");
  EXPECT_EQ(col("phoneNum", "dave"), "");
  EXPECT_EQ(col("eMail", "dave"), "dave@example.org");
  EXPECT_TRUE(tt::storesPassword(db, "dave", "pw2"));
  EXPECT_EQ(db.count("select count(*) from transactions where username='dave' and transactionID=3"), 1);

  // The new password opens the session's own client; the old one does not.
  EXPECT_EQ(logIn("dave", "pw", "50005", 4)[0].error, kBadPassword);
  EXPECT_TRUE(logIn("dave", "pw2", "50005", 5)[0].ok);
}

TEST_F(AccountService, ATicketActsOnlyForItsOwnUser) {
  registerUser("alice");
  registerUser("bob");
  Ticket alice = session("alice", "10001", 2);
  session("bob", "20002", 2);

  UserInfo hijack = tt::makeUser("bob", "owned");
  hijack.fName = CORBA::string_dup("Hijacked");
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
         a->updateProfile(hijack, alice, tt::makeTrans("10001", 3));
       }))
    EXPECT_EQ(o.error, kBadTicket);
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
         a->discontinueAccount(hijack, alice, tt::makeTrans("10001", 4));
       }))
    EXPECT_EQ(o.error, kBadTicket);

  EXPECT_EQ(col("fName", "bob"), "Fbob");
  EXPECT_TRUE(tt::storesPassword(db, "bob", "pw"));
  EXPECT_EQ(db.count("select count(*) from transactions where clientID='10001'"), 1);

  // A forged token is no ticket at all.
  Ticket forged = tt::makeTicket("bob", alice.token);
  EXPECT_EQ(refusal([&] {
              accounts[1]->updateProfile(hijack, forged, tt::makeTrans("10001", 5));
            }),
            kBadTicket);
  EXPECT_EQ(refusal([&] { movieCount(forged); }), kBadTicket);
}

// A ticket that is not the live session ends nothing and is answered as a
// name without a session is: no one learns whether alice is logged in.
TEST_F(AccountService, LogOutNeedsTheSessionsTicket) {
  registerUser("alice");
  Ticket t = session("alice", "10001", 2);

  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
         a->logOut(tt::makeTicket("alice", t.token ^ 1));
       }))
    EXPECT_TRUE(o.ok) << o.error;
  EXPECT_EQ(movieCount(t), 0u) << "alice's session is untouched";
  EXPECT_EQ(db.count("select count(*) from client where username='alice'"), 1);

  size_t logouts = timingLines("accountServerLogout.dat");
  long long loggedBefore = db.count("select count(*) from transactions where username='alice'");
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) { a->logOut(t); }))
    EXPECT_TRUE(o.ok) << o.error;
  EXPECT_EQ(db.count("select count(*) from ticket where username='alice'"), 0);
  EXPECT_EQ(db.count("select count(*) from client where username='alice'"), 0);
  EXPECT_EQ(db.count("select count(*) from transactions where username='alice'"), loggedBefore);
  EXPECT_EQ(refusal([&] { movieCount(t); }), kBadTicket);
  // Every replica's log-out succeeded and timed itself.
  EXPECT_EQ(timingLines("accountServerLogout.dat"), logouts + 3);

  // Without a session there is nothing to protect: log-out succeeds.
  EXPECT_NO_THROW(accounts[2]->logOut(tt::makeTicket("alice", 42)));
}

// The replicas' logs are read by operators: no password, card number or
// session token may appear in them, whatever the request did, including
// refusals whose database message quotes the value.
TEST_F(AccountService, TraceLinesHoldNoPasswordCardNumberOrToken) {
  const std::string client = "555000111";
  UserInfo u = tt::makeUser("gina", "Pw-7Zq!x9");
  u.creditCardNum = CORBA::string_dup("4929123456781234");
  registerUser(u, client, 1);
  Ticket t = session("gina", client, 2, "Pw-7Zq!x9");
  UserInfo changed = u;
  changed.password = CORBA::string_dup("Nw-4Kd#p2");
  changed.creditCardNum = CORBA::string_dup("5105105105105100");
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
         a->updateProfile(changed, t, tt::makeTrans(client, 3));
       }))
    EXPECT_TRUE(o.ok) << o.error;
  // A card number the database cannot store as text would be quoted in
  // its refusal; sealed, it never reaches the database as text.
  UserInfo bad = changed;
  const std::string invalid = std::string("Bx") + '\xff' + '\xfe' + "secretX";
  bad.creditCardNum = CORBA::string_dup(invalid.c_str());
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
         a->updateProfile(bad, t, tt::makeTrans(client, 4));
       }))
    EXPECT_EQ(o.error.find("secretX"), std::string::npos) << o.error;
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) { a->logOut(t); }))
    EXPECT_TRUE(o.ok) << o.error;

  const std::string token = std::to_string(t.token);
  size_t echoes = 0;
  for (const auto& r : deployment->accountReplicas) {
    const std::string log = r->process().output();
    for (const std::string& secret : {std::string("Pw-7Zq!x9"), std::string("Nw-4Kd#p2"),
                                       std::string("4929123456781234"),
                                       std::string("5105105105105100"), std::string("secretX"),
                                       token})
      EXPECT_EQ(log.find(secret), std::string::npos) << r->name() << " logged " << secret;
    if (log.find("password = '***'") != std::string::npos) ++echoes;
  }
  EXPECT_GE(echoes, 1u) << "the echo of the replica that did the work keeps its shape";
}

TEST_F(AccountService, QuotesAndBackslashesRoundTripInEveryField) {
  UserInfo u;
  u.fName = CORBA::string_dup("O'Brien");
  u.lName = CORBA::string_dup("back\\slash");
  u.address = CORBA::string_dup("1 \"Quoted\" Rd; drop table user; --");
  u.creditCardNum = CORBA::string_dup("4111'1111\\");
  u.phoneNum = CORBA::string_dup("555\n1234");
  u.eMail = CORBA::string_dup("o'b@example.org");
  u.username = CORBA::string_dup("o'neil\\");
  u.password = CORBA::string_dup("p'w\\\"");
  registerUser(u, "70007", 1);

  const std::string name = "o'neil\\";
  EXPECT_EQ(col("fName", name), "O'Brien");
  EXPECT_EQ(col("lName", name), "back\\slash");
  EXPECT_EQ(col("address", name), "1 \"Quoted\" Rd; drop table user; --");
  EXPECT_EQ(tt::storedCard(db, name), "4111'1111\\") << "sealed at rest, opened with the key";
  EXPECT_EQ(col("phoneNum", name), "555\n1234");
  EXPECT_EQ(col("eMail", name), "o'b@example.org");
  EXPECT_TRUE(tt::storesPassword(db, name, "p'w\\\""));

  auto out = fanOut([&](Account_ptr a, Outcome& o) {
    o.info = u;
    o.info.fName = CORBA::string_dup("");
    o.info.address = CORBA::string_dup("");
    Ticket_var tk = a->logIn(o.info, tt::makeTrans("70007", 2));
    o.ticket = tk.in();
  });
  for (const auto& o : out) {
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(s(o.info.fName), "O'Brien");
    EXPECT_EQ(s(o.info.address), "1 \"Quoted\" Rd; drop table user; --");
    EXPECT_EQ(s(o.ticket.username), name);
  }
  Ticket t = out[0].ticket;

  UserInfo changed = u;
  changed.lName = CORBA::string_dup("it's \\ changed");
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
         a->updateProfile(changed, t, tt::makeTrans("70007", 3));
       }))
    EXPECT_TRUE(o.ok) << o.error;
  EXPECT_EQ(col("lName", name), "it's \\ changed");
  EXPECT_EQ(movieCount(t), 0u);

  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) { a->logOut(t); }))
    EXPECT_TRUE(o.ok) << o.error;
  EXPECT_EQ(db.count("select count(*) from ticket"), 0);
  EXPECT_EQ(db.count("select count(*) from user"), 1);
}

// The client's usual road through the account service.
TEST_F(AccountService, RegisterLogInUpdateCountLogOutDiscontinue) {
  const std::string client = "1921680011234";
  short tid = 0;
  UserInfo u = tt::makeUser("erin", "secret");
  registerUser(u, client, ++tid);

  Ticket t = session("erin", client, ++tid, "secret");

  UserInfo changed = tt::makeUser("erin", "secret");
  changed.address = CORBA::string_dup("2 Side Street");
  ++tid;
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
         a->updateProfile(changed, t, tt::makeTrans(client, tid));
       }))
    EXPECT_TRUE(o.ok) << o.error;
  EXPECT_EQ(col("address", "erin"), "2 Side Street");

  db.exec("insert into checkedoutmovies values ('erin', 1), ('erin', 2), ('frank', 3)");
  for (const auto& o : fanOut([&](Account_ptr a, Outcome& o) {
         o.count = a->obtainNoOfOutstandingMovies(t);
       })) {
    EXPECT_TRUE(o.ok) << o.error;
    EXPECT_EQ(o.count, 2u);
  }

  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) { a->logOut(t); }))
    EXPECT_TRUE(o.ok) << o.error;
  EXPECT_EQ(db.count("select count(*) from ticket"), 0);
  EXPECT_EQ(refusal([&] { movieCount(t); }), kBadTicket);

  // A fresh session. With movies out the account cannot go: the copies
  // would leave circulation, and a later owner of the name would inherit
  // them.
  t = session("erin", client, ++tid, "secret");
  ++tid;
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
         a->discontinueAccount(changed, t, tt::makeTrans(client, tid));
       }))
    EXPECT_EQ(o.error, "Please return your movies before discontinuing your account");
  EXPECT_EQ(db.count("select count(*) from user where username='erin'"), 1);
  EXPECT_EQ(movieCount(t), 2u);

  // Movies back, a waiting row left: now the account goes for good, with
  // its session and its waiting rows; the request log stays.
  db.exec("delete from checkedoutmovies where username = 'erin'");
  db.exec("insert into waitlistedmovies values ('erin', 4, NULL)");
  const long long logRows = db.count("select count(*) from transactions where username='erin'");
  ++tid;
  for (const auto& o : fanOut([&](Account_ptr a, Outcome&) {
         a->discontinueAccount(changed, t, tt::makeTrans(client, tid));
       }))
    EXPECT_TRUE(o.ok) << o.error;
  EXPECT_EQ(db.count("select count(*) from user where username='erin'"), 0);
  EXPECT_EQ(db.count("select count(*) from ticket where username='erin'"), 0);
  EXPECT_EQ(db.count("select count(*) from client where username='erin'"), 0);
  EXPECT_EQ(db.count("select count(*) from waitlistedmovies where username='erin'"), 0);
  EXPECT_EQ(db.count("select count(*) from transactions where username='erin'"), logRows + 1);
  // The old ticket acts for no one, and a new log-in finds no account.
  EXPECT_EQ(refusal([&] { movieCount(t); }), kBadTicket);
  EXPECT_EQ(logIn("erin", "secret", "99999", ++tid)[0].error, kBadPassword);
}

}  // namespace
