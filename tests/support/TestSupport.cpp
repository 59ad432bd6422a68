#include "TestSupport.h"

#include <fcntl.h>
#include <mysql.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "DBConnection.h"
#include "RequestDeadline.h"

namespace tt {

std::string requireEnv(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') {
    std::cerr << "environment variable " << name
              << " is not set: run the tests through ./tavrin test" << std::endl;
    std::abort();
  }
  return v;
}

int namingPort() { return std::atoi(requireEnv("TAVRIN_NAMING_PORT").c_str()); }

std::string namingRef() {
  return "NameService=corbaname::127.0.0.1:" + std::to_string(namingPort());
}

std::string binDir() { return TAVRIN_BIN_DIR; }
std::string sourceDir() { return TAVRIN_SOURCE_DIR; }

std::string scratchDir() {
  static std::string dir;
  if (dir.empty()) {
    std::string base = requireEnv("TAVRIN_STATE_DIR") + "/scratch";
    mkdir(base.c_str(), 0755);
    std::string tmpl = base + "/t.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) std::abort();
    dir = buf.data();
  }
  return dir;
}

bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// --- ChildProcess ---------------------------------------------------------

namespace {
int logCounter = 0;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& workDir, const std::string* stdinText,
                           const std::map<std::string, std::string>& extraEnv) {
  std::string base = program.substr(program.find_last_of('/') + 1);
  log_ = scratchDir() + "/" + base + "." + std::to_string(getpid()) + "." +
         std::to_string(++logCounter) + ".log";
  std::string inPath = "/dev/null";
  if (stdinText != nullptr) {
    inPath = log_ + ".in";
    std::ofstream(inPath) << *stdinText;
  }
  std::vector<std::string> argvStore;
  argvStore.push_back(program);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ < 0) {
    ADD_FAILURE() << "fork failed";
    return;
  }
  if (pid_ == 0) {
    setpgid(0, 0);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    int in = open(inPath.c_str(), O_RDONLY);
    int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    for (const auto& kv : extraEnv) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    std::vector<char*> argv;
    for (auto& a : argvStore) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
  }
}

bool ChildProcess::running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

void ChildProcess::signal(int sig) {
  if (pid_ > 0 && status_ < 0) ::kill(pid_, sig);
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (status_ >= 0) return status_;
  waitFor([this] { return !running(); }, timeout);
  return status_;
}

