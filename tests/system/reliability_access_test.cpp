// Access: forged tickets and acting for another user. Guessed tokens (the
// clock around the log-in included), another user's name with one's own
// token, updating, discontinuing or logging out another user, and the ticket
// of a discontinued account against the new owner of its name: all are
// refused by every operation, and no victim loses anything. No replica's
// log holds a password, card number or token.
// Impostors next to the genuine replicas: a plain listener, and replicas
// whose certificate comes from another CA or was not issued for a server.
// None receives a byte of a request, each refusal is traced with its
// reason, and the console's requests succeed.
#include <climits>
#include <cstdlib>
#include <ctime>
#include <random>

#include "SystemScenario.h"

namespace tt {
namespace {

const char* const kBadTicket = "more than one or no user found with the same uname/ticket\n";
const char* const kBadPassword = "More than one or no user found with the same uname/password\n";
const char* const kCutOff = "Too many failed log-ins; please try again later";

// Every value of every table, as one text.
std::string everythingStored(TestDB& db) {
  std::string all;
  for (const char* table : {"user", "ticket", "client", "transactions", "guesses", "ended_ticket",
                            "checkedoutmovies", "waitlistedmovies"})
    for (const auto& row : db.rows(std::string("select * from ") + table))
      for (const auto& v : row) all += v + "\n";
  return all;
}

class ReliabilityAccess : public SystemScenario {
 protected:
  // Sends every ticket-checked operation with `forger`'s current ticket and
  // profile; each must be refused with the session message. Log-out is
  // refused only while the victim has a session: without one there is
  // nothing to end, and it succeeds by design.
  void expectAllRefused(Session& forger, const std::string& what, bool victimHasSession = true) {
    MovieInfo m = makeMovie("title1");
    m.movieID = movieID_;
    auto check = [&](Outcome out, const char* op) {
      ++sent_;
      if (out == Outcome::Refused && forger.last().message == kBadTicket) return;
      ++breaches_;
      ADD_FAILURE() << op << " with " << what << ": " << outcomeName(out) << ": "
                    << forger.last().message;
    };
    check(forger.search("title1"), "search");
    check(forger.checkout(m), "checkout");
    check(forger.waitlist(m), "waitlist");
    check(forger.returnMovie("title1"), "return");
    check(forger.countHeld(), "count of movies held");
    UserInfo changed = forger.profile();
    changed.password = CORBA::string_dup("owned");
    changed.address = CORBA::string_dup("attacker street");
    check(forger.updateProfile(changed), "updateProfile");
    check(forger.discontinue(), "discontinueAccount");
    // Log-out with a forged ticket ends nothing and answers as for a name
    // without a session: the victim's session is compared afterwards.
    ++sent_;
    if (forger.logOut() != Outcome::Success) {
      ++breaches_;
      ADD_FAILURE() << "logOut with " << what << " told the forger something: "
                    << forger.last().message;
    }
    (void)victimHasSession;
  }

