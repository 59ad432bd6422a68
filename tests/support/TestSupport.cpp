#include "TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <mysql.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "DBConnection.h"
#include "OrbTls.h"
#include "RequestDeadline.h"
#include "PasswordHash.h"
#include "SecretBox.h"

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

namespace {
// Set by useNaming / useDatabaseState / setReplicaEnv on the main thread.
std::string namingOverride;
std::string databaseOverride;
std::map<std::string, std::string> replicaEnv;
}  // namespace

std::string namingRef() {
  if (!namingOverride.empty()) return "NameService=" + namingOverride;
  return "NameService=" + corbanameAt({namingPort()});
}

std::string corbanameAt(const std::vector<int>& ports) {
  std::string list;
  for (int p : ports)
    list += (list.empty() ? "" : ",") + std::string(OrbTls::enabled() ? "ssliop:" : ":") +
            "127.0.0.1:" + std::to_string(p);
  return "corbaname:" + list;
}

std::string replicaEndpoint(const std::string& host) {
  return (OrbTls::enabled() ? "giop:ssl:" : "giop:tcp:") + host + ":";
}

void useDatabaseState(const std::string& stateDir) { databaseOverride = stateDir; }

std::string databaseState() {
  return databaseOverride.empty() ? requireEnv("TAVRIN_STATE_DIR") : databaseOverride;
}

void setReplicaEnv(const std::string& key, const std::string& value) {
  if (value.empty())
    replicaEnv.erase(key);
  else
    replicaEnv[key] = value;
}

std::string servicePassword() { return DBSettings::current().password(); }
std::string sealKey() { return DBSettings::current().sealKey(); }
bool storesPassword(TestDB& db, const std::string& user, const std::string& password) {
  const std::string stored =
      db.scalar("select password from user where username = '" + db.escape(user) + "'");
  return PasswordHash::isHashed(stored) && PasswordHash::verify(stored, password);
}

std::string storedCard(TestDB& db, const std::string& user) {
  const std::string stored =
      db.scalar("select creditCardNum from user where username = '" + db.escape(user) + "'");
  std::string plain;
  return SecretBox::deployment().open(stored, plain) ? plain : "";
}

std::string ticketTag(const std::string& user, CORBA::Long token) {
  return SecretBox::deployment().tag("ticket", {user, std::to_string(token)});
}

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) close(fd);
  if (port == 0) ADD_FAILURE() << "no free port";
  return port;
}

namespace {
std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The environment that points ./tavrin at databaseState(): a scenario's own
// folder must not take the ports of the suite's deployment.
std::map<std::string, std::string> databaseEnv() {
  if (databaseOverride.empty()) return {};
  return {{"TAVRIN_STATE_DIR", databaseOverride},
          {"TAVRIN_DB_PORT", ""},
          {"TAVRIN_DB2_PORT", ""},
          {"TAVRIN_NAMING_PORT", ""}};
}
}  // namespace

int tavrin(const std::string& args, const std::map<std::string, std::string>& env,
           std::string* output) {
  // env takes its options (-u NAME) before the assignments.
  std::string cmd = "env";
  for (const auto& kv : env)
    if (kv.second.empty()) cmd += " -u " + kv.first;
  for (const auto& kv : env)
    if (!kv.second.empty()) cmd += " " + kv.first + "=" + shellQuote(kv.second);
  cmd += " " + shellQuote(sourceDir() + "/tavrin") + " " + args + " 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  if (f == nullptr) return -1;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  int st = pclose(f);
  if (output != nullptr) *output = out;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

int shell(const std::string& cmd, std::string* output) {
  std::string full = cmd + " 2>&1";
  FILE* p = popen(full.c_str(), "r");
  if (p == nullptr) return -1;
  std::string text;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) text.append(buf, n);
  int rc = pclose(p);
  if (output) *output = text;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool processGone(pid_t pid) {
  if (::kill(pid, 0) != 0) return true;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t paren = stat.rfind(')');
  return paren == std::string::npos || (paren + 2 < stat.size() && stat[paren + 2] == 'Z');
}

std::string deploymentValue(const std::string& key) {
  std::ifstream in(requireEnv("TAVRIN_STATE_DIR") + "/ports.env");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "";
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

namespace {
// Whether every thread of `pid` is stopped ('T' or 't' in its stat line).
bool allThreadsStopped(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  bool any = false, all = true;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name + "/stat");
    std::string line;
    std::getline(in, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) continue;  // thread gone
    any = true;
    const char state = line[close + 2];
    if (state != 'T' && state != 't') all = false;
  }
  ::closedir(d);
  return any && all;
}
}  // namespace