std::string ChildProcess::output() const {
  std::ifstream in(log_);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool ChildProcess::waitForOutput(const std::string& needle, std::chrono::milliseconds timeout) {
  return waitFor([&] { return output().find(needle) != std::string::npos; }, timeout);
}

// --- ORB and naming ------------------------------------------------------

CORBA::ORB_ptr orb() {
  static CORBA::ORB_var theOrb;
  if (CORBA::is_nil(theOrb)) {
    DBConnection::libraryInit();
    std::string ref = namingRef();
    const char* argv[] = {"tavrin-test", "-ORBInitRef", ref.c_str(), nullptr};
    int argc = 3;
    theOrb = CORBA::ORB_init(argc, const_cast<char**>(argv), "");
    // A thread that sets a deadline sends it along, as the console does.
    RequestDeadline::installClient();
    omniORB::setClientCallTimeout(10000);
    omniORB::setClientConnectTimeout(2000);
  }
  return theOrb.in();
}

CosNaming::NamingContext_ptr naming() {
  static CosNaming::NamingContext_var nc;
  if (CORBA::is_nil(nc)) {
    CORBA::Object_var obj = orb()->resolve_initial_references("NameService");
    nc = CosNaming::NamingContext::_narrow(obj);
  }
  return nc.in();
}

namespace {
CosNaming::Name nameOf(const std::string& s) {
  CosNaming::Name n;
  n.length(1);
  n[0].id = CORBA::string_dup(s.c_str());
  n[0].kind = CORBA::string_dup("");
  return n;
}
}  // namespace

CORBA::Object_ptr resolve(const std::string& name) {
  try {
    return naming()->resolve(nameOf(name));
  } catch (const CosNaming::NamingContext::NotFound&) {
    return CORBA::Object::_nil();
  }
}

bool isBound(const std::string& name) {
  CORBA::Object_var o = resolve(name);
  return !CORBA::is_nil(o);
}

void unbind(const std::string& name) {
  try {
    naming()->unbind(nameOf(name));
  } catch (const CosNaming::NamingContext::NotFound&) {
  }
}

void unbindReplicas() {
  for (int i = 0; i < 64; ++i) {
    unbind("account" + std::to_string(i));
    unbind("orderObj" + std::to_string(i));
  }
}

// --- Replicas -------------------------------------------------------------

namespace {
std::string ior(CORBA::Object_ptr o) {
  CORBA::String_var s = orb()->object_to_string(o);
  return s.in();
}
}  // namespace

Replica::Replica(const std::string& name, const std::string& workDir) : name_(name) {
  dir_ = workDir.empty() ? scratchDir() + "/" + name : workDir;
  mkdir(dir_.c_str(), 0755);
  std::string before;
  {
    CORBA::Object_var old = resolve(name);
    if (!CORBA::is_nil(old)) before = ior(old);
  }
  std::string program =
      binDir() + (name.rfind("account", 0) == 0 ? "/acctserver" : "/orderserver");
  proc_ = std::make_unique<ChildProcess>(
      program, std::vector<std::string>{"-ORBInitRef", namingRef(), "-ORBendPoint",
                                        "giop:tcp:127.0.0.1:", name},
      dir_);
  bool bound = waitFor([&] {
    if (!proc_->running()) return false;
    CORBA::Object_var now = resolve(name);
    return !CORBA::is_nil(now) && ior(now) != before &&
           proc_->output().find("Time taken is") != std::string::npos;
  });
  if (!bound) {
    ADD_FAILURE() << "replica " << name << " did not register; its output:\n"
                  << proc_->output();
  }
}

Replica::~Replica() = default;

void Replica::kill() {
  proc_->signal(SIGKILL);
  proc_->wait();
}

Deployment::Deployment(int accounts, int orders) {
  unbindReplicas();
  for (int i = 0; i < accounts; ++i)
    accountReplicas.push_back(std::make_unique<Replica>("account" + std::to_string(i)));
  for (int i = 0; i < orders; ++i)
    orderReplicas.push_back(std::make_unique<Replica>("orderObj" + std::to_string(i)));
}

std::vector<Account_var> Deployment::accounts() const {
  std::vector<Account_var> out;
  for (const auto& r : accountReplicas) {
    CORBA::Object_var o = resolve(r->name());
    out.push_back(Account::_narrow(o));
  }
  return out;
}

std::vector<OrderFulfillment_var> Deployment::orders() const {
  std::vector<OrderFulfillment_var> out;
  for (const auto& r : orderReplicas) {
    CORBA::Object_var o = resolve(r->name());
    out.push_back(OrderFulfillment::_narrow(o));
  }
  return out;
}

// --- Database -------------------------------------------------------------

#define DB static_cast<MYSQL*>(mysql_)

TestDB::TestDB() : mysql_(nullptr) {
  DBConnection::libraryInit();
  mysql_ = mysql_init(nullptr);
  unsigned int port = static_cast<unsigned int>(std::atoi(requireEnv("MYSQL_TCP_PORT").c_str()));
  if (mysql_real_connect(DB, "127.0.0.1", "mvrental", "p8xk42qe", "mvrental", port, nullptr,
                         CLIENT_MULTI_STATEMENTS) == nullptr) {
    std::cerr << "test database connection failed: " << mysql_error(DB) << std::endl;
    std::abort();
  }
  mysql_set_character_set(DB, "utf8mb4");
}

TestDB::~TestDB() { mysql_close(DB); }

void TestDB::exec(const std::string& sql) {
  if (mysql_real_query(DB, sql.data(), sql.size()) != 0) {
    ADD_FAILURE() << "statement failed: " << sql << ": " << mysql_error(DB);
    return;
  }
  // Drain every result of a multi-statement text.
  do {
    MYSQL_RES* r = mysql_store_result(DB);
    if (r) mysql_free_result(r);
  } while (mysql_next_result(DB) == 0);
  if (mysql_errno(DB) != 0) ADD_FAILURE() << "statement failed: " << mysql_error(DB);
}

std::vector<std::vector<std::string>> TestDB::rows(const std::string& sql) {
  std::vector<std::vector<std::string>> out;
  if (mysql_real_query(DB, sql.data(), sql.size()) != 0) {
    ADD_FAILURE() << "query failed: " << sql << ": " << mysql_error(DB);
    return out;
  }
  MYSQL_RES* r = mysql_store_result(DB);
  if (r == nullptr) return out;
  unsigned int n = mysql_num_fields(r);
  while (MYSQL_ROW row = mysql_fetch_row(r)) {
    unsigned long* len = mysql_fetch_lengths(r);
    std::vector<std::string> v;
    for (unsigned int i = 0; i < n; ++i)
      v.push_back(row[i] ? std::string(row[i], len[i]) : std::string("NULL"));
    out.push_back(v);
  }
  mysql_free_result(r);
  return out;
}

std::string TestDB::scalar(const std::string& sql) {
  auto r = rows(sql);
  return r.empty() || r[0].empty() ? std::string() : r[0][0];
}

long long TestDB::count(const std::string& sql) { return std::atoll(scalar(sql).c_str()); }

std::string TestDB::escape(const std::string& s) {
  std::vector<char> buf(2 * s.size() + 1);
  unsigned long n = mysql_real_escape_string(DB, buf.data(), s.data(), s.size());
  return std::string(buf.data(), n);
}

void TestDB::reset() {
  exec("delete from user; delete from ticket; delete from client; delete from transactions; "
       "delete from checkedoutmovies; delete from waitlistedmovies; delete from movie;");
  std::ifstream in(sourceDir() + "/db/catalogue.sql");
  std::stringstream ss;
  ss << in.rdbuf();
  if (!ss.str().empty()) exec(ss.str());
}

#undef DB

void stopDatabase() {
  int rc = std::system((sourceDir() + "/tavrin db-stop >/dev/null").c_str());
  ASSERT_EQ(rc, 0) << "./tavrin db-stop failed";
}

void startDatabase() {
  int rc = std::system((sourceDir() + "/tavrin db-start >/dev/null").c_str());
  ASSERT_EQ(rc, 0) << "./tavrin db-start failed";
}

void restartDatabase() {
  stopDatabase();
  startDatabase();
}

// --- Records --------------------------------------------------------------

UserInfo makeUser(const std::string& name, const std::string& password) {
  UserInfo u;
  u.fName = CORBA::string_dup(("F" + name).c_str());
  u.lName = CORBA::string_dup(("L" + name).c_str());
  u.address = CORBA::string_dup("1 Main Street");
  u.creditCardNum = CORBA::string_dup("4111111111111111");
  u.phoneNum = CORBA::string_dup("5551234567");
  u.eMail = CORBA::string_dup((name + "@example.org").c_str());
  u.username = CORBA::string_dup(name.c_str());
  u.password = CORBA::string_dup(password.c_str());
  return u;
}

ClientTransaction makeTrans(const std::string& clientID, short transactionID) {
  ClientTransaction t;
  t.clientID = CORBA::string_dup(clientID.c_str());
  t.transactionID = transactionID;
  return t;
}

Ticket makeTicket(const std::string& name, CORBA::Long token) {
  Ticket t;
  t.username = CORBA::string_dup(name.c_str());
  t.token = token;
  return t;
}

MovieInfo makeMovie(const std::string& title) {
  MovieInfo m;
  m.movieID = 0;
  m.title = CORBA::string_dup(title.c_str());
  m.director = CORBA::string_dup("");
  m.releaseDate = CORBA::string_dup("");
  m.cast = CORBA::string_dup("");
  m.banner = CORBA::string_dup("");
  m.category = CORBA::string_dup("");
  m.rated = CORBA::string_dup("");
  m.count = 0;
  return m;
}

}  // namespace tt