  CORBA::ULong movieID_ = 0;
  std::vector<RequestRecord> records_;
  size_t sent_ = 0;
  size_t breaches_ = 0;
};

TEST_F(ReliabilityAccess, ForgedTicketsAndOtherUsers) {
  // Every forger here calls from the customers' own address: the cut-off of
  // guessing, which would stop them all, has a scenario of its own.
  setReplicaEnv("TAVRIN_GUESS_LIMIT", "100000");
  startDeployment();
  TestDB db;
  movieID_ = static_cast<CORBA::ULong>(db.count("select movieID from movie where title = 'title1'"));

  Session alice(0, "alice"), bob(1, "bob");
  const time_t loginTime = time(nullptr);
  for (Session* s : {&alice, &bob}) {
    ASSERT_EQ(s->createAccount(), Outcome::Success) << s->last().message;
    ASSERT_EQ(s->logIn(), Outcome::Success) << s->last().message;
  }
  MovieInfo m;
  ASSERT_EQ(alice.search("title1", &m), Outcome::Success);
  ASSERT_EQ(alice.checkout(m), Outcome::Success) << alice.last().message;
  const CORBA::Long aliceToken = alice.ticket().token;
  const CORBA::Long bobToken = bob.ticket().token;
  ASSERT_NE(aliceToken, bobToken);
  const auto profiles = db.rows("select * from user order by username");
  const auto tickets = db.rows("select * from ticket order by username");

  // Guessed tokens for alice: small numbers, extremes, neighbours of her
  // real token, the clock around her log-in, and random values.
  std::vector<CORBA::Long> guesses = {0, 1, -1, INT_MAX, INT_MIN, aliceToken + 1, aliceToken - 1,
                                      bobToken};
  for (time_t t = loginTime - 3; t <= loginTime + 3; ++t) guesses.push_back(static_cast<CORBA::Long>(t));
  std::mt19937 rng(4242);
  for (int i = 0; i < 10; ++i) guesses.push_back(static_cast<CORBA::Long>(rng()));
  int n = 10;
  std::vector<std::unique_ptr<Session>> forgers;
  for (CORBA::Long g : guesses) {
    if (g == aliceToken) continue;
    auto f = std::make_unique<Session>(n++, "alice");
    f->ticket() = makeTicket("alice", g);
    expectAllRefused(*f, "alice's name and the guessed token " + std::to_string(g));
    forgers.push_back(std::move(f));
  }

  // Bob's name with alice's token, from alice's own client.
  {
    auto f = std::make_unique<Session>(n++, "bob", alice.clientID());
    f->ticket() = makeTicket("bob", aliceToken);
    expectAllRefused(*f, "bob's name and alice's token");
    forgers.push_back(std::move(f));
  }

  // Alice, with her own valid ticket, acting on bob's account.
  {
    UserInfo bobProfile = makeUser("bob", "stolen");
    auto check = [&](Outcome out, const char* op) {
      ++sent_;
      if (out != Outcome::Refused || alice.last().message != kBadTicket) {
        ++breaches_;
        ADD_FAILURE() << op << " of bob by alice: " << outcomeName(out) << ": "
                      << alice.last().message;
      }
    };
    UserInfo own = alice.profile();
    alice.profile() = bobProfile;
    check(alice.updateProfile(bobProfile), "updateProfile");
    check(alice.discontinue(), "discontinueAccount");
    alice.profile() = own;
    Ticket mine = alice.ticket();
    alice.ticket() = makeTicket("bob", aliceToken);
    // Ends nothing, and is answered as for a name without a session.
    ++sent_;
    if (alice.logOut() != Outcome::Success) {
      ++breaches_;
      ADD_FAILURE() << "logOut of bob by alice told her something: " << alice.last().message;
    }
    alice.ticket() = mine;
  }

  // A log-in from another client with a wrong password keeps bob's session.
  {
    auto f = std::make_unique<Session>(n++, "bob");
    f->profile().password = CORBA::string_dup("guess");
    ++sent_;
    if (f->logIn() != Outcome::Refused) {
      ++breaches_;
      ADD_FAILURE() << "log-in with a wrong password: " << outcomeName(f->last().outcome);
    }
    forgers.push_back(std::move(f));
  }

  // Nothing changed, and both customers carry on with their sessions.
  EXPECT_EQ(db.rows("select * from user order by username"), profiles);
  EXPECT_EQ(db.rows("select * from ticket order by username"), tickets);
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'alice'"), 1);
  EXPECT_EQ(alice.countHeld(), Outcome::Success) << alice.last().message;
  EXPECT_EQ(bob.search("title2"), Outcome::Success) << bob.last().message;

  // An account with movies out cannot be discontinued.
  ++sent_;
  if (alice.discontinue() != Outcome::Refused ||
      alice.last().message != "Please return your movies before discontinuing your account") {
    ++breaches_;
    ADD_FAILURE() << "discontinued with a movie out: " << alice.last().message;
  }
  EXPECT_EQ(db.count("select count(*) from user where username = 'alice'"), 1);

  // The ticket of a discontinued account acts for no one, not even for a
  // new customer who registered the free name.
  {
    Session carol(n++, "carol");
    ASSERT_EQ(carol.createAccount(), Outcome::Success) << carol.last().message;
    ASSERT_EQ(carol.logIn(), Outcome::Success) << carol.last().message;
    const Ticket oldTicket = carol.ticket();
    ASSERT_EQ(carol.discontinue(), Outcome::Success) << carol.last().message;
    auto heir = std::make_unique<Session>(n++, "carol");
    heir->profile().password = CORBA::string_dup("heirs-own-pw");
    ASSERT_EQ(heir->createAccount(), Outcome::Success) << heir->last().message;
    ASSERT_EQ(heir->logIn(), Outcome::Success) << heir->last().message;
    const auto heirsRow = db.rows("select * from user where username = 'carol'");
    auto f = std::make_unique<Session>(n++, "carol");
    f->ticket() = oldTicket;
    f->profile() = heir->profile();
    expectAllRefused(*f, "the ticket of carol's discontinued account");
    EXPECT_EQ(db.rows("select * from user where username = 'carol'"), heirsRow);
    EXPECT_TRUE(storesPassword(db, "carol", "heirs-own-pw"));
    EXPECT_EQ(heir->countHeld(), Outcome::Success) << "the heir's session survives";
    EXPECT_EQ(heir->logOut(), Outcome::Success);
    for (const auto& r : carol.records()) records_.push_back(r);
    for (const auto& r : heir->records()) records_.push_back(r);
    forgers.push_back(std::move(f));
  }

  // A ticket dies with its session.
  Ticket old = alice.ticket();
  EXPECT_EQ(alice.logOut(), Outcome::Success);
  {
    auto f = std::make_unique<Session>(n++, "alice");
    f->ticket() = old;
    expectAllRefused(*f, "alice's ticket after her log-out", false);
    forgers.push_back(std::move(f));
  }
  EXPECT_EQ(alice.logIn(), Outcome::Success);
  EXPECT_NE(alice.ticket().token, old.token);
  EXPECT_EQ(alice.returnMovie("title1"), Outcome::Success) << alice.last().message;
  EXPECT_EQ(alice.logOut(), Outcome::Success);
  EXPECT_EQ(bob.logOut(), Outcome::Success);

  // Operators read the replicas' logs: no secret of the customers in them.
  std::vector<std::string> secrets = {"pw-alice", "pw-bob", "pw-carol", "heirs-own-pw",
                                      "4111111111111111", std::to_string(aliceToken),
                                      std::to_string(bobToken), std::to_string(alice.ticket().token)};
  for (auto* replicas : {&deployment_->accountReplicas, &deployment_->orderReplicas})
    for (const auto& r : *replicas) {
      const std::string log = r->process().output();
      for (const auto& secret : secrets)
        EXPECT_EQ(log.find(secret), std::string::npos) << r->name() << " logged " << secret;
    }

  std::vector<RequestRecord> records = records_;
  for (Session* s : {&alice, &bob})
    for (const auto& r : s->records()) records.push_back(r);
  for (const auto& f : forgers)
    for (const auto& r : f->records()) records.push_back(r);

  ScenarioSummary s;
  s.id = "access";
  s.scenario = "Access: " + std::to_string(forgers.size()) +
               " forged tickets or wrong users against every operation";
  s.clientFailures = breaches_;
  s.refusals = sent_ - breaches_;
  s.notes = std::to_string(breaches_) + " forged requests carried out; the victims' accounts, "
            "sessions and rentals unchanged, the old ticket of a discontinued account refused "
            "against the new owner of the name; no password, card number or token in any log";
  s.command = reproduce("reliability_access");
  finish(s, records, false);
}

TEST_F(ReliabilityAccess, ImpostorReplicasReceiveNothingAndTheConsoleGoesOn) {
  startDeployment();
  // account3: a plain listener; account4 and orderObj3: real servers whose
  // certificates the console must not trust.
  PlainListener rogue;
  {
    CORBA::Object_var ref = orb()->string_to_object(rogue.reference("account3").c_str());
    bindAs("account3", ref);
  }
  const std::string caDir = requireEnv("TAVRIN_TLS_CA_DIR");
  setReplicaEnv("TAVRIN_TLS_KEY", issueCertificate("other-ca", ""));
  Replica foreign("account4");
  setReplicaEnv("TAVRIN_TLS_KEY", issueCertificate("not-a-server", caDir, "clientAuth"));
  Replica notServer("orderObj3");
  setReplicaEnv("TAVRIN_TLS_KEY", "");

  ChildProcess console(binDir() + "/Client", {"-ORBInitRef", namingRef(), "-auto", "7011"});
  EXPECT_EQ(console.wait(std::chrono::seconds(60)), 0) << console.output();
  const std::string trace = console.output();
  EXPECT_NE(trace.find("TLS: refused replica 3: its reference offers no TLS endpoint"),
            std::string::npos) << trace;
  EXPECT_NE(trace.find("(/CN=other-ca): unable to get local issuer certificate"),
            std::string::npos) << trace;
  EXPECT_NE(trace.find("(/CN=not-a-server): unsuitable certificate purpose"), std::string::npos)
      << trace;

  EXPECT_EQ(rogue.connections(), 0u);
  EXPECT_EQ(rogue.received(), "");
  for (Replica* r : {&foreign, &notServer}) {
    const std::string log = r->process().output();
    EXPECT_EQ(log.find(" called"), std::string::npos) << r->name() << " served:\n" << log;
    EXPECT_EQ(log.find("7011"), std::string::npos) << r->name() << " saw the customer";
  }
  TestDB db;
  EXPECT_EQ(db.count("select count(*) from user where username = 'user7011'"), 1);
  unbind("account3");
}

}  // namespace
}  // namespace tt

