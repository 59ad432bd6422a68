// The console client end to end: the real program in a real terminal
// (tmux), against three account and three order replicas and the real
// database.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Mode of the file or folder at `path` (permission bits), -1 if absent.
int modeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// The files in `dir` whose names start with `prefix`.
std::vector<std::string> filesIn(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> found;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.rfind(prefix, 0) == 0) found.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  return found;
}

// The interactive client in a terminal of its own. Everything the terminal
// shows, echo included, is logged; the test types keys and waits for text.
class Terminal {
 public:
  // `prefix` runs the client under another program (e.g. in a namespace);
  // `command`, when given, is what starts the client instead.
  explicit Terminal(const std::string& prefix = "", const std::string& command = "") {
    static int serial = 0;
    const std::string base = tt::scratchDir() + "/term" + std::to_string(++serial);
    sock_ = base + ".sock";
    log_ = base + ".log";
    status_ = base + ".status";
    stty_ = base + ".stty";
    const std::string client =
        prefix + (command.empty()
                      ? tt::binDir() + "/Client -ORBInitRef " + tt::namingRef() + " -manual"
                      : command);
    // The client starts only once the log is attached, so nothing is missed.
    const std::string inner =
        "trap true INT; read go; " + client + "; echo $? > " + status_ + "; stty -a > " + stty_;
    tmux("-f /dev/null new-session -d -s c -x 200 -y 50 " + quoted("sh -c " + quoted(inner)));
    tmux("pipe-pane -t c -o " + quoted("cat >> " + log_));
    key("Enter");
  }
  ~Terminal() { std::system(("tmux -S " + sock_ + " kill-server >/dev/null 2>&1").c_str()); }

  std::string log() const { return readFile(log_); }

  // Waits until `text` appears after everything already expected.
  bool expect(const std::string& text, std::chrono::milliseconds limit = 30s) {
    size_t at = std::string::npos;
    const bool seen = tt::waitFor(
        [&] {
          at = log().find(text, mark_);
          return at != std::string::npos;
        },
        limit);
    if (seen) mark_ = at + text.size();
    return seen;
  }
  void type(const std::string& text) {
    if (!text.empty()) tmux("send-keys -t c -l " + quoted(text));
    key("Enter");
  }
  void key(const std::string& name) { tmux("send-keys -t c " + name); }

  // The terminal's settings once the client has ended ("" before).
  std::string settingsAfter() {
    std::string s;
    tt::waitFor([&] { return !(s = readFile(stty_)).empty(); });
    return s;
  }

  // The client's exit status once it ended, -1 if it did not.
  int exitStatus(std::chrono::milliseconds limit = 30s) {
    std::string s;
    tt::waitFor([&] { return !(s = readFile(status_)).empty(); }, limit);
    return s.empty() ? -1 : std::atoi(s.c_str());
  }

 private:
  void tmux(const std::string& args) {
    const std::string cmd = "tmux -S " + sock_ + " " + args + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  std::string sock_, log_, status_, stty_;
  size_t mark_ = 0;
};

class ConsoleSession : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { deployment = new tt::Deployment(3, 3); }
  static void TearDownTestSuite() {
    delete deployment;
    deployment = nullptr;
  }
  void SetUp() override { db.reset(); }

  // Registers `user` with password `pw` through the menus.
  void registerUser(Terminal& t, const std::string& user, const std::string& pw) {
    ASSERT_TRUE(t.expect("Option Selected:"));
    t.type("1");
    const std::vector<std::pair<std::string, std::string>> form = {
        {"1. First Name(20 Chars): ", "Eve"},
        {"2. Last Name(20 chars): ", "Lynn"},
        {"3. Address(50 chars): ", "1 Long Road"},
        {"4. Credit Card Number(19 chars): ", "4111111111111111"},
        {"5. Phone Number(12 chars): ", "5551234567"},
        {"6. Email(50 chars): ", "eve@example.com"},
        {"7. User Name(20 chars): ", user},
        {"8. Password: ", pw}};
    for (const auto& field : form) {
      ASSERT_TRUE(t.expect(field.first)) << t.log();
      t.type(field.second);
    }
    ASSERT_TRUE(t.expect("Your Account has been successfully created, please log-in")) << t.log();
    ASSERT_TRUE(t.expect("PRESS ENTER TO CONTINUE"));
    t.type("");
  }

