#include "Client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <unistd.h>

#include "Contract.h"
#include "Display.h"
#include "FailureNotice.h"
#include "OrbTls.h"
#include "RequestDeadline.h"
#include "Thread.h"

bool Client::searchStatus = false;

Client::Client(std::istream& i, std::ostream& o)
    : in(i), out(o), channel_(std::make_shared<ConsoleChannel>(o)) {
  // Changes of suspicion are trace: they never interrupt a screen.
  std::shared_ptr<ConsoleChannel> channel = channel_;
  auto trace = [channel](const std::string& line) { channel->background(line); };
  accountHealth_ = std::make_shared<ReplicaHealth>("account", trace);
  orderHealth_ = std::make_shared<ReplicaHealth>("orderObj", trace);
  s_Tckt.username = CORBA::string_dup("");
  s_Tckt.token = 0;
  for (CORBA::String_member* m : {&uObj.fName, &uObj.lName, &uObj.address, &uObj.creditCardNum,
                                  &uObj.phoneNum, &uObj.eMail, &uObj.username, &uObj.password})
    *m = CORBA::string_dup("");
  movieObj.movieID = 0;
  for (CORBA::String_member* m : {&movieObj.title, &movieObj.director, &movieObj.releaseDate,
                                  &movieObj.cast, &movieObj.banner, &movieObj.category,
                                  &movieObj.rated})
    *m = CORBA::string_dup("");
  movieObj.count = 0;
  clearScreens = (&out == &std::cout);
}

Client::~Client() {
  // No wait for a hung replica here: workers still in a call are let go
  // and end on their own, bounded by their call timeout.
  retireWorkers(nullptr);
  reapLate();
  for (Thread* t : late_) t->abandon();
  late_.clear();
  channel_->close();
}

// --- console ----------------------------------------------------------------

void Client::say(const std::string& line) { channel_->say(line); }

void Client::write(const std::string& text) { channel_->write(text); }

void Client::trace(const std::string& line) { channel_->trace(line); }

void Client::traceTo(std::shared_ptr<std::ostream> log) { channel_->traceTo(std::move(log)); }

void Client::pause() {
  if (pauseHook) {
    pauseHook();
    return;
  }
  channel_->withOutput([](std::ostream& o) { toggleEcho::enterInput(0, o); });
}

void Client::clrscr() {
  if (!clearScreens) return;
  out.flush();
  toggleEcho::clrscr();
}

// --- discovery ----------------------------------------------------------------

void Client::setNamingContext(CosNaming::NamingContext_ptr context) {
  nc = CosNaming::NamingContext::_duplicate(context);
}

namespace {

CORBA::Boolean retryLookupOnce(void*, CORBA::ULong retries, const CORBA::COMM_FAILURE&) {
  return retries < 1;
}

}  // namespace

namespace {

// Resolves prefix0, prefix1, ... until the first name that is not bound and
// replaces `list` with the references narrowed to T. When the Naming Service
// fails (an exception other than NotFound, passed on), `list` and `count`
// keep what the last discovery found: those replicas may well be alive.
template <typename T, typename Var>
void discover(CosNaming::NamingContext_ptr nc, const std::string& prefix,
              std::vector<Var>& list, int& count, ReplicaHealth& health, Client& client,
              const std::string& foundLine, const std::string& endLine,
              const std::string& countSep) {
  std::vector<Var> fresh;
  CosNaming::Name name;
  name.length(1);
  for (int i = 0;; ++i) {
    const std::string id = prefix + Client::intToStr(i);
    name[0].id = CORBA::string_dup(id.c_str());
    name[0].kind = CORBA::string_dup("");
    CORBA::Object_var obj;
    try {
      if (CORBA::is_nil(nc)) throw CosNaming::NamingContext::NotFound();
      obj = nc->resolve(name);
    } catch (const CosNaming::NamingContext::NotFound&) {
      list.swap(fresh);
      count = i;
      health.reset(list.size());
      client.trace(endLine + id + countSep + Client::intToStr(count));
      return;
    }
    Var ref;
    try {
      ref = T::_narrow(obj.in());
    } catch (const CORBA::SystemException& e) {
      // Its type could not be asked (a reference without a usable
      // endpoint, a replica down): it keeps its number as a failed
      // replica, and the ones after it are still found.
      client.trace(id + " could not be checked (" + e._name() + "); counted as a failed replica");
      ref = T::_unchecked_narrow(obj.in());
    }
    if (CORBA::is_nil(ref)) {
      // A name bound to an object of another interface: a mistake of the
      // deployment, not a reason to end the customer's session. The
      // replicas before it serve; numbering stops there, as at a gap.
      list.swap(fresh);
      count = i;
      health.reset(list.size());
      client.trace(id + " is bound to an object of another interface; so number of servers is " +
                   Client::intToStr(count));
      return;
    }
    fresh.push_back(ref);
    client.trace(foundLine + id);
  }
}

}  // namespace

