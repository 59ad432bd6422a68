// Load driver for the system tests and the benchmarks: customer sessions that
// send every request to all replicas at once, one worker thread per replica,
// and decide like the console does.
//
// It uses the console's own pieces: the decision rule (FanOut::decide), the
// identity and its request numbers (ClientIdentity), what is known of hung
// replicas (ReplicaHealth) and of their clocks (ReplicaClocks) and what a customer is told of a failure
// (FailureNotice).
//
// Decision rule (per request): the lowest-indexed replica that has answered,
// with success or with a TavrinException refusal, decides; when every replica
// failed, the replica set is rediscovered through the Naming Service and the
// request sent again (at most `maxRediscoveries` times); the whole request,
// rediscoveries included, is bounded by `limit`, and every call carries that
// deadline to its replica, stated in the replica's clock (the session's own
// clock may be shifted: clocks()), and as its call timeout. As in the console, a
// request returns as soon as it is decided; workers still running end on
// their own in the background. Replicas whose call timed out are suspect and
// skipped while another replica is trusted, and a replica never has two
// calls of one session in flight. On a time-out the workers are joined (they
// end by the deadline), and one that carried the request out decides it.
//
// Ownership and threads:
//  - ReplicaSet holds the references of one server family and what the
//    session knows of their health. Not thread safe; a Session owns two of
//    them and uses them from its own thread only.
//  - Session is one customer at one client instance: its identity and
//    request numbers, its ticket and its records. One thread drives a
//    Session at a time; its workers only touch their own private copies.
//    Destroying a Session joins its background workers (each ends by its
//    call timeout). The observer (if set) is called on that driving thread
//    after each request.
//  - LoadRun owns its Sessions and runs each on a thread of its own. Its
//    query methods (requestsDone, records, ...) may be called from any thread
//    while the run is going on.
//  - configureOrb() must run on the main thread before the first Session is
//    created; every Session constructor calls it, so creating Sessions on the
//    main thread first is enough.
#ifndef TAVRIN_LOADDRIVER_H
#define TAVRIN_LOADDRIVER_H

#include <ServerIDL.hh>
#include <omniORB4/CORBA.h>

#include "ClientIdentity.h"
#include "ReplicaClocks.h"
#include "ReplicaHealth.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tt {

using Clock = std::chrono::steady_clock;

// Prepares the test ORB for many concurrent sessions in one process (more
// connections per replica than omniORB's default of 5, which would make the
// sessions queue behind each other as separate console processes never do),
// creates it, installs the deadline that travels with each request, and
// resolves the Naming Service. Idempotent; main thread only.
void configureOrb();

enum class Op {
  CreateAccount,
  LogIn,
  Search,
  Checkout,
  Waitlist,
  Return,
  UpdateProfile,
  LogOut,
  Discontinue,
  CountHeld,
};
const char* opName(Op op);
// True for the operations that carry a ClientTransaction.
bool carriesTransaction(Op op);

enum class Outcome {
  Success,    // the deciding replica carried it out
  Refused,    // the deciding replica refused it with a TavrinException
  AllFailed,  // every replica failed, on every attempt
  TimedOut,   // no decision within the limit
};
const char* outcomeName(Outcome outcome);

// One request as the client saw it.
struct RequestRecord {
  int session = -1;
  std::string user;          // the user name the request was sent for
  std::string clientID;
  Op op = Op::Search;
  std::string title;         // order operations
  CORBA::ULong movieID = 0;  // checkout and waitlist: the id sent
  bool hasTransaction = false;
  short transactionID = 0;   // valid when hasTransaction
  CORBA::Long token = 0;     // logIn: the ticket's token on success
  std::string ticketUser;    // logIn: the user the deciding replica's ticket names
  long long held = -1;       // countHeld: the count answered on success
  std::string phone;         // createAccount, updateProfile: the phone number sent
  int resends = 0;           // sent again under its number to settle an unknown outcome
  Outcome outcome = Outcome::AllFailed;
  std::string message;       // refusal text, or what failed
  int decidedBy = -1;        // replica index, -1 when nothing decided
  int attempts = 0;          // 1 + rediscoveries
  // Replicas the last attempt did not call: suspect, or a call of this
  // session to them had not ended.
  std::vector<int> skipped;
  // Not carried out (all failed, or timed out) and no call could have taken
  // effect: the customer was told it did not take effect.
  bool toldNoEffect = false;
  Clock::time_point startedAt;
  Clock::time_point decidedAt;  // when the client knew the outcome
  Clock::time_point endedAt;    // when the session could go on
  double decidedMs() const;
  double elapsedMs() const;  // the customer's wait: until the session could go on
};