  // Returns Casablanca from the logged-in menu.
  void returnCasablanca(Terminal& t) {
    t.type("2");
    ASSERT_TRUE(t.expect("Movie Title: "));
    t.type("Casablanca");
    ASSERT_TRUE(t.expect("Your Movie has been returned")) << t.log();
    ASSERT_TRUE(t.expect("PRESS ENTER TO CONTINUE"));
    t.type("");
  }

  // `pw` is typed as it stands, then the keys of `edits` (tmux key names).
  void logIn(Terminal& t, const std::string& user, const std::string& pw,
             const std::vector<std::string>& edits = {}) {
    ASSERT_TRUE(t.expect("Option Selected:"));
    t.type("2");
    ASSERT_TRUE(t.expect("username: "));
    t.type(user);
    ASSERT_TRUE(t.expect("password: "));
    if (edits.empty()) {
      t.type(pw);
    } else {
      t.key("-l " + quoted(pw));
      for (const std::string& k : edits) t.key(k);
      t.key("Enter");
    }
    ASSERT_TRUE(t.expect("Thread: Logged in successfully")) << t.log();
    ASSERT_TRUE(t.expect("4. Logout"));
  }

  static tt::Deployment* deployment;
  tt::TestDB db;
};

tt::Deployment* ConsoleSession::deployment = nullptr;

}  // namespace

TEST_F(ConsoleSession, WholeSessionSurvivesALostOrderReplica) {
  Terminal t;
  registerUser(t, "eve", "Secr3tPw");
  EXPECT_EQ(db.count("select count(*) from user where username = 'eve'"), 1);
  logIn(t, "eve", "Secr3tPw");
  // The password is never echoed; the reader's own trace masks it.
  EXPECT_EQ(t.log().find("Secr3tPw"), std::string::npos);
  EXPECT_NE(t.log().find("password: \r\nbuff before = ********"), std::string::npos) << t.log();

  // A replica dies in the middle of the session; the user does not notice.
  deployment->orderReplicas[0]->kill();

  t.type("1");
  ASSERT_TRUE(t.expect("Movie Title: "));
  t.type("Casablanca");
  ASSERT_TRUE(t.expect("Director: Michael Curtiz")) << t.log();
  ASSERT_TRUE(t.expect("Do you want to check out movie (y/n): "));
  t.type("y");
  ASSERT_TRUE(t.expect("Movie has been checked out")) << t.log();
  ASSERT_TRUE(t.expect("PRESS ENTER TO CONTINUE"));
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'eve' and movieID = 4"),
            1);
  EXPECT_EQ(db.count("select count from movie where movieID = 4"), 0);
  t.type("");

  ASSERT_TRUE(t.expect("4. Logout"));
  t.type("2");
  ASSERT_TRUE(t.expect("Movie Title: "));
  t.type("Casablanca");
  ASSERT_TRUE(t.expect("Your Movie has been returned")) << t.log();
  ASSERT_TRUE(t.expect("PRESS ENTER TO CONTINUE"));
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'eve'"), 0);
  EXPECT_EQ(db.count("select count from movie where movieID = 4"), 1);
  t.type("");

  ASSERT_TRUE(t.expect("4. Logout"));
  t.type("3");
  ASSERT_TRUE(t.expect("1. FirstName: Eve"));
  ASSERT_TRUE(t.expect("8. Password: ********"));
  ASSERT_TRUE(t.expect("Do you want to change any details (y/n): "));
  t.type("y");
  ASSERT_TRUE(t.expect("Input field Number (eg: 1 for First Name): "));
  t.type("1");
  ASSERT_TRUE(t.expect("Enter First Name: "));
  t.type("Evelyn");
  ASSERT_TRUE(t.expect("Change further details (y/n): "));
  t.type("y");
  ASSERT_TRUE(t.expect("Input field Number (eg: 1 for First Name): "));
  t.type("3");
  ASSERT_TRUE(t.expect("Enter Address"));
  t.type("22 Short Street");
  ASSERT_TRUE(t.expect("Change further details (y/n): "));
  t.type("y");
  ASSERT_TRUE(t.expect("Input field Number (eg: 1 for First Name): "));
  t.type("8");
  ASSERT_TRUE(t.expect("Enter password: "));
  t.type("N3wSecr3t");
  ASSERT_TRUE(t.expect("Change further details (y/n): "));
  t.type("n");
  ASSERT_TRUE(t.expect("Your Account has been successfully updated")) << t.log();
  ASSERT_TRUE(t.expect("PRESS ENTER TO CONTINUE"));
  EXPECT_EQ(db.scalar("select fName from user where username = 'eve'"), "Evelyn");
  EXPECT_EQ(db.scalar("select address from user where username = 'eve'"), "22 Short Street");
  EXPECT_TRUE(tt::storesPassword(db, "eve", "N3wSecr3t"));
  EXPECT_EQ(t.log().find("N3wSecr3t"), std::string::npos);  // typed unseen, traced masked
  t.type("");

  ASSERT_TRUE(t.expect("4. Logout"));
  t.type("4");
  ASSERT_TRUE(t.expect("loggin out user successfully")) << t.log();
  EXPECT_EQ(t.exitStatus(), 0);
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'eve'"), 0);

  // Bring the killed replica back for the other cases.
  deployment->orderReplicas[0] = std::make_unique<tt::Replica>("orderObj0");
}

