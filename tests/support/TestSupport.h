// Fixtures shared by the integration and system tests. They run against the
// private MariaDB and omniNames that `./tavrin test` starts and describes in
// the environment (MYSQL_TCP_PORT, TAVRIN_NAMING_PORT, TAVRIN_STATE_DIR).
// Scenarios may switch to directories or databases of their own
// (useNaming, useDatabaseState); those switches are for the main thread,
// while no replica is being started and no TestDB is being opened.
#ifndef TAVRIN_TESTSUPPORT_H
#define TAVRIN_TESTSUPPORT_H

#include <sys/types.h>

#include <ServerIDL.hh>
#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tt {

// Value of an environment variable that `./tavrin test` sets; aborts the
// test program with a clear message when it is missing.
std::string requireEnv(const char* name);
int namingPort();
// "NameService=corbaname:ssliop:127.0.0.1:<port>" (":127.0.0.1:<port>" when
// the run is without TLS), or the reference useNaming set.
std::string namingRef();
// "corbaname:ssliop:127.0.0.1:P1,ssliop:127.0.0.1:P2": the directories on
// these ports, in the run's mode.
std::string corbanameAt(const std::vector<int>& ports);
// "-ORBendPoint" value for a replica on `host`: giop:ssl, or giop:tcp
// when the run is without TLS.
std::string replicaEndpoint(const std::string& host);
// From now on naming(), the replicas started and namingRef() use the
// Naming Services of `corbaname` (e.g. "corbaname::127.0.0.1:P1,:127.0.0.1:P2");
// "" returns to the one of ./tavrin test.
void useNaming(const std::string& corbaname);
// A context for one directory alone, e.g. to look at what it holds.
CosNaming::NamingContext_ptr namingAt(const std::string& corbaname);  // borrowed
std::string binDir();     // build tree: acctserver, orderserver, Client
std::string sourceDir();  // repository root
std::string scratchDir(); // a fresh folder for this test program's files

// The service account's password and the sealing key of the run's settings
// file (TAVRIN_DB_SETTINGS, made by ./tavrin test).
std::string servicePassword();
std::string sealKey();
// Whether `user`'s row holds a hash of `password` (never the password).
bool storesPassword(class TestDB& db, const std::string& user, const std::string& password);
// `user`'s card number as its row holds it, opened with the run's key; ""
// when it is not sealed or does not open.
std::string storedCard(class TestDB& db, const std::string& user);
// The keyed hash a session of `user` with `token` is stored as.
std::string ticketTag(const std::string& user, CORBA::Long token);

// A TCP port on 127.0.0.1 that nothing listens on right now.
int freePort();

// Runs ./tavrin with `args` (and `env` on top of this process's environment);
// returns its exit status, with what it printed in `output` when given.
int tavrin(const std::string& args, const std::map<std::string, std::string>& env = {},
           std::string* output = nullptr);

// Runs a shell command; its exit status, with stdout and stderr in `output`.
int shell(const std::string& cmd, std::string* output = nullptr);

// True once `pid` has ended (a zombie not yet reaped counts as ended).
bool processGone(pid_t pid);

// A value of the deployment's ports.env (e.g. "NAMING_PORT_2"), "" if none.
std::string deploymentValue(const std::string& key);