// The references of one server family ("account" or "orderObj"), found by
// resolving prefix0, prefix1, ... until the first unbound number.
class ReplicaSet {
 public:
  ReplicaSet(std::string prefix, std::shared_ptr<ReplicaClocks> clocks);
  // kAccountSet or kOrderSet, by the prefix.
  int setId() const { return prefix_ == "account" ? 0 : 1; }
  // Returns false (and keeps the references found before) when the Naming
  // Service cannot be reached.
  bool discover();
  // Uses exactly these references from now on; discover() then does nothing.
  void pin(std::vector<CORBA::Object_var> refs);
  bool pinned() const { return pinned_; }
  size_t size() const { return refs_.size(); }
  CORBA::Object_ptr at(size_t i) const { return refs_[i].in(); }
  const std::string& prefix() const { return prefix_; }
  // Shared with the workers, which report the end of their calls.
  const std::shared_ptr<ReplicaHealth>& health() const { return health_; }

 private:
  std::string prefix_;
  std::vector<CORBA::Object_var> refs_;
  bool pinned_ = false;
  std::shared_ptr<ReplicaHealth> health_;
  std::shared_ptr<ReplicaClocks> clocks_;
};

struct SessionOptions {
  std::chrono::milliseconds limit{10000};
  int maxRediscoveries = 3;
  // As the console: no second call to a replica whose call has not ended,
  // suspects skipped while another replica is trusted. Off, every request
  // goes to every replica, as a client that does not watch for hung ones
  // would send it, so requests queue up behind a frozen replica.
  bool spareHungReplicas = true;
  // As the console without a customer to ask: a state-changing request
  // whose outcome is unknown (it may have taken effect) is sent again under
  // the same number up to this many times, so that the replicas' request
  // log settles it. The record tells what the customer was finally told.
  int resendsToSettle = 0;
};

class Session {
 public:
  // Without `clientID` the session takes identities exactly as the console
  // does (ClientIdentity: distinct for every session, fresh when the request
  // numbers are used up). A given `clientID` is kept as it is, and its
  // request numbers wrap on to 0. Discovers both replica sets.
  Session(int index, const std::string& user, const std::string& clientID = "",
          SessionOptions options = {});
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  int index() const { return index_; }
  const std::string& user() const { return user_; }
  const std::string& clientID() const { return identity_.id(); }

  // The profile sent by createAccount, logIn (user name and password),
  // updateProfile and discontinue. Starts as tt::makeUser(user, "pw-" + user).
  UserInfo& profile() { return profile_; }
  // The ticket sent with every request after log-in; tests may forge it.
  Ticket& ticket() { return ticket_; }
  // The request number the next state-changing request will carry minus
  // one; tests may set it to replay a number.
  CORBA::Short& transactionID() { return identity_.number(); }

  // The session's clock and what it knows of the replicas' clocks; tests
  // shift a session's clock here.
  ReplicaClocks& clocks() { return *clocks_; }
  ReplicaSet& accounts() { return accounts_; }
  ReplicaSet& orders() { return orders_; }

  // The requests. Each blocks until decided (or failed, or timed out),
  // records the request and returns its outcome.
  Outcome createAccount();
  Outcome logIn();  // on success the ticket is the deciding replica's
  Outcome updateProfile(const UserInfo& changed);  // on success profile() = changed
  Outcome logOut();
  Outcome discontinue();
  Outcome countHeld(CORBA::ULong* held = nullptr);
  // On success `found` (when given) holds the deciding replica's movie.
  Outcome search(const std::string& title, MovieInfo* found = nullptr);
  Outcome checkout(const MovieInfo& movie);
  Outcome waitlist(const MovieInfo& movie);
  Outcome returnMovie(const std::string& title);

  // Every call this session started has ended (reaps those that did).
  // Requests return once decided, so a test that needs the replicas idle
  // waits for this. Only while no request of the session is in progress.
  bool settled();

  const RequestRecord& last() const { return records_.back(); }
  const std::vector<RequestRecord>& records() const { return records_; }
  void setObserver(std::function<void(const RequestRecord&)> observer) {
    observer_ = std::move(observer);
  }

 private:
  struct Slot;
  struct Board;
  struct Background {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };
  using Call = std::function<void(CORBA::Object_ptr, Slot&)>;
  Outcome run(Op op, ReplicaSet& set, RequestRecord record, const Call& call,
              const std::function<void(Slot&)>& onSuccess);
  Outcome run(RequestRecord& record, ReplicaSet& set, Clock::time_point deadline,
              const Slot& prototype, const Call& call,
              const std::function<void(Slot&)>& onSuccess);
  ClientTransaction nextTransaction(RequestRecord& record);
  // Sent state-changing, and it may have taken effect or not.
  static bool unknownOutcome(const RequestRecord& record);
  // What the deciding replica answered that names the customer's data.
  static void noteAnswer(RequestRecord& record, const Slot& slot);
  void reap();         // joins background workers that ended
  void startProbes();  // liveness probes due for suspect replicas
  void startProbes(ReplicaSet& set);

  int index_;
  std::string user_;
  ClientIdentity identity_;
  SessionOptions options_;
  UserInfo profile_;
  Ticket ticket_;
  std::shared_ptr<Board> board_;
  std::vector<Background> background_;
  std::shared_ptr<ReplicaClocks> clocks_;
  ReplicaSet accounts_;
  ReplicaSet orders_;
  std::vector<RequestRecord> records_;
  std::function<void(const RequestRecord&)> observer_;
};