// The customer's view, started as an operator does: the terminal shows the
// screens, prompts and outcomes only; the trace is in the client's log.
TEST_F(ConsoleSession, QuietSessionKeepsTheTraceInThePrivateLog) {
  const std::string state = tt::scratchDir() + "/quiet-state";
  Terminal t("", "TAVRIN_STATE_DIR=" + state + " TAVRIN_BUILD_DIR=" + tt::binDir() +
                     " TAVRIN_NAMING_PORT=" + std::to_string(tt::namingPort()) + " " +
                     tt::sourceDir() + "/tavrin client --quiet");
  registerUser(t, "quinn", "Qu1etPw");
  // Kill and erase work at the hidden prompt: the password typed is the one
  // left after the corrections.
  logIn(t, "quinn", "junk", {"C-u", "-l Qu1etPz", "BSpace", "-l w"});
  const std::string token = db.scalar("select tokenTag from ticket where username = 'quinn'");
  ASSERT_FALSE(token.empty());
  t.type("1");
  ASSERT_TRUE(t.expect("Movie Title: "));
  t.type("Casablanca");
  ASSERT_TRUE(t.expect("MOVIE DETAILS")) << t.log();
  ASSERT_TRUE(t.expect("Director: Michael Curtiz"));
  ASSERT_TRUE(t.expect("Do you want to check out movie (y/n): "));
  t.type("y");
  ASSERT_TRUE(t.expect("Movie has been checked out")) << t.log();
  ASSERT_TRUE(t.expect("PRESS ENTER TO CONTINUE"));
  t.type("");
  ASSERT_TRUE(t.expect("4. Logout"));
  returnCasablanca(t);
  ASSERT_TRUE(t.expect("4. Logout"));
  t.type("4");
  ASSERT_TRUE(t.expect("loggin out user successfully")) << t.log();
  EXPECT_EQ(t.exitStatus(), 0);
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies"), 0);
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'quinn'"), 0);

  const std::string screen = t.log();
  EXPECT_NE(screen.find("Brennock"), std::string::npos);
  for (const char* traceLine :
       {"Before contacting", "Resolved", "Number of AccountServers", "Client ID generated",
        "buff before", "string = ", "callCreateAccount", "createAndStartThread", "IOR_SIZE",
        "threadLogic()", "Server Account", "pthread_join", "~Thread", "in search",
        "before thread", "searchStatus", "Movie Title before Passing", "Logging out user",
        "late: "})
    EXPECT_EQ(screen.find(traceLine), std::string::npos) << traceLine << "\n" << screen;
  for (const std::string& secret : {std::string("Qu1etPw"), std::string("Qu1etPz"),
                                    std::string("junk"), token})
    EXPECT_EQ(screen.find(secret), std::string::npos) << secret;

  const std::vector<std::string> logs = filesIn(state + "/logs", "client-");
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(modeOf(logs[0]), 0600);
  EXPECT_EQ(modeOf(state + "/logs"), 0700);
  const std::string trace = readFile(logs[0]);
  for (const char* traceLine :
       {"Client ID generated on client: ", "buff before = *******\n",
        "createAndStartThread called with methodNumber as 9009", "Logging out user: quinn"})
    EXPECT_NE(trace.find(traceLine), std::string::npos) << traceLine << "\n" << trace;
  for (const std::string& secret : {std::string("Qu1etPw"), std::string("Qu1etPz"),
                                    std::string("junk"), token})
    EXPECT_EQ(trace.find(secret), std::string::npos) << secret;
}