bool ChildProcess::stop() {
  if (pid_ <= 0 || status_ >= 0) return false;
  ::kill(pid_, SIGSTOP);
  return waitFor([this] { return allThreadsStopped(pid_); }, std::chrono::seconds(5));
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
    const char* argv[] = {"tavrin-test", "-ORBInitRef", ref.c_str(), "-ORBendPoint",
                          "giop:ssl:127.0.0.1:", nullptr};
    // The tests call the replicas as the console does: TLS, the CA checked.
    // Test servants in this process listen as replicas do, so that a real
    // console accepts them.
    int argc = OrbTls::enabled() ? 5 : 3;
    static OrbTls tls;
    std::string error;
    const auto role = OrbTls::enabled() ? OrbTls::Role::Server : OrbTls::Role::Client;
    if (!tls.prepare(role, argc, const_cast<char**>(argv), error)) {
      std::cerr << error << std::endl;
      std::abort();
    }
    theOrb = CORBA::ORB_init(argc, const_cast<char**>(argv), "", tls.options());
    // A thread that sets a deadline sends it along, as the console does.
    RequestDeadline::installClient();
    omniORB::setClientCallTimeout(10000);
    omniORB::setClientConnectTimeout(2000);
  }
  return theOrb.in();
}

namespace {
// Lookups only read: when the connection to a directory that has just gone
// away fails, one retry lets the ORB reach the next address of the reference.
CORBA::Boolean retryLookupOnce(void*, CORBA::ULong retries, const CORBA::COMM_FAILURE&) {
  return retries < 1;
}

std::mutex contextsMutex;
std::map<std::string, CosNaming::NamingContext_var> contexts;
}  // namespace

CosNaming::NamingContext_ptr namingAt(const std::string& corbaname) {
  std::lock_guard<std::mutex> lock(contextsMutex);
  auto it = contexts.find(corbaname);
  if (it != contexts.end()) return it->second.in();
  CORBA::Object_var obj = orb()->string_to_object(corbaname.c_str());
  CosNaming::NamingContext_var nc = CosNaming::NamingContext::_narrow(obj);
  omniORB::installCommFailureExceptionHandler(nc.in(), nullptr, retryLookupOnce);
  CosNaming::NamingContext_ptr borrowed = nc.in();
  contexts[corbaname] = nc._retn();
  return borrowed;
}

void useNaming(const std::string& corbaname) {
  namingOverride = corbaname;
  if (!corbaname.empty()) namingAt(corbaname);
}

CosNaming::NamingContext_ptr naming() {
  if (!namingOverride.empty()) return namingAt(namingOverride);
  static CosNaming::NamingContext_var nc;
  if (CORBA::is_nil(nc)) {
    CORBA::Object_var obj = orb()->resolve_initial_references("NameService");
    nc = CosNaming::NamingContext::_narrow(obj);
    omniORB::installCommFailureExceptionHandler(nc.in(), nullptr, retryLookupOnce);
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
                                        replicaEndpoint("127.0.0.1"), name},
      dir_, nullptr, replicaEnv);
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