// What a session may hold or wait for, as far as its client can tell.
// Failed requests may or may not have taken effect, so they only widen what
// is possible; the workload never asks for a title the customer may already
// hold or wait for.
struct Holding {
  bool mayHold = false;
  bool mustHold = false;  // a checkout was confirmed and no return sent since
  bool mayWait = false;
};

struct WorkloadOptions {
  std::vector<std::string> titles;  // the pool the customers rent from
  int requests = 40;                // per session, log-in and log-out included
  double updateShare = 0.05;        // profile updates among the steps
  double relogShare = 0.03;         // log-out plus log-in among the steps
  double countShare = 0.0;          // asks for the count of movies held
  // Pause of a session after a request that failed for other reasons than
  // the rental rules, so that an outage does not turn into a storm of
  // instant failures.
  std::chrono::milliseconds pauseAfterFailure{150};
  // Whether a refusal by the rental rules ("No more copies ...", "Movie not
  // rented ...") is taken as proof that nothing happened. The replicas log
  // such refusals with the request and repeat them, so it is; switch it off
  // to model a customer who double-checks.
  bool trustRefusals = true;
};

// The rental cycle of one customer: search a title, check it out when a copy
// is free or join its waiting list otherwise, return movies, now and then
// change the profile or log out and in again. Runs on the session's thread.
class RentalWorkload {
 public:
  RentalWorkload(Session& session, WorkloadOptions options, unsigned seed);
  // One step: one or two requests. Returns the number of requests sent.
  int step();
  const std::vector<Holding>& holdings() const { return holdings_; }

 private:
  int returnOne();
  int rentOne();
  // After a request that was not carried out for reasons other than the
  // rental rules: pause, and log in again if the session is gone. Returns
  // `sent` plus the requests it sent.
  int settle(int sent);
  Session& s_;
  WorkloadOptions o_;
  std::mt19937 rng_;
  std::vector<Holding> holdings_;  // parallel to o_.titles
  int updates_ = 0;
};

struct LoadOptions {
  int sessions = 16;
  WorkloadOptions workload;
  unsigned seed = 20240601;
  std::string userPrefix = "load";
  bool logOutAtEnd = true;
  SessionOptions session;
};

class LoadRun {
 public:
  explicit LoadRun(LoadOptions options);
  ~LoadRun();  // stops and joins the sessions
  LoadRun(const LoadRun&) = delete;
  LoadRun& operator=(const LoadRun&) = delete;

  // Creates the sessions (main thread), then starts one thread per session:
  // register, log in, the workload until its request count or stop(), log out.
  void start();
  void stop();  // sessions finish their current request and log out
  void wait();  // joins every session thread
  // Sessions finish their current step and wait until resume(); parked()
  // counts those waiting. Lets a test act while no request is in flight.
  void pause();
  void resume();
  int parked() const { return parked_.load(); }

  // Thread safe, also during the run.
  long requestsDone() const { return done_.load(); }
  std::vector<RequestRecord> records() const;
  bool finished() const { return finished_.load() == options_.sessions; }

  const std::vector<std::unique_ptr<Session>>& sessions() const { return sessions_; }

 private:
  void body(int i);
  LoadOptions options_;
  std::vector<std::unique_ptr<Session>> sessions_;
  std::vector<std::thread> threads_;
  std::atomic<bool> stop_{false};
  std::atomic<long> done_{0};
  std::atomic<int> finished_{0};
  std::atomic<int> parked_{0};
  bool paused_ = false;  // guarded by mutex_
  std::condition_variable resumed_;
  mutable std::mutex mutex_;
  std::vector<RequestRecord> all_;
};

// --- figures over records --------------------------------------------------------

struct OpStats {
  Op op;
  size_t count = 0;
  size_t failures = 0;  // anything but success
  double p50 = 0, p95 = 0, p99 = 0, max = 0;  // decided latency, ms
  double maxElapsed = 0;                      // until the session went on, ms
};
std::vector<OpStats> statsByOp(const std::vector<RequestRecord>& records);
// A refusal by the rental rules (no copy left, the limit of three, a return
// of a movie not held): the service working as it should.
bool isBusinessRefusal(const RequestRecord& r);
size_t countBusinessRefusals(const std::vector<RequestRecord>& records);
// Requests not carried out for any other reason.
size_t countFailures(const std::vector<RequestRecord>& records);
// The longest a customer waited for one request: until its session could go
// on (workers of decided requests may still be running then).
double maxElapsedMs(const std::vector<RequestRecord>& records);
// The first request started at or after `t` that succeeded: the time it was
// decided, or nothing.
bool firstSuccessAfter(const std::vector<RequestRecord>& records, Clock::time_point t,
                       Clock::time_point* when);

}  // namespace tt

#endif