// Two consoles one after the other, each pid 1 of a pid namespace of its
// own (as in two containers), same user: the second one's requests are new
// requests, not answered from the first one's request log.
TEST_F(ConsoleSession, ConsolesWithTheSamePidAreStillTwoClients) {
  const std::string asPidOne = "unshare -pf --mount-proc ";
  if (std::system("unshare -pf --mount-proc true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "this machine cannot create pid namespaces (unshare -pf needs root or "
                    "CAP_SYS_ADMIN)";
  std::vector<std::string> ids;
  auto identity = [&](Terminal& t) {
    ASSERT_TRUE(t.expect("Client ID generated on client: "));
    const std::string log = t.log();
    const size_t at = log.find("Client ID generated on client: ") + 31;
    ids.push_back(log.substr(at, log.find_first_of("\r\n", at) - at));
  };
  // From the logged-in menu, just shown.
  auto checkOutCasablanca = [&](Terminal& t) {
    t.type("1");
    ASSERT_TRUE(t.expect("Movie Title: "));
    t.type("Casablanca");
    ASSERT_TRUE(t.expect("Do you want to check out movie (y/n): ")) << t.log();
    t.type("y");
    ASSERT_TRUE(t.expect("Movie has been checked out")) << t.log();
    ASSERT_TRUE(t.expect("PRESS ENTER TO CONTINUE"));
    t.type("");
  };
  {
    Terminal first(asPidOne);
    identity(first);
    registerUser(first, "neo", "Tr1nity");
    logIn(first, "neo", "Tr1nity");
    checkOutCasablanca(first);
    ASSERT_TRUE(first.expect("4. Logout"));
    returnCasablanca(first);
    ASSERT_TRUE(first.expect("4. Logout"));
    first.type("4");
    ASSERT_TRUE(first.expect("loggin out user successfully")) << first.log();
    EXPECT_EQ(first.exitStatus(), 0);
  }
  ASSERT_EQ(db.count("select count(*) from checkedoutmovies"), 0);
  {
    Terminal second(asPidOne);
    identity(second);
    logIn(second, "neo", "Tr1nity");
    EXPECT_EQ(db.count("select count(*) from ticket where username = 'neo'"), 1);
    checkOutCasablanca(second);
    EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'neo' and "
                       "movieID = 4"),
              1);
    EXPECT_EQ(db.count("select count from movie where movieID = 4"), 0);
  }
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0].size(), 42u) << ids[0];
  EXPECT_EQ(ids[0].substr(12, 10), "0000000001");  // both really were pid 1
  EXPECT_EQ(ids[1].substr(12, 10), "0000000001");
  EXPECT_NE(ids[0], ids[1]);
}

// The console shows only what happened: a search that finds nothing shows
// no card and offers nothing; the card number is shown masked; a session
// another console took over ends with a message at the main menu.
TEST_F(ConsoleSession, FailedSearchAndTakenOverSessionShowOnlyWhatHappened) {
  Terminal a;
  registerUser(a, "tess", "Tak3nPw");
  logIn(a, "tess", "Tak3nPw");
  a.type("1");
  ASSERT_TRUE(a.expect("Movie Title: "));
  a.type("Jaws");
  ASSERT_TRUE(a.expect("Do you want to check out movie (y/n): ")) << a.log();
  a.type("n");
  ASSERT_TRUE(a.expect("PRESS ENTER TO CONTINUE"));
  a.type("");
  ASSERT_TRUE(a.expect("4. Logout"));
  const size_t before = a.log().size();
  a.type("1");
  ASSERT_TRUE(a.expect("Movie Title: "));
  a.type("NoSuchTitle");
  ASSERT_TRUE(a.expect("No movie found with the given title")) << a.log();
  ASSERT_TRUE(a.expect("PRESS ENTER TO CONTINUE"));
  const std::string failed = a.log().substr(before);
  EXPECT_EQ(failed.find("MOVIE DETAILS"), std::string::npos) << failed;
  EXPECT_EQ(failed.find("Do you want"), std::string::npos) << failed;
  a.type("");

  ASSERT_TRUE(a.expect("4. Logout"));
  a.type("3");
  ASSERT_TRUE(a.expect("4. CreditCardNumber: ************1111")) << a.log();
  ASSERT_TRUE(a.expect("Do you want to change any details (y/n): "));
  a.type("n");
  ASSERT_TRUE(a.expect("4. Logout"));

  {
    Terminal b;
    logIn(b, "tess", "Tak3nPw");
  }
  // The taken-over console logs out as from no session: it is not left
  // stranded, and the other console's session is untouched.
  a.type("4");
  ASSERT_TRUE(a.expect("loggin out user successfully")) << a.log();
  EXPECT_EQ(a.exitStatus(), 0);
  EXPECT_EQ(db.count("select count(*) from ticket where username = 'tess'"), 1);
}