void Client::clearAndObtainAccountIOR() {
  discover<Account>(nc.in(), "account", account, noOfAccountServers, *accountHealth_, *this,
                    "Client::clearAndobtainAccountIOR(): Resolved IOR: ",
                    "Client::clearAndObtainAccountIOR(): NotFound Exception while resolving ",
                    "\tso number of account servers are ");
}

void Client::clearAndObtainOFSIOR() {
  discover<OrderFulfillment>(nc.in(), "orderObj", orderObj, noOfOFSServers, *orderHealth_, *this,
                             "client::clearAndObtainOFSIOR(): Resolved OFS: ",
                             "Client::clearAndObtainOFSIOR(): NotFound Exception while resolving ",
                             " so number of OFS servers are ");
}

// --- identity -----------------------------------------------------------------

std::string Client::generateClientID() {
  if (!ClientIdentity::hostAddress(nullptr)) trace(" Host not found");
  return clientIdentity.generate();
}

void Client::setClientID() {
  if (!ClientIdentity::hostAddress(nullptr)) trace(" Host not found");
  trace("Client ID generated on client: " + clientIdentity.renew());
}

void Client::setClientTrans() {
  // The identity's numbers are used up: a fresh identity, so that no
  // replica mistakes a new request for an old one of this process.
  if (clientIdentity.advance())
    trace("Request numbers used up; Client ID generated on client: " + clientIdentity.id());
}

ClientTransaction Client::getclientTransObj() const { return clientIdentity.current(); }

void Client::removeStr(std::string& inStr, const std::string& subStr) {
  if (subStr.empty()) return;  // nothing to remove; would never end
  for (size_t at = inStr.find(subStr); at != std::string::npos; at = inStr.find(subStr))
    inStr.erase(at, subStr.size());
}