std::string Deployment::sanitizerReports() const {
  static const char* const marks[] = {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                                      "ERROR: ThreadSanitizer", "runtime error:"};
  std::string out;
  for (const auto* group : {&accountReplicas, &orderReplicas})
    for (const auto& r : *group) {
      const std::string text = r->process().output();
      size_t first = std::string::npos;
      for (const char* m : marks) first = std::min(first, text.find(m));
      if (first != std::string::npos)
        out += "replica " + r->name() + " (" + r->process().logPath() + "):\n" +
               text.substr(first, 8000) + "\n";
    }
  return out;
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

namespace {
std::string primarySocket(const std::string& state) {
  std::ifstream in(state + "/db-primary");
  std::string n;
  in >> n;
  return state + (n == "2" ? "/db2.sock" : "/db.sock");
}

// As this account through the socket: the deployment's administrator.
MYSQL* adminConnect(const std::string& socketPath, std::string* error) {
  DBConnection::libraryInit();
  MYSQL* m = mysql_init(nullptr);
  struct passwd* pw = getpwuid(geteuid());
  const char* user = pw != nullptr ? pw->pw_name : "root";
  if (mysql_real_connect(m, "localhost", user, nullptr, "mvrental", 0, socketPath.c_str(),
                         CLIENT_MULTI_STATEMENTS) == nullptr) {
    if (error != nullptr) *error = mysql_error(m);
    mysql_close(m);
    return nullptr;
  }
  mysql_set_character_set(m, "utf8mb4");
  return m;
}
}  // namespace

TestDB::TestDB() : mysql_(nullptr) {
  std::string error, socketPath = primarySocket(databaseState());
  mysql_ = adminConnect(socketPath, &error);
  if (mysql_ == nullptr) {
    std::cerr << "test database connection through " << socketPath << " failed: " << error
              << std::endl;
    std::abort();
  }
}

TestDB::~TestDB() { mysql_close(DB); }

bool TestDB::tryExec(const std::string& sql) {
  if (mysql_real_query(DB, sql.data(), sql.size()) != 0) return false;
  MYSQL_RES* r = mysql_store_result(DB);
  if (r) mysql_free_result(r);
  return true;
}

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

void TestDB::addSession(const std::string& user, CORBA::Long token) {
  exec("insert into ticket (username, tokenTag) values ('" + escape(user) + "', '" +
       ticketTag(user, token) + "')");
}

void TestDB::reset() {
  exec("delete from user; delete from ticket; delete from client; delete from transactions; "
       "delete from guesses; delete from ended_ticket; "
       "delete from checkedoutmovies; delete from waitlistedmovies; delete from movie;");
  std::ifstream in(sourceDir() + "/db/catalogue.sql");
  std::stringstream ss;
  ss << in.rdbuf();
  if (!ss.str().empty()) exec(ss.str());
}

#undef DB

void stopDatabase() {
  std::string out;
  int rc = tavrin("db-stop", databaseEnv(), &out);
  ASSERT_EQ(rc, 0) << "./tavrin db-stop failed: " << out;
}

void startDatabase() {
  std::string out;
  int rc = tavrin("db-start", databaseEnv(), &out);
  ASSERT_EQ(rc, 0) << "./tavrin db-start failed: " << out;
}

void restartDatabase() {
  stopDatabase();
  startDatabase();
}

// --- StandbyDatabases -------------------------------------------------------

namespace {
// Each pair its own folder: a test program may make several, one after another.
std::string freshDatabasesDir() {
  static int made = 0;
  return scratchDir() + "/databases" + (made++ == 0 ? "" : std::to_string(made));
}
}  // namespace

StandbyDatabases::StandbyDatabases(bool standby) : dir_(freshDatabasesDir()) {
  mkdir(dir_.c_str(), 0700);
  port1_ = freePort();
  if (standby) {
    do port2_ = freePort();
    while (port2_ == port1_);
  }
  const std::string args =
      std::string("up --naming 0 --accounts 0 --orders 0") + (standby ? " --standby" : "");
  std::string out;
  if (run(args, &out) != 0) ADD_FAILURE() << "./tavrin " << args << " failed:\n" << out;
}

StandbyDatabases::~StandbyDatabases() {
  std::string out;
  run("down", &out);
}

std::string StandbyDatabases::endpoints() const {
  std::string e = "127.0.0.1:" + std::to_string(port1_);
  if (port2_ != 0) e += ",127.0.0.1:" + std::to_string(port2_);
  return e;
}

int StandbyDatabases::primary() const {
  std::ifstream in(dir_ + "/db-primary");
  std::string n;
  in >> n;
  return n == "2" ? 2 : 1;
}

pid_t StandbyDatabases::pid(int n) const {
  std::ifstream in(dir_ + (n == 2 ? "/db2.pid" : "/db.pid"));
  pid_t p = -1;
  in >> p;
  return p;
}

std::string StandbyDatabases::command(const std::string& args) {
  std::string out;
  int rc = run(args, &out);
  EXPECT_EQ(rc, 0) << "./tavrin " << args << " failed:\n" << out;
  return out;
}

int StandbyDatabases::run(const std::string& args, std::string* output) {
  return tavrin(args,
                {{"TAVRIN_STATE_DIR", dir_},
                 {"TAVRIN_DB_PORT", std::to_string(port1_)},
                 {"TAVRIN_DB2_PORT", port2_ != 0 ? std::to_string(port2_) : ""},
                 {"TAVRIN_NAMING_PORT", ""}},
                output);
}

namespace {

// Column `column` of the first row `statement` returns on `socketPath`.
std::string adminValue(const std::string& socketPath, const std::string& statement, int column) {
  std::string value;
  MYSQL* m = adminConnect(socketPath, nullptr);
  if (m == nullptr) return value;
  if (mysql_query(m, statement.c_str()) == 0) {
    if (MYSQL_RES* r = mysql_store_result(m)) {
      MYSQL_ROW row = mysql_fetch_row(r);
      if (row != nullptr && static_cast<int>(mysql_num_fields(r)) > column && row[column])
        value = row[column];
      mysql_free_result(r);
    }
  }
  mysql_close(m);
  return value;
}

}  // namespace

std::string StandbyDatabases::sql(int n, const std::string& statement) {
  return adminValue(dir_ + (n == 2 ? "/db2.sock" : "/db.sock"), statement, 0);
}

std::string StandbyDatabases::semisync() {
  return adminValue(primarySocket(dir_), "show global status like 'Rpl_semi_sync_master_status'", 1);
}

std::string StandbyDatabases::slaveField(int n, const std::string& field) {
  std::string value;
  MYSQL* m = adminConnect(dir_ + (n == 2 ? "/db2.sock" : "/db.sock"), nullptr);
  if (m == nullptr) return value;
  if (mysql_query(m, "show slave status") == 0) {
    if (MYSQL_RES* r = mysql_store_result(m)) {
      MYSQL_ROW row = mysql_fetch_row(r);
      const unsigned int count = mysql_num_fields(r);
      MYSQL_FIELD* fields = mysql_fetch_fields(r);
      for (unsigned int i = 0; row != nullptr && i < count; ++i)
        if (field == fields[i].name && row[i] != nullptr) value = row[i];
      mysql_free_result(r);
    }
  }
  mysql_close(m);
  return value;
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

// --- Rogues and certificates -----------------------------------------------

void bindAs(const std::string& name, CORBA::Object_ptr obj) {
  CosNaming::Name n;
  n.length(1);
  n[0].id = CORBA::string_dup(name.c_str());
  n[0].kind = CORBA::string_dup("");
  naming()->rebind(n, obj);
}

struct PlainListener::State {
  int fd = -1;
  std::thread thread;
  mutable std::mutex mutex;
  size_t connections = 0;
  std::string bytes;
};

PlainListener::PlainListener() : state_(std::make_unique<State>()) {
  State& st = *state_;
  st.fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (st.fd < 0 || bind(st.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(st.fd, 16) != 0 || getsockname(st.fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ADD_FAILURE() << "the plain listener could not listen";
    return;
  }
  port_ = ntohs(a.sin_port);
  st.thread = std::thread([&st] {
    for (;;) {
      int c = accept(st.fd, nullptr, nullptr);
      if (c < 0) return;  // the listening socket was shut down
      {
        std::lock_guard<std::mutex> lock(st.mutex);
        ++st.connections;
      }
      char buf[4096];
      ssize_t n;
      // Short reads until the peer gives up: a GIOP request fits.
      timeval tv{2, 0};
      setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      while ((n = read(c, buf, sizeof buf)) > 0) {
        std::lock_guard<std::mutex> lock(st.mutex);
        st.bytes.append(buf, static_cast<size_t>(n));
      }
      close(c);
    }
  });
}

PlainListener::~PlainListener() {
  if (state_->fd >= 0) {
    shutdown(state_->fd, SHUT_RDWR);
    if (state_->thread.joinable()) state_->thread.join();
    close(state_->fd);
  }
}

std::string PlainListener::reference(const std::string& key) const {
  return "corbaloc::127.0.0.1:" + std::to_string(port_) + "/" + key;
}

size_t PlainListener::connections() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->connections;
}

std::string PlainListener::received() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->bytes;
}

std::string issueCertificate(const std::string& label, const std::string& caDir,
                             const std::string& extendedKeyUsage) {
  const std::string dir = scratchDir() + "/" + label;
  mkdir(dir.c_str(), 0700);
  std::string ca = caDir;
  std::string cmd = "cd " + shellQuote(dir) + " && ";
  if (ca.empty()) {
    ca = dir;
    cmd += "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/CN=another CA' "
           "-keyout ca.key -out ca.pem && ";
  }
  cmd += "printf 'subjectAltName=IP:127.0.0.1\\nextendedKeyUsage=" + extendedKeyUsage +
         "\\n' >ext && openssl req -newkey rsa:2048 -nodes -subj '/CN=" + label +
         "' -keyout key.pem -out req.pem && openssl x509 -req -in req.pem -CA " +
         shellQuote(ca + "/ca.pem") + " -CAkey " + shellQuote(ca + "/ca.key") +
         " -CAcreateserial -CAserial serial -days 30 -extfile ext -out crt.pem && "
         "cat key.pem crt.pem >server.pem";
  cmd = "(" + cmd + ") >" + shellQuote(dir + "/openssl.log") + " 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << "issuing " << label << " failed: see " << dir
                                         << "/openssl.log";
  return dir + "/server.pem";
}

}  // namespace tt