TEST_F(ConsoleSession, InvalidChoiceAndEmptyUserNameKeepTheMainMenu) {
  Terminal t;
  ASSERT_TRUE(t.expect("Option Selected:"));
  t.type("7");
  ASSERT_TRUE(t.expect("Invalid selection, please make a selection again"));
  ASSERT_TRUE(t.expect("PRESS ENTER TO CONTINUE"));
  t.type("");
  ASSERT_TRUE(t.expect("3.Discontinue Account"));
  ASSERT_TRUE(t.expect("Option Selected:"));
  t.type("2");
  ASSERT_TRUE(t.expect("username: "));
  t.type("");
  ASSERT_TRUE(t.expect("password: "));
  t.type("whatever");
  ASSERT_TRUE(t.expect("Invalid Inputs: Empty field 0 not allowed")) << t.log();
  ASSERT_TRUE(t.expect("Option Selected:"));
  EXPECT_EQ(t.log().find("createAndStartThread called"), std::string::npos);
  // A wrong password is refused and paused on once.
  t.type("2");
  ASSERT_TRUE(t.expect("username: "));
  t.type("nobody");
  ASSERT_TRUE(t.expect("password: "));
  t.type("nothing");
  ASSERT_TRUE(t.expect("User couldn't be logged in, try again")) << t.log();
  ASSERT_TRUE(t.expect("PRESS ENTER TO CONTINUE"));
  t.type("");
  ASSERT_TRUE(t.expect("Option Selected:"));
  const std::string log = t.log();
  size_t pauses = 0;
  for (size_t at = log.find("PRESS ENTER"); at != std::string::npos; at = log.find("PRESS ENTER", at + 1))
    ++pauses;
  EXPECT_EQ(pauses, 2u);  // the invalid choice and the refused log-in
}

TEST_F(ConsoleSession, AutomaticModeRentsOneMovie) {
  tt::ChildProcess client(tt::binDir() + "/Client", {"-ORBInitRef", tt::namingRef(), "-auto", "5"},
                          tt::scratchDir());
  EXPECT_EQ(client.wait(60s), 0) << client.output();
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies where username = 'user5'"), 1);
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies"), 1);
  EXPECT_EQ(db.count("select count(*) from user where username = 'user5'"), 1);
}

// Last: it leaves the order replicas unregistered.
TEST_F(ConsoleSession, AutomaticModeWithoutOrderReplicasExits255) {
  for (const auto& r : deployment->orderReplicas) tt::unbind(r->name());
  tt::ChildProcess client(tt::binDir() + "/Client", {"-ORBInitRef", tt::namingRef(), "-auto", "6"},
                          tt::scratchDir());
  EXPECT_EQ(client.wait(60s), 255) << client.output();
  EXPECT_NE(client.output().find("run(): Number of OFSServers are : 0"), std::string::npos);
  EXPECT_EQ(db.count("select count(*) from checkedoutmovies"), 0);
}

TEST_F(ConsoleSession, InterruptAtThePasswordPromptGivesTheEchoBack) {
  Terminal t;
  ASSERT_TRUE(t.expect("Option Selected:"));
  t.type("2");
  ASSERT_TRUE(t.expect("username: "));
  t.type("someone");
  ASSERT_TRUE(t.expect("password: "));
  t.key("C-c");
  EXPECT_EQ(t.exitStatus(), 130);  // ended by SIGINT
  const std::string settings = " " + t.settingsAfter() + " ";
  EXPECT_NE(settings.find(" echo "), std::string::npos) << settings;
  EXPECT_NE(settings.find(" icanon "), std::string::npos) << settings;
}