namespace tt {
namespace {

// The attacks on secrets and sessions: nothing readable at rest, a logged
// answer replayed with a wrong ticket, the log-out oracle, names the server
// refuses, and guessing a password, cut off after five checks.
TEST_F(ReliabilityAccess, SecretsAtRestReplaysAliasesAndGuessing) {
  setReplicaEnv("TAVRIN_GUESS_LIMIT", "");
  setReplicaEnv("TAVRIN_GUESS_BACKOFF", "2");
  setReplicaEnv("TAVRIN_GUESS_BACKOFF_MAX", "2");
  startDeployment();
  TestDB db;
  Session carol(0, "carol");
  carol.profile().creditCardNum = CORBA::string_dup("4111111111111111");
  ASSERT_EQ(carol.createAccount(), Outcome::Success) << carol.last().message;
  ASSERT_EQ(carol.logIn(), Outcome::Success) << carol.last().message;
  const std::string password = carol.profile().password.in();
  const std::string stored = everythingStored(db);
  for (const std::string& secret : {password, std::string("4111111111111111"),
                                    std::to_string(carol.ticket().token)})
    EXPECT_EQ(stored.find(secret), std::string::npos) << "stored in the clear: " << secret;
  EXPECT_EQ(storedCard(db, "carol"), "4111111111111111");

  // Carol's request replayed under her (client, number) with a wrong ticket
  // gets no logged answer, for that operation or another.
  UserInfo changed = carol.profile();
  changed.address = CORBA::string_dup("carol street");
  ASSERT_EQ(carol.updateProfile(changed), Outcome::Success) << carol.last().message;
  Session replay(1, "carol", carol.clientID());
  replay.profile() = changed;
  replay.ticket() = makeTicket("carol", 1);
  replay.transactionID() = static_cast<CORBA::Short>(carol.transactionID() - 1);
  EXPECT_EQ(replay.updateProfile(changed), Outcome::Refused);
  EXPECT_EQ(replay.last().message, kBadTicket);
  replay.transactionID() = static_cast<CORBA::Short>(carol.transactionID() - 1);
  EXPECT_EQ(replay.discontinue(), Outcome::Refused);
  EXPECT_EQ(replay.last().message, kBadTicket);
  EXPECT_EQ(db.count("select count(*) from user where username = 'carol'"), 1);

  // Log-out with a wrong ticket answers as for a name without a session,
  // and carol's session is untouched.
  Session probe(2, "carol"), nobody(3, "nobody");
  probe.ticket() = makeTicket("carol", carol.ticket().token ^ 1);
  nobody.ticket() = makeTicket("nobody", 5);
  EXPECT_EQ(probe.logOut(), Outcome::Success) << probe.last().message;
  EXPECT_EQ(nobody.logOut(), Outcome::Success) << nobody.last().message;
  EXPECT_EQ(carol.countHeld(), Outcome::Success) << carol.last().message;

  // Names: empty ones are refused; an alias of carol by case or trailing
  // spaces is no new account, and a log-in by case gets carol's own name.
  Session empty(4, "");
  EXPECT_EQ(empty.createAccount(), Outcome::Refused);
  EXPECT_EQ(empty.logIn(), Outcome::Refused);
  Session spaced(5, "carol  "), upper(6, "CAROL");
  EXPECT_EQ(spaced.createAccount(), Outcome::Refused);
  EXPECT_EQ(upper.createAccount(), Outcome::Refused);
  EXPECT_EQ(db.count("select count(*) from user"), 1);
  upper.profile().password = CORBA::string_dup(password.c_str());
  ASSERT_EQ(upper.logIn(), Outcome::Success) << upper.last().message;
  EXPECT_STREQ(upper.ticket().username.in(), "carol");

  // Tickets of carol's own ended sessions, late requests of hers, are no
  // guesses and leave her live session alone; forged ones are counted.
  const std::string ticketGuesses =
      "select count(*) from guesses where username = 'carol' and kind = 'ticket'";
  const auto forged = db.count(ticketGuesses);
  Session again(8, "carol"), late(9, "carol");
  again.profile().password = CORBA::string_dup(password.c_str());
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(again.logIn(), Outcome::Success) << again.last().message;
    late.ticket() = makeTicket("carol", again.ticket().token);
    ASSERT_EQ(again.logIn(), Outcome::Success) << again.last().message;
    EXPECT_EQ(late.countHeld(), Outcome::Refused);
    EXPECT_EQ(late.last().message, kBadTicket);
  }
  EXPECT_EQ(again.countHeld(), Outcome::Success) << again.last().message;
  EXPECT_EQ(db.count(ticketGuesses), forged);
  for (int i = 0; i < 3; ++i) {
    late.ticket() = makeTicket("carol", again.ticket().token ^ (1 << i));
    EXPECT_EQ(late.countHeld(), Outcome::Refused);
  }
  EXPECT_EQ(db.count(ticketGuesses), forged + 3);
  // Cut off, the live ticket too gets no answer of the rules, only until
  // the back-off has passed.
  for (int i = 3; i < 8 && db.count(ticketGuesses) < 5; ++i) {
    late.ticket() = makeTicket("carol", again.ticket().token ^ (1 << i));
    late.countHeld();
  }
  EXPECT_EQ(again.countHeld(), Outcome::AllFailed) << again.last().message;
  EXPECT_TRUE(waitFor([&] { return again.countHeld() == Outcome::Success; },
                      std::chrono::seconds(20)))
      << again.last().message;

