// Bad input from a raw client that skips every check of the console: SQL
// metacharacters, 10 kB strings, non-ASCII and invalid text in every string
// field, and extreme numbers, through every operation and all replicas.
// Nothing may break a statement or do more than the request asks; a value is
// stored exactly as sent or refused with a message; every server stays up.
#include <climits>
#include <sstream>

#include "Contract.h"

#include "SystemScenario.h"

namespace tt {
namespace {

struct Field {
  const char* column;
  CORBA::String_member UserInfo::*member;
};

const Field kFields[] = {
    {"fName", &UserInfo::fName},       {"lName", &UserInfo::lName},
    {"address", &UserInfo::address},   {"creditCardNum", &UserInfo::creditCardNum},
    {"phoneNum", &UserInfo::phoneNum}, {"eMail", &UserInfo::eMail},
    {"username", &UserInfo::username}, {"password", &UserInfo::password},
};

struct Value {
  const char* label;
  std::string text;
};

std::vector<Value> badValues() {
  return {
      {"metacharacters", "q'uote \"dq\" back\\slash; semi -- dash %pct _under `tick` /*c*/ \\' '' \\\\"},
      {"short metacharacters", "o'b\\\"r; --%_`"},
      {"injection", "x' OR '1'='1'); DROP TABLE user; -- "},
      {"wildcards", "%_%"},
      {"10 kB", std::string(10240, 'a')},
      {"10 kB of quotes", std::string(10240, '\'')},
      {"non-ASCII", "Zo\xc3\xab \xc3\x98rsted \xe2\x80\x93 \xe6\x9d\xb1\xe4\xba\xac \xf0\x9f\x8e\xac"},
      {"invalid UTF-8", "bad\xff\xfe\xc3("},
      {"control characters", "line1\nline2\tx\r"},
      {"empty", ""},
  };
}

std::string get(const UserInfo& u, const Field& f) { return str((u.*f.member).in()); }
void set(UserInfo& u, const Field& f, const std::string& v) {
  u.*f.member = CORBA::string_dup(v.c_str());
}

class ReliabilityBadInput : public SystemScenario {
 protected:
  // Outcome as expected: the deployment decided it (nothing hung or broke).
  void expectDecided(const Session& s, const std::string& what) {
    const RequestRecord& r = s.last();
    if (r.outcome != Outcome::Success && r.outcome != Outcome::Refused) {
      ++unexpected_;
      ADD_FAILURE() << what << ": " << outcomeName(r.outcome) << ": " << r.message;
    }
    if (r.outcome == Outcome::Refused) {
      ++refused_;
      if (r.message.empty()) {
        ++unexpected_;
        ADD_FAILURE() << what << ": refused without a message";
      }
    }
  }
  void expectRefused(const Session& s, const std::string& what) {
    if (s.last().outcome == Outcome::Success) {
      ++unexpected_;
      ADD_FAILURE() << what << " was carried out";
    }
    expectDecided(s, what);
  }
  void expectAllUp(const std::string& when) {
    for (auto& r : deployment_->accountReplicas)
      EXPECT_TRUE(r->process().running()) << r->name() << " died " << when;
    for (auto& r : deployment_->orderReplicas)
      EXPECT_TRUE(r->process().running()) << r->name() << " died " << when;
  }
  // The stored profile of `name`, or nothing.
  std::vector<std::vector<std::string>> stored(TestDB& db, const std::string& name) {
    return db.rows("select fName, lName, address, creditCardNum, phoneNum, eMail, username,"
                   " password from user where username = '" + db.escape(name) + "'");
  }
  void expectStoredExactly(TestDB& db, const UserInfo& u, const std::string& what) {
    auto rows = stored(db, str(u.username.in()));
    ASSERT_EQ(rows.size(), 1u) << what;
    const std::string name = str(u.username.in());
    for (size_t i = 0; i < 8; ++i) {
      // The secrets are stored sealed and hashed: compared through them.
      const std::string column = kFields[i].column;
      if (column == "creditCardNum")
        EXPECT_EQ(storedCard(db, name), get(u, kFields[i])) << what << ": column " << column;
      else if (column == "password")
        EXPECT_TRUE(storesPassword(db, name, get(u, kFields[i]))) << what << ": column " << column;
      else
        EXPECT_EQ(rows[0][i], get(u, kFields[i])) << what << ": column " << column;
    }
  }
  void keep(const Session& s) {
    for (const auto& r : s.records()) records_.push_back(r);
  }

