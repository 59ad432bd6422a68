#include "Client.h"

#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Contract.h"
#include "Display.h"
#include "Thread.h"

bool Client::searchStatus = false;

Client::Client(std::istream& i, std::ostream& o) : in(i), out(o) {
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

Client::~Client() { clearVector(); }

// --- console ----------------------------------------------------------------

void Client::say(const std::string& line) {
  std::lock_guard<std::mutex> lock(outMutex);
  out << line << std::endl;
}

void Client::write(const std::string& text) {
  std::lock_guard<std::mutex> lock(outMutex);
  out << text << std::flush;
}

void Client::pause() {
  if (pauseHook) {
    pauseHook();
    return;
  }
  std::lock_guard<std::mutex> lock(outMutex);
  toggleEcho::enterInput(0, out);
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

// Resolves prefix0, prefix1, ... until the first name that is not bound and
// returns the references narrowed to T.
template <typename T, typename Var>
void discover(CosNaming::NamingContext_ptr nc, const std::string& prefix,
              std::vector<Var>& list, int& count, Client& client, const std::string& foundLine,
              const std::string& endLine, const std::string& countSep) {
  list.clear();
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
      count = i;
      client.say(endLine + id + countSep + Client::intToStr(count));
      return;
    }
    Var ref = T::_narrow(obj.in());
    // A name bound to another interface breaks the deployment's invariant.
    assert(!CORBA::is_nil(ref));
    if (CORBA::is_nil(ref)) std::abort();
    list.push_back(ref);
    client.say(foundLine + id);
  }
}

}  // namespace

void Client::clearAndObtainAccountIOR() {
  discover<Account>(nc.in(), "account", account, noOfAccountServers, *this,
                    "Client::clearAndobtainAccountIOR(): Resolved IOR: ",
                    "Client::clearAndObtainAccountIOR(): NotFound Exception while resolving ",
                    "\tso number of account servers are ");
}

void Client::clearAndObtainOFSIOR() {
  discover<OrderFulfillment>(nc.in(), "orderObj", orderObj, noOfOFSServers, *this,
                             "client::clearAndObtainOFSIOR(): Resolved OFS: ",
                             "Client::clearAndObtainOFSIOR(): NotFound Exception while resolving ",
                             " so number of OFS servers are ");
}

// --- identity -----------------------------------------------------------------

std::string Client::generateClientID() {
  if (!ClientIdentity::hostAddress(nullptr)) say(" Host not found");
  return clientIdentity.generate();
}

void Client::setClientID() {
  if (!ClientIdentity::hostAddress(nullptr)) say(" Host not found");
  say("Client ID generated on client: " + clientIdentity.renew());
}

void Client::setClientTrans() {
  // The identity's numbers are used up: a fresh identity, so that no
  // replica mistakes a new request for an old one of this process.
  if (clientIdentity.advance())
    say("Request numbers used up; Client ID generated on client: " + clientIdentity.id());
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

void Client::workerDone() {
  {
    std::lock_guard<std::mutex> lock(statusMutex);
    ++statusChanges;
  }
  statusCv.notify_all();
}

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
  say("createAndStartThread called with methodNumber as " + intToStr(methodNumber) +
      " and client state is " + intToStr(i_client_state));
  size_t size = 0;
  if (typeOfIOR == 0) {
    size = account.size();
    say("ACCOUNT_IOR_SIZE: " + intToStr(static_cast<int>(size)));
  } else if (typeOfIOR == 1) {
    size = orderObj.size();
    say("ORDER_IOR_SIZE: " + intToStr(static_cast<int>(size)));
  } else {
    say("Invalid parameter passed to createAndStartThreads....exiting");
    std::exit(-1);
  }
  for (size_t i = 0; i < size; ++i) vec.push_back(new Thread());
  say("Client::createAndStartThreads(): After pushing threads into vector and before starting them ");
  for (size_t i = 0; i < size; ++i) vec[i]->Start(this, static_cast<int>(i));
}