  // 40 wrong passwords: at most five are checked, the rest cut off at once;
  // after the back-off the right password works.
  Session guesser(7, "carol");
  int checked = 0, cutOff = 0;
  for (int i = 0; i < 40; ++i) {
    guesser.profile().password = CORBA::string_dup(("wrong-" + std::to_string(i)).c_str());
    EXPECT_EQ(guesser.logIn(), Outcome::Refused);
    if (guesser.last().message == kBadPassword) ++checked;
    if (guesser.last().message == kCutOff) ++cutOff;
  }
  EXPECT_EQ(checked, 5);
  EXPECT_EQ(cutOff, 35);
  guesser.profile().password = CORBA::string_dup(password.c_str());
  EXPECT_TRUE(waitFor([&] { return guesser.logIn() == Outcome::Success; },
                      std::chrono::seconds(20)))
      << guesser.last().message;
  setReplicaEnv("TAVRIN_GUESS_BACKOFF", "");
  setReplicaEnv("TAVRIN_GUESS_BACKOFF_MAX", "");
}


// Sessions end by the database's clock: after the idle limit without a
// request, and at the latest the maximum after the log-in however busy. A
// logged answer still reaches its own ticket after its session ended.
TEST_F(ReliabilityAccess, SessionsEndWhenIdleAndAtTheirMaximumAge) {
  setReplicaEnv("TAVRIN_SESSION_IDLE", "2");
  setReplicaEnv("TAVRIN_SESSION_MAX", "5");
  startDeployment();
  TestDB db;
  Session dave(0, "dave");
  ASSERT_EQ(dave.createAccount(), Outcome::Success) << dave.last().message;
  ASSERT_EQ(dave.logIn(), Outcome::Success) << dave.last().message;
  const auto loggedIn = std::chrono::steady_clock::now();
  UserInfo changed = dave.profile();
  changed.address = CORBA::string_dup("dave street");
  ASSERT_EQ(dave.updateProfile(changed), Outcome::Success) << dave.last().message;
  const CORBA::Short updateNumber = static_cast<CORBA::Short>(dave.transactionID() - 1);

  // Busy well past the idle limit, the session lives until its maximum age.
  ASSERT_TRUE(waitFor([&] { return dave.countHeld() != Outcome::Success; },
                      std::chrono::seconds(30)));
  EXPECT_EQ(dave.last().message, kBadTicket);
  EXPECT_GE(std::chrono::steady_clock::now() - loggedIn, std::chrono::seconds(4));
  dave.transactionID() = updateNumber;
  EXPECT_EQ(dave.updateProfile(changed), Outcome::Success)
      << "a resent request learns its real outcome: " << dave.last().message;

  // Left idle, a new session ends once the idle limit has passed.
  ASSERT_EQ(dave.logIn(), Outcome::Success) << dave.last().message;
  ASSERT_EQ(dave.countHeld(), Outcome::Success) << dave.last().message;
  ASSERT_TRUE(waitFor(
      [&] {
        return db.count("select count(*) from ticket where username = 'dave' and "
                        "seenAt < now(6) - interval 2 second") == 1;
      },
      std::chrono::seconds(30)));
  EXPECT_EQ(dave.countHeld(), Outcome::Refused);
  EXPECT_EQ(dave.last().message, kBadTicket);
  setReplicaEnv("TAVRIN_SESSION_IDLE", "");
  setReplicaEnv("TAVRIN_SESSION_MAX", "");
}

}  // namespace
}  // namespace tt