std::string Client::intToStr(int intVal) {
  char buf[16];
  const int n = std::snprintf(buf, sizeof buf, "%d", intVal);
  if (n < 0 || n >= static_cast<int>(sizeof buf)) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

void Client::retrieveRefrence(const Ticket& tempTckt) {
  s_Tckt.username = tempTckt.username;
  s_Tckt.token = tempTckt.token;
}

// --- fan-out ------------------------------------------------------------------

int Client::decide(const std::vector<int>& statuses) {
  size_t countOfOne = 0;
  for (size_t i = 0; i < statuses.size(); ++i) {
    if (statuses[i] == 1 || statuses[i] == 2) return static_cast<int>(i);
    if (statuses[i] == -1) ++countOfOne;
  }
  return countOfOne == statuses.size() ? -1 : -2;
}

int Client::findFirstOccurenceOfCompletionOrCompleteFailure() {
  std::vector<int> statuses;
  statuses.reserve(vec.size());
  for (Thread* t : vec) statuses.push_back(t->getRstatus().completionStatus);
  return decide(statuses);
}

void Client::createAndStartThreads(int typeOfIOR) {
  trace("createAndStartThread called with methodNumber as " + intToStr(methodNumber) +
        " and client state is " + intToStr(i_client_state));
  size_t size = 0;
  if (typeOfIOR == 0) {
    size = account.size();
    trace("ACCOUNT_IOR_SIZE: " + intToStr(static_cast<int>(size)));
  } else if (typeOfIOR == 1) {
    size = orderObj.size();
    trace("ORDER_IOR_SIZE: " + intToStr(static_cast<int>(size)));
  } else {
    trace("Invalid parameter passed to createAndStartThreads....exiting");
    std::exit(-1);
  }
  attemptCalled_.clear();
  std::vector<size_t> skipped;
  const std::vector<size_t> chosen = replicaHealth(typeOfIOR).choose(&skipped);
  if (!skipped.empty()) {
    std::string names;
    for (size_t i : skipped) names += " " + intToStr(static_cast<int>(i));
    trace("Not calling replicas" + names + ": suspect, or a call to them has not ended");
  }
  startWorkers(chosen, "Client::createAndStartThreads(): After pushing threads into vector and "
                       "before starting them ");
}

void Client::startWorkers(const std::vector<size_t>& replicas, const std::string& line) {
  std::vector<Thread*> fresh;
  for (size_t i = 0; i < replicas.size(); ++i) fresh.push_back(new Thread());
  trace(line);
  for (size_t i = 0; i < replicas.size(); ++i) {
    fresh[i]->Start(this, static_cast<int>(replicas[i]));
    // vec stays in replica order, which is the order of the decision.
    auto at = std::find_if(vec.begin(), vec.end(), [&](const Thread* t) {
      return t->getIndex() > static_cast<int>(replicas[i]);
    });
    vec.insert(at, fresh[i]);
  }
  attemptCalled_.insert(attemptCalled_.end(), replicas.begin(), replicas.end());
}

void Client::callFreed(int typeOfIOR) {
  const std::vector<size_t> freed = replicaHealth(typeOfIOR).chooseFreed(attemptCalled_);
  if (freed.empty()) return;
  std::string names;
  for (size_t i : freed) names += " " + intToStr(static_cast<int>(i));
  startWorkers(freed, "Their earlier calls have ended: calling replicas" + names + " as well");
}

bool Client::callRemaining(int typeOfIOR) {
  const std::vector<size_t> more = replicaHealth(typeOfIOR).choose(nullptr, attemptCalled_);
  if (more.empty()) return false;
  std::string names;
  for (size_t i : more) names += " " + intToStr(static_cast<int>(i));
  startWorkers(more, "Every replica called so far failed: calling replicas" + names + " as well");
  return true;
}

void Client::clearVector() {
  for (Thread* t : vec) {
    trace("before pthread_join function call in clearVector");
    const int joinReturnStatus = t->join();
    trace("after pthread_join function call in clearVector");
    trace("value of join return status : " + intToStr(joinReturnStatus));
    delete t;
  }
  vec.clear();
}

void Client::retireWorkers(const Thread* keep) {
  for (Thread* t : vec) {
    if (t == keep) continue;
    t->retire();
    late_.push_back(t);
  }
  vec.clear();
  reapLate();
}

void Client::reapLate() {
  std::vector<Thread*> running;
  for (Thread* t : late_) {
    if (t->ended())
      delete t;
    else
      running.push_back(t);
  }
  late_.swap(running);
}

void Client::startProbes() {
  const auto now = ReplicaHealth::Clock::now();
  for (size_t i : accountHealth_->dueForProbe(now)) {
    late_.push_back(new Thread());
    late_.back()->StartProbe(channel_, accountHealth_, account[i].in(), static_cast<int>(i));
  }
  for (size_t i : orderHealth_->dueForProbe(now)) {
    late_.push_back(new Thread());
    late_.back()->StartProbe(channel_, orderHealth_, orderObj[i].in(), static_cast<int>(i));
  }
}

void Client::rediscover(int typeOfIOR) {
  if (typeOfIOR == 0)
    clearAndObtainAccountIOR();
  else
    clearAndObtainOFSIOR();
}

void Client::adoptReply(const Thread& decider) {
  switch (methodNumber) {
    case 9002:
      uObj = decider.userReply();
      retrieveRefrence(decider.ticketReply());
      break;
    case 9004:
    case 9005:
    case 9008:
    case 9009:
      movieObj = decider.movieReply();
      break;
    default:
      break;
  }
}

bool Client::timedOut(FailureNotice& notice) {
  trace("TIME_OUT: Server Responses Not Received");
  for (Thread* t : vec) {
    const RequestStatus s = t->getRstatus();
    trace("timeOut:vec: " + intToStr(s.completionStatus));
    if (s.completionStatus == 0) notice.callStillRunning();
    if (s.completionStatus == -1) notice.callFailed(s.completion);
  }
  // Every call ends by the limit (its call timeout is what was left), so
  // this wait is short; afterwards a replica that carried the request out
  // is never reported as failed.
  for (Thread* t : vec) t->join();
  for (Thread* t : vec) {
    if (t->getRstatus().completionStatus != 1) continue;
    trace("Server Account" + intToStr(t->getIndex()) +
          " carried the request out as the time ran out; taking its answer");
    adoptReply(*t);
    clearVector();
    return true;
  }
  clearVector();
  say(notice.line());
  return false;
}

namespace {
// Background lines may go to the screen while the request's trace is there.
class RequestInProgress {
 public:
  explicit RequestInProgress(ConsoleChannel& c) : c_(c) { c_.beginRequest(); }
  ~RequestInProgress() { c_.endRequest(); }
  RequestInProgress(const RequestInProgress&) = delete;
  RequestInProgress& operator=(const RequestInProgress&) = delete;

 private:
  ConsoleChannel& c_;
};
}  // namespace

bool Client::threadLogic(int typeOfIOR) {
  // Each request gets its own three rediscoveries.
  noOfRetries = 0;
  RequestInProgress inProgress(*channel_);
  try {
    clearVector();
    reapLate();
    const std::time_t timeVal = std::time(nullptr);
    // The limit the whole request, rediscoveries included, is waited for;
    // the replicas get it with every call.
    requestLimit_ = std::chrono::system_clock::from_time_t(timeVal + 10);
    FailureNotice notice;
    startProbes();
    createAndStartThreads(typeOfIOR);
    trace(" threadLogic(): After createAndStartThreads(). ");
    for (;;) {
      const unsigned long seen = channel_->changes();
      if (std::time(nullptr) - timeVal > 9) return timedOut(notice);
      const int indx = findFirstOccurenceOfCompletionOrCompleteFailure();
      if (indx == -1) {
        // Not yet a failure of every replica: those not called in this
        // attempt get the request, the free ones now, the ones with a call
        // of an earlier request in flight once it has ended.
        if (callRemaining(typeOfIOR)) continue;
        if (replicaHealth(typeOfIOR).anyBusy(attemptCalled_)) {
          channel_->waitForChange(seen, requestLimit_);
          continue;
        }
        trace("all servers failed!!!!");
        for (Thread* t : vec) notice.callFailed(t->getRstatus().completion);
        clearVector();
        if (noOfRetries == 3) {
          noOfRetries = 0;
          say(notice.line());
          return false;
        }
        ++noOfRetries;
        try {
          rediscover(typeOfIOR);
        } catch (const CORBA::Exception& e) {
          // The Naming Service is down: the replicas known so far stay,
          // and this request ends here.
          trace(std::string("The Naming Service could not be reached to find the servers again: ") +
                e._name());
          say(notice.line());
          return false;
        }
        createAndStartThreads(typeOfIOR);
        continue;
      }
      if (indx == -2) {
        callFreed(typeOfIOR);
        channel_->waitForChange(seen, requestLimit_);
        continue;
      }
      Thread* decider = vec[static_cast<size_t>(indx)];
      trace("Server Account" + intToStr(decider->getIndex()) +
            " returned ... not waiting for any other server ");
      const int status = decider->getRstatus().completionStatus;
      decider->join();
      if (status == 1) adoptReply(*decider);
      // The others end on their own; the customer does not wait for them.
      retireWorkers(decider);
      delete decider;
      return status == 1;
    }
  } catch (...) {
    retireWorkers(nullptr);
    throw;
  }
}

// --- start-up -------------------------------------------------------------------

int run(CORBA::ORB_ptr orb, int clientMode, const std::string& suffix) {
  Client clientObj;
  // The quiet console: the customer's lines on the terminal, the trace in
  // a log of this process's own.
  const char* logDir = std::getenv(kClientLogDirVariable);
  if (logDir != nullptr && *logDir != '\0') {
    const std::string path =
        std::string(logDir) + "/client-" + std::to_string(::getpid()) + ".log";
    std::string error;
    std::shared_ptr<std::ostream> log = ConsoleChannel::openPrivateLog(path, &error);
    if (log)
      clientObj.traceTo(std::move(log));
    else
      std::cerr << "The trace log " << path << " could not be opened (" << error
                << "); the trace stays on the console." << std::endl;
  }
  clientObj.trace("Before contacting Naming Service ");
  // A replica that cannot prove itself is a failed replica; say why.
  struct RefusalTrace {
    explicit RefusalTrace(Client& c) {
      OrbTls::onRefusal([&c](const std::string& line) { c.trace(line); });
    }
    ~RefusalTrace() { OrbTls::onRefusal(nullptr); }
  } refusalTrace(clientObj);

  // Whether no Naming Service is configured or the configured one cannot be
  // reached, the user gets the same clear message.
  CORBA::Object_var obj;
  try {
    obj = orb->resolve_initial_references("NameService");
  } catch (const CORBA::ORB::InvalidName&) {
    std::cerr << " Can't resolve Naming Service " << std::endl;
    return 1;
  } catch (const CORBA::SystemException&) {
    std::cerr << " Can't resolve Naming Service " << std::endl;
    return 1;
  }
  if (CORBA::is_nil(obj)) {
    std::cerr << "NamingService is a nil object reference" << std::endl;
    return 1;
  }
  CosNaming::NamingContext_var nc;
  try {
    nc = CosNaming::NamingContext::_narrow(obj.in());
  } catch (const CORBA::SystemException&) {
    std::cerr << " Can't resolve Naming Service " << std::endl;
    return 1;
  }
  if (CORBA::is_nil(nc)) {
    std::cerr << " NameService is not a NamingContext object reference " << std::endl;
    return 1;
  }
  // With several directories in the reference, a lookup whose connection to
  // one of them just broke is sent once more, so that it moves on to the
  // next directory; lookups only read.
  omniORB::installCommFailureExceptionHandler(nc.in(), nullptr, retryLookupOnce);
  clientObj.setNamingContext(nc.in());

  try {
    clientObj.clearAndObtainAccountIOR();
    clientObj.clearAndObtainOFSIOR();
  } catch (const CORBA::SystemException&) {
    std::cerr << " Can't resolve Naming Service " << std::endl;
    return 1;
  }
  clientObj.trace("run(): Number of AccountServers are : " +
                  Client::intToStr(clientObj.getNoOfAccountServers()));
  clientObj.trace("run(): Number of OFSServers are : " +
                  Client::intToStr(clientObj.getNoOfOFSServers()));

  if (clientMode == 0) {
    try {
      return clientObj.invokeClient();
    } catch (const EndOfInput&) {
      clientObj.say("");
      return 1;
    }
  }
  if (clientMode == 1) {
    clientObj.setClientID();
    const std::string username = "user" + suffix;
    const std::string password = "pass" + suffix;
    const std::string fname = "fname" + suffix;
    const std::string lname = "lname" + suffix;
    const std::string address = "address" + suffix;
    const std::string creditcardnum = "creditcardnum" + suffix;
    const std::string phonenum = "phonenum" + suffix;
    const std::string email = "email" + suffix;
    const std::string movietitle = "title1";
    clientObj.trace("run(): Entering createAccount ");
    if (!clientObj.createAccount(fname, lname, address, creditcardnum, phonenum, email, username,
                                 password))
      return -1;
    if (!clientObj.login(username, password)) return -1;
    if (!clientObj.search(movietitle, true)) return -1;
    clientObj.logOut();
    return 0;
  }
  clientObj.trace("Bailing out because run called with a wierd mode");
  return -1;
}

int clientMain(int argc, char** argv) {
  const std::string lastArg = argc >= 2 ? argv[argc - 1] : "";
  const std::string secondLastArg = argc >= 3 ? argv[argc - 2] : "";
  std::string suffix;
  int clientMode;
  int orbArgc = argc;
  if (argc >= 2 && lastArg == "-manual") {
    clientMode = 0;
    orbArgc -= 1;
  } else if (argc >= 3 && secondLastArg == "-auto") {
    clientMode = 1;
    suffix = lastArg;
    orbArgc -= 2;
  } else {
    std::cout << "Client program called with incorrect parameters." << std::endl;
    std::cout << "Correct usage: Client -ORBInitRef <naming service> -manual" << std::endl;
    std::cout << "OR" << std::endl;
    std::cout << "Client -ORBInitRef <naming service> -auto <unique number per client>"
              << std::endl;
    return -1;
  }

  // Without its CA the ORB would fall back to plain TCP without a word.
  OrbTls tls;
  std::string tlsError;
  if (!tls.prepare(OrbTls::Role::Client, orbArgc, argv, tlsError)) {
    std::cerr << tlsError << std::endl;
    return 1;
  }
  int status = 0;
  CORBA::ORB_var orb;
  try {
    orb = CORBA::ORB_init(orbArgc, argv, "", tls.options());
    RequestDeadline::installClient();
    // A hung replica must not hold a worker forever; an unreachable host
    // should fail fast.
    omniORB::setClientCallTimeout(10000);
    omniORB::setClientConnectTimeout(2000);
    status = run(orb.in(), clientMode, suffix);
  } catch (const CORBA::Exception&) {
    status = 1;
  }
  if (Thread::callsInFlight() > 0 || Thread::anyAbandoned()) {
    // Destroying the ORB would wait for calls still in flight to a hung
    // replica, and race with workers that were let go as they release
    // their references. The customer is done: end now; the replicas'
    // request log makes a call cut off here harmless.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(status & 0xff);
  }
  if (!CORBA::is_nil(orb)) {
    try {
      orb->destroy();
    } catch (const CORBA::Exception&) {
      status = 1;
    }
  }
  return status;
}