void Client::clearVector() {
  for (Thread* t : vec) {
    say("before pthread_join function call in clearVector");
    const int joinReturnStatus = t->join();
    say("after pthread_join function call in clearVector");
    say("value of join return status : " + intToStr(joinReturnStatus));
    delete t;
  }
  vec.clear();
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

bool Client::threadLogic(int typeOfIOR) {
  // Each request gets its own three rediscoveries.
  noOfRetries = 0;
  try {
    clearVector();
    createAndStartThreads(typeOfIOR);
    say(" threadLogic(): After createAndStartThreads(). ");
    const std::time_t timeVal = std::time(nullptr);
    const auto limit = std::chrono::system_clock::from_time_t(timeVal + 10);
    for (;;) {
      unsigned long seen;
      {
        std::lock_guard<std::mutex> lock(statusMutex);
        seen = statusChanges;
      }
      if (std::time(nullptr) - timeVal > 9) {
        say("TIME_OUT: Server Responses Not Received");
        for (Thread* t : vec) say("timeOut:vec: " + intToStr(t->getRstatus().completionStatus));
        clearVector();
        return false;
      }
      const int indx = findFirstOccurenceOfCompletionOrCompleteFailure();
      if (indx == -1) {
        say("all servers failed!!!!");
        if (noOfRetries == 3) {
          noOfRetries = 0;
          clearVector();
          return false;
        }
        ++noOfRetries;
        clearVector();
        if (typeOfIOR == 0)
          clearAndObtainAccountIOR();
        else
          clearAndObtainOFSIOR();
        createAndStartThreads(typeOfIOR);
        continue;
      }
      if (indx == -2) {
        std::unique_lock<std::mutex> lock(statusMutex);
        statusCv.wait_until(lock, limit, [&] { return statusChanges != seen; });
        continue;
      }
      say("Server Account" + intToStr(indx) + " returned ... not waiting for any other server ");
      Thread* decider = vec[static_cast<size_t>(indx)];
      const int status = decider->getRstatus().completionStatus;
      decider->join();
      if (status == 1) adoptReply(*decider);
      clearVector();
      return status == 1;
    }
  } catch (...) {
    clearVector();
    throw;
  }
}

// --- start-up -------------------------------------------------------------------

int run(CORBA::ORB_ptr orb, int clientMode, const std::string& suffix) {
  Client clientObj;
  clientObj.say("Before contacting Naming Service ");

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
  clientObj.setNamingContext(nc.in());

  try {
    clientObj.clearAndObtainAccountIOR();
    clientObj.clearAndObtainOFSIOR();
  } catch (const CORBA::SystemException&) {
    std::cerr << " Can't resolve Naming Service " << std::endl;
    return 1;
  }
  clientObj.say("run(): Number of AccountServers are : " +
                Client::intToStr(clientObj.getNoOfAccountServers()));
  clientObj.say("run(): Number of OFSServers are : " +
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
    clientObj.say("run(): Entering createAccount ");
    if (!clientObj.createAccount(fname, lname, address, creditcardnum, phonenum, email, username,
                                 password))
      return -1;
    if (!clientObj.login(username, password)) return -1;
    if (!clientObj.search(movietitle, true)) return -1;
    clientObj.logOut();
    return 0;
  }
  clientObj.say("Bailing out because run called with a wierd mode");
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

  int status = 0;
  CORBA::ORB_var orb;
  try {
    orb = CORBA::ORB_init(orbArgc, argv, "");
    // A hung replica must not hold a worker, and with it the console,
    // forever; an unreachable host should fail fast.
    omniORB::setClientCallTimeout(10000);
    omniORB::setClientConnectTimeout(2000);
    status = run(orb.in(), clientMode, suffix);
  } catch (const CORBA::Exception&) {
    status = 1;
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