  // Every replica's log, as it is now.
  std::vector<std::string> replicaLogs() {
    std::vector<std::string> logs;
    for (auto* set : {&deployment_->accountReplicas, &deployment_->orderReplicas})
      for (auto& r : *set) logs.push_back(r->process().output());
    return logs;
  }
  static size_t totalSize(const std::vector<std::string>& logs) {
    size_t n = 0;
    for (const auto& l : logs) n += l.size();
    return n;
  }

  std::vector<RequestRecord> records_;
  size_t unexpected_ = 0;
  size_t refused_ = 0;
};

TEST_F(ReliabilityBadInput, EveryFieldEveryOperation) {
  startDeployment();
  TestDB db;
  const std::string movieSum = db.scalar("checksum table movie");
  int n = 0;

  // Accounts: each bad value in each field, then log-in, update, log-out.
  for (const Value& v : badValues()) {
    for (const Field& f : kFields) {
      std::string what = std::string(v.label) + " in " + f.column;
      bool inName = std::string(f.column) == "username";
      Session s(n, inName ? v.text : "bi" + std::to_string(n));
      s.profile() = makeUser("bi" + std::to_string(n), "pw");  // plain, but for `f`
      ++n;
      set(s.profile(), f, v.text);
      UserInfo sent = s.profile();
      s.createAccount();
      expectDecided(s, "createAccount with " + what);
      if (s.last().outcome != Outcome::Success) {
        // Refused: nothing stored under that name.
        EXPECT_EQ(stored(db, str(sent.username.in())).size(), 0u) << what;
        keep(s);
        continue;
      }
      expectStoredExactly(db, sent, "createAccount with " + what);

      s.logIn();
      expectDecided(s, "logIn with " + what);
      if (s.last().outcome == Outcome::Success) {
        for (const Field& g : kFields)
          EXPECT_EQ(get(s.profile(), g), get(sent, g)) << "logIn returned " << g.column << ", " << what;
        // Every other field to the same bad value, in one update.
        UserInfo changed = sent;
        for (const Field& g : kFields)
          if (std::string(g.column) != "username") set(changed, g, v.text);
        s.updateProfile(changed);
        expectDecided(s, "updateProfile with " + what);
        if (s.last().outcome == Outcome::Success)
          expectStoredExactly(db, changed, "updateProfile with " + what);
        else
          expectStoredExactly(db, sent, "refused updateProfile with " + what);
        s.logOut();
        expectDecided(s, "logOut with " + what);
        EXPECT_EQ(s.last().outcome, Outcome::Success) << what;
      }
      keep(s);
    }
    expectAllUp(std::string("after ") + v.label);
  }

  // Client identities and request numbers at their extremes.
  {
    const std::vector<std::string> ids = {std::string(10240, '9'), "c'1\\;--%_",
                                          "\xe6\x9d\xb1\xe4\xba\xac", "bad\xff", ""};
    for (const std::string& id : ids) {
      std::string name = "cid" + std::to_string(n);
      Session s(n++, name, id);
      s.createAccount();
      expectDecided(s, "createAccount from client id of " + std::to_string(id.size()) + " bytes");
      bool created = s.last().outcome == Outcome::Success;
      // A refused registration leaves nothing behind.
      EXPECT_EQ(stored(db, name).size(), created ? 1u : 0u);
      if (created) {
        s.logIn();
        expectDecided(s, "logIn from an odd client id");
        for (short t : std::vector<short>{SHRT_MAX, SHRT_MIN, -1, 0}) {
          s.transactionID() = static_cast<short>(t - 1);
          UserInfo changed = s.profile();
          changed.phoneNum = CORBA::string_dup(std::to_string(t).c_str());
          s.updateProfile(changed);
          expectDecided(s, "updateProfile with request number " + std::to_string(t));
        }
        s.logOut();
      }
      keep(s);
    }
  }

  // The catalogue: searches, checkouts, waitlists and returns of bad titles
  // and ids refuse and change nothing.
  Session c(n++, "bicat");
  ASSERT_EQ(c.createAccount(), Outcome::Success) << c.last().message;
  ASSERT_EQ(c.logIn(), Outcome::Success) << c.last().message;
  for (const Value& v : badValues()) {
    c.search(v.text);
    expectRefused(c, std::string("search for ") + v.label);
    c.returnMovie(v.text);
    expectRefused(c, std::string("return of ") + v.label);
    for (CORBA::ULong id : {0u, 999999u, 2147483648u, 4294967295u}) {
      MovieInfo m = makeMovie(v.text);
      m.movieID = id;
      m.count = 4294967295u;
      c.checkout(m);
      expectRefused(c, std::string("checkout of id ") + std::to_string(id));
      c.waitlist(m);
      expectRefused(c, std::string("waitlist of id ") + std::to_string(id));
    }
  }
  for (const char* almost : {"title_", "title%", "title1' -- ", "title1\\", "title1%"}) {
    c.search(almost);
    EXPECT_NE(c.last().outcome, Outcome::Success) << "search for '" << almost << "' found a movie";
  }
  EXPECT_EQ(db.scalar("checksum table movie"), movieSum) << "a refused request changed the catalogue";
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies"), 0);
  EXPECT_EQ(db.count("select count(*) from waitlistedmovies"), 0);

  // A title with a quote is found; the other fields of a checkout are not
  // trusted, however long.
  MovieInfo quoted;
  c.search("Schindler's List", &quoted);
  expectDecided(c, "search for a title with a quote");
  EXPECT_EQ(c.last().outcome, Outcome::Success);
  EXPECT_EQ(str(quoted.title.in()), "Schindler's List");
  MovieInfo noisy;
  ASSERT_EQ(c.search("title2", &noisy), Outcome::Success) << c.last().message;
  const std::string big(10240, '\'');
  for (auto* m : {&noisy.director, &noisy.releaseDate, &noisy.cast, &noisy.banner, &noisy.category,
                  &noisy.rated})
    *m = CORBA::string_dup(big.c_str());
  noisy.count = 4294967295u;
  EXPECT_EQ(c.checkout(noisy), Outcome::Success) << c.last().message;
  EXPECT_EQ(db.scalar("select count from movie where title = 'title2'"), "2");
  EXPECT_EQ(db.scalar("select director from movie where title = 'title2'"), "Test Director 2");
  EXPECT_EQ(c.returnMovie("title2"), Outcome::Success) << c.last().message;
  EXPECT_EQ(c.logOut(), Outcome::Success);
  keep(c);

  // Every replica is up and answers on its own.
  expectAllUp("at the end");
  Session probe(n++, "biprobe");
  ASSERT_EQ(probe.createAccount(), Outcome::Success);
  ASSERT_EQ(probe.logIn(), Outcome::Success);
  for (int i = 0; i < 3; ++i) {
    std::vector<CORBA::Object_var> a, o;
    a.push_back(resolve("account" + std::to_string(i)));
    o.push_back(resolve("orderObj" + std::to_string(i)));
    probe.accounts().pin(std::move(a));
    probe.orders().pin(std::move(o));
    EXPECT_EQ(probe.countHeld(), Outcome::Success) << "account" << i;
    EXPECT_EQ(probe.search("title5"), Outcome::Success) << "orderObj" << i;
  }
  keep(probe);
  EXPECT_EQ(db.count("select count(*) from information_schema.tables where table_schema ="
                     " 'mvrental' and table_name in ('user', 'ticket', 'client', 'transactions',"
                     " 'movie', 'checkedoutmovies', 'waitlistedmovies')"),
            7);

  ScenarioSummary s;
  s.id = "bad-input";
  s.scenario = "Bad input: metacharacters, 10 kB, non-ASCII and invalid text in every field; "
               "extreme numbers";
  s.clientFailures = unexpected_;
  s.refusals = refused_;
  s.notes = "refused with a message or stored byte for byte; every replica stayed up";
  s.command = reproduce("reliability_badinput");
  finish(s, records_, false);
}

// Values sent to flood or forge the replicas' logs: a field of 1 MB, one
// too long for its column but small enough for the ORB, and names and
// client identities with line breaks. A replica's log shows each value cut
// and escaped, and a too-long field is refused before any statement.
TEST_F(ReliabilityBadInput, HostileValuesNeitherFloodNorForgeTheLogs) {
  startDeployment();
  TestDB db;
  const size_t before = totalSize(replicaLogs());
  const std::string megabyte(1 << 20, 'A');
  int n = 0;
  for (int i = 0; i < 3; ++i) {
    Session s(n++, "flood" + std::to_string(i));
    s.profile().address = CORBA::string_dup(megabyte.c_str());
    EXPECT_NE(s.createAccount(), Outcome::Success) << "a 1 MB address was accepted";
    std::cout << "1 MB address: " << outcomeName(s.last().outcome) << ": " << s.last().message
              << std::endl;
    ASSERT_TRUE(waitFor([&] { return s.settled(); }));
    keep(s);
  }
  // Below the ORB's bound, the servant's own check answers.
  {
    Session s(n++, "wide");
    s.profile().address = CORBA::string_dup(std::string(40000, 'B').c_str());
    EXPECT_EQ(s.createAccount(), Outcome::Refused);
    EXPECT_EQ(s.last().message, "The address is too long: at most 255 characters are accepted");
    s.profile().address = CORBA::string_dup("1 Main St");
    s.profile().username = CORBA::string_dup(std::string(65, 'u').c_str());
    EXPECT_EQ(s.createAccount(), Outcome::Refused);
    EXPECT_EQ(s.last().message, "The user name is too long: at most 64 characters are accepted");
    ASSERT_TRUE(waitFor([&] { return s.settled(); }));
    keep(s);
  }
  EXPECT_EQ(db.count("select count(*) from user where username like 'flood%' or username"
                     " like 'uuuu%' or username = 'wide'"),
            0);
  // A user name as long as the rules allow, in characters of 4 bytes, is
  // stored whole.
  {
    std::string clapper;
    for (int i = 0; i < 20; ++i) clapper += "\xf0\x9f\x8e\xac";
    Session s(n++, "clapper");
    s.profile().username = CORBA::string_dup(clapper.c_str());
    EXPECT_EQ(s.createAccount(), Outcome::Success) << s.last().message;
    EXPECT_EQ(stored(db, clapper).size(), 1u);
    keep(s);
  }
  const size_t grown = totalSize(replicaLogs()) - before;
  std::cout << "logs grew by " << grown << " bytes" << std::endl;
  EXPECT_LT(grown, 200u * 1024);

  // Line breaks in a user name and a client identity, through log-out (no
  // log-in needed) and registration, to every replica.
  const std::string forged = "FORGED line: admin logged in from 10.0.0.66";
  for (const std::string& breakIn : {std::string("\n"), std::string("\r\n"), std::string("\x1b[2K\r")}) {
    Session s(n++, "evil" + breakIn + forged, "4242" + breakIn + forged);
    s.createAccount();
    s.logOut();
    ASSERT_TRUE(waitFor([&] { return s.settled(); }));
    keep(s);
  }
  size_t shownEscaped = 0;
  for (const std::string& log : replicaLogs()) {
    if (log.find("evil\\n" + forged) != std::string::npos) ++shownEscaped;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
      EXPECT_NE(line.rfind("FORGED", 0), 0u) << "a request added the line: " << line;
      EXPECT_EQ(line.find_first_of("\r\x1b"), std::string::npos) << "a control character: " << line;
    }
  }
  EXPECT_GT(shownEscaped, 0u) << "no log shows the name, escaped";
  expectAllUp("after hostile values");
}

}  // namespace
}  // namespace tt