// Polls `cond` every few milliseconds until it holds or `timeout` passes.
bool waitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A child process with standard output and error in a log file, killed
// (SIGKILL) and reaped on destruction.
class ChildProcess {
 public:
  // `stdinText`, when given, is fed to the child's standard input, which
  // then ends. Without it the child's standard input is /dev/null.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::string& workDir = "", const std::string* stdinText = nullptr,
               const std::map<std::string, std::string>& extraEnv = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  void signal(int sig);
  // SIGSTOP, then waits until every thread of the child is stopped: a
  // request sent afterwards waits in the socket, not half handled. False if
  // it did not stop within a few seconds.
  bool stop();
  // Exit status (or 128+signal) once the child ended; -1 on timeout.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  std::string output() const;  // everything it printed so far
  bool waitForOutput(const std::string& needle,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
  const std::string& logPath() const { return log_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string log_;
};

// The test program's ORB: Naming Service from the environment, 10 s call
// timeout. Created on first use.
CORBA::ORB_ptr orb();
CosNaming::NamingContext_ptr naming();  // borrowed; owned by the support code
bool isBound(const std::string& name);
void unbind(const std::string& name);
// Removes every accountN / orderObjN binding (N < 64).
void unbindReplicas();
CORBA::Object_ptr resolve(const std::string& name);  // nil when unbound

// Binds `obj` under `name` in naming(), replacing what was there.
void bindAs(const std::string& name, CORBA::Object_ptr obj);

// A plain TCP listener on 127.0.0.1 that answers nothing and keeps every
// byte it receives: a rogue "replica" in front of the customers. Accepts on
// a thread of its own until destroyed.
class PlainListener {
 public:
  PlainListener();
  ~PlainListener();
  PlainListener(const PlainListener&) = delete;
  PlainListener& operator=(const PlainListener&) = delete;
  int port() const { return port_; }
  // "corbaloc::127.0.0.1:<port>/<key>": a reference that leads to it.
  std::string reference(const std::string& key) const;
  size_t connections() const;
  std::string received() const;  // every byte, all connections together

 private:
  struct State;
  std::unique_ptr<State> state_;
  int port_ = 0;
};

// A key and a certificate for a server on 127.0.0.1 in one PEM file under
// scratchDir()/`label`, issued by `caDir`'s CA (ca.pem, ca.key), or by a
// fresh CA of its own when `caDir` is "". `extendedKeyUsage` as openssl
// writes it, e.g. "serverAuth" or "clientAuth". Returns the PEM's path.
std::string issueCertificate(const std::string& label, const std::string& caDir,
                             const std::string& extendedKeyUsage = "serverAuth");

// Environment variables every Replica started from now on gets, e.g. the
// database endpoints of a scenario's own databases. Empty values remove one.
void setReplicaEnv(const std::string& key, const std::string& value);

// A replica of acctserver ("account...") or orderserver ("orderObj...")
// started as a real process in `workDir` (default: scratchDir()); the
// constructor waits until its name is bound to a fresh reference.
class Replica {
 public:
  Replica(const std::string& name, const std::string& workDir = "");
  ~Replica();
  ChildProcess& process() { return *proc_; }
  const std::string& name() const { return name_; }
  const std::string& workDir() const { return dir_; }
  void kill();                // SIGKILL and reap
 private:
  std::string name_;
  std::string dir_;
  std::unique_ptr<ChildProcess> proc_;
};

// `accounts` account replicas and `orders` order replicas, all bound.
struct Deployment {
  Deployment(int accounts, int orders);
  std::vector<std::unique_ptr<Replica>> accountReplicas;
  std::vector<std::unique_ptr<Replica>> orderReplicas;
  std::vector<Account_var> accounts() const;
  std::vector<OrderFulfillment_var> orders() const;
  // What a sanitizer reported in any replica's output ("" if nothing): a
  // report may stop one replica while the others answer for it, so the
  // scenario has to look for it.
  std::string sanitizerReports() const;
};

// The state folder of the databases that TestDB, stopDatabase and
// startDatabase use: TAVRIN_STATE_DIR, or the one set here ("" resets).
void useDatabaseState(const std::string& stateDir);
std::string databaseState();

// A privileged connection of the test's own to the deployment's primary
// database (the one its state records), through the socket as the account
// that runs the tests: the audit trail's triggers and the views of other
// sessions need more than the service account may do.
class TestDB {
 public:
  TestDB();
  ~TestDB();
  TestDB(const TestDB&) = delete;
  TestDB& operator=(const TestDB&) = delete;
  // Empties every table and reloads the catalogue.
  void reset();
  void exec(const std::string& sql);            // fails the test on error
  bool tryExec(const std::string& sql);         // one statement: false on error
  long long count(const std::string& sql);      // first column of first row as a number
  std::string scalar(const std::string& sql);   // first column of first row; "" when none
  std::vector<std::vector<std::string>> rows(const std::string& sql);  // NULL reads as "NULL"
  std::string escape(const std::string& s);
  // Stores a live session of `user` with `token`, as a log-in does.
  void addSession(const std::string& user, CORBA::Long token);

 private:
  void* mysql_;
};

// Stops and starts the private MariaDB (through ./tavrin, every database of
// databaseState()) and waits until it answers again.
void restartDatabase();
void stopDatabase();
void startDatabase();

// Two databases of a scenario's own, the second a semi-synchronous standby
// of the first (./tavrin up --standby in a folder under scratchDir(), on free
// ports, without Naming Service or replicas); with `standby` false, the first
// alone, as ./tavrin up makes it. Stopped on destruction.
class StandbyDatabases {
 public:
  explicit StandbyDatabases(bool standby = true);
  ~StandbyDatabases();
  StandbyDatabases(const StandbyDatabases&) = delete;
  StandbyDatabases& operator=(const StandbyDatabases&) = delete;
  const std::string& stateDir() const { return dir_; }
  // "127.0.0.1:P1,127.0.0.1:P2" ("127.0.0.1:P1" alone without a standby):
  // what the servers are given.
  std::string endpoints() const;
  int port(int n) const { return n == 1 ? port1_ : port2_; }
  int primary() const;  // 1 or 2, as recorded
  pid_t pid(int n) const;
  // ./tavrin with `args` on these databases (their ports given, so that
  // they hold also once the folder was reset); fails the test when it
  // fails. Returns what it printed.
  std::string command(const std::string& args);
  // The same, for a command that may fail: its exit status, and what it
  // printed in `output`.
  int run(const std::string& args, std::string* output);
  // A statement on database `n` as its administrator: the first column of
  // the first row, "" when none or on error.
  std::string sql(int n, const std::string& statement);
  // Rpl_semi_sync_master_status of the primary: "ON" or "OFF".
  std::string semisync();
  // A field of SHOW SLAVE STATUS on database `n`; "" when it replicates
  // nothing.
  std::string slaveField(int n, const std::string& field);

 private:
  std::string dir_;
  int port1_ = 0, port2_ = 0;
};

// "ok", the refusal's text, or the system exception's name: what one call
// to a replica came to.
template <typename Call>
std::string outcome(Call call) {
  try {
    call();
    return "ok";
  } catch (const TavrinException& e) {
    const char* m = e.errorMessage.in();
    return m ? m : "";
  } catch (const CORBA::SystemException& e) {
    return std::string("system exception ") + e._name();
  }
}

// Builders for contract records.
UserInfo makeUser(const std::string& name, const std::string& password = "pw");
ClientTransaction makeTrans(const std::string& clientID, short transactionID);
Ticket makeTicket(const std::string& name, CORBA::Long token);
MovieInfo makeMovie(const std::string& title);

}  // namespace tt

#endif
