// The Client program: mode, ORB, the Naming Service, discovery, then the
// interactive console or the automatic session.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Client.h"
#include "OrbTls.h"
#include "RequestDeadline.h"

namespace {

// The quiet console: the customer's lines on the terminal, the trace in a
// log of this process's own.
void quietWhenAsked(Client& client) {
  const char* logDir = std::getenv(kClientLogDirVariable);
  if (logDir == nullptr || *logDir == '\0') return;
  const std::string path = std::string(logDir) + "/client-" + std::to_string(::getpid()) + ".log";
  std::string error;
  std::shared_ptr<std::ostream> log = ConsoleChannel::openPrivateLog(path, &error);
  if (log)
    client.terminal().channel()->traceTo(std::move(log));
  else
    std::cerr << "The trace log " << path << " could not be opened (" << error
              << "); the trace stays on the console." << std::endl;
}

// The Naming Service, or nil after telling the user why not. Whether none
// is configured or the configured one cannot be reached, the user gets the
// same clear message.
CosNaming::NamingContext_ptr namingService(CORBA::ORB_ptr orb) {
  CORBA::Object_var obj;
  try {
    obj = orb->resolve_initial_references("NameService");
  } catch (const CORBA::ORB::InvalidName&) {
    std::cerr << " Can't resolve Naming Service " << std::endl;
    return CosNaming::NamingContext::_nil();
  } catch (const CORBA::SystemException&) {
    std::cerr << " Can't resolve Naming Service " << std::endl;
    return CosNaming::NamingContext::_nil();
  }
  if (CORBA::is_nil(obj)) {
    std::cerr << "NamingService is a nil object reference" << std::endl;
    return CosNaming::NamingContext::_nil();
  }
  CosNaming::NamingContext_var nc;
  try {
    nc = CosNaming::NamingContext::_narrow(obj.in());
  } catch (const CORBA::SystemException&) {
    std::cerr << " Can't resolve Naming Service " << std::endl;
    return CosNaming::NamingContext::_nil();
  }
  if (CORBA::is_nil(nc))
    std::cerr << " NameService is not a NamingContext object reference " << std::endl;
  return nc._retn();
}

// The automatic session: register, log in, rent one movie, log out.
int automatic(Client& client, const std::string& suffix) {
  client.terminal().trace("Client ID generated on client: " + client.identity().renew());
  // Nobody to ask: an unknown outcome is sent again under its number.
  client.requests().settleUnknown(false, 2);
  const std::string form[8] = {"fname" + suffix,         "lname" + suffix,    "address" + suffix,
                               "creditcardnum" + suffix, "phonenum" + suffix, "email" + suffix,
                               "user" + suffix,          "pass" + suffix};
  client.terminal().trace("run(): Entering createAccount ");
  client.terminal().trace("createAccount() called ");
  if (!client.createAccount(form)) return -1;
  if (!client.login(form[6], form[7])) return -1;
  if (!client.movies().search("title1", true)) return -1;
  client.logOut();
  return 0;
}

// The start-up sequence and the chosen mode (0 interactive, 1 automatic).
int run(Client& client, CORBA::ORB_ptr orb, int clientMode, const std::string& suffix) {
  quietWhenAsked(client);
  client.terminal().trace("Before contacting Naming Service ");
  // A replica that cannot prove itself is a failed replica; say why.
  struct RefusalTrace {
    explicit RefusalTrace(Client& c) {
      OrbTls::onRefusal([&c](const std::string& line) { c.terminal().trace(line); });
    }
    ~RefusalTrace() { OrbTls::onRefusal(nullptr); }
    RefusalTrace(const RefusalTrace&) = delete;
    RefusalTrace& operator=(const RefusalTrace&) = delete;
  } refusalTrace(client);
  CosNaming::NamingContext_var nc = namingService(orb);
  if (CORBA::is_nil(nc)) return 1;
  // With several directories in the reference, a lookup whose connection to
  // one of them just broke is sent once more, so that it moves on to the
  // next directory; lookups only read.
  omniORB::installCommFailureExceptionHandler(
      nc.in(), nullptr,
      [](auto, CORBA::ULong retries, const CORBA::COMM_FAILURE&) -> CORBA::Boolean {
        return retries < 1;
      });
  client.replicas().setNamingContext(nc.in());
  try {
    client.replicas().discoverAccounts();
    client.replicas().discoverOrders();
  } catch (const CORBA::SystemException&) {
    std::cerr << " Can't resolve Naming Service " << std::endl;
    return 1;
  }
  client.terminal().trace("run(): Number of AccountServers are : " +
                          std::to_string(client.replicas().size(kAccountSet)));
  client.terminal().trace("run(): Number of OFSServers are : " +
                          std::to_string(client.replicas().size(kOrderSet)));
  if (clientMode == 1) return automatic(client, suffix);
  client.requests().settleUnknown(true, 0);
  try {
    return client.invokeClient();
  } catch (const EndOfInput&) {
    client.terminal().say("");
    return 1;
  }
}

bool parseMode(int argc, char** argv, int* mode, std::string* suffix, int* orbArgc) {
  const std::string lastArg = argc >= 2 ? argv[argc - 1] : "";
  const std::string secondLastArg = argc >= 3 ? argv[argc - 2] : "";
  *orbArgc = argc;
  if (argc >= 2 && lastArg == "-manual") {
    *mode = 0;
    *orbArgc -= 1;
    return true;
  }
  if (argc >= 3 && secondLastArg == "-auto") {
    *mode = 1;
    *suffix = lastArg;
    *orbArgc -= 2;
    return true;
  }
  std::cout << "Client program called with incorrect parameters." << std::endl;
  std::cout << "Correct usage: Client -ORBInitRef <naming service> -manual" << std::endl;
  std::cout << "OR" << std::endl;
  std::cout << "Client -ORBInitRef <naming service> -auto <unique number per client>" << std::endl;
  return false;
}

}  // namespace

int clientMain(int argc, char** argv) {
  int clientMode = 0;
  int orbArgc = 0;
  std::string suffix;
  if (!parseMode(argc, argv, &clientMode, &suffix, &orbArgc)) return -1;
  // Without its CA the ORB would fall back to plain TCP without a word.
  OrbTls tls;
  std::string tlsError;
  if (!tls.prepare(OrbTls::Role::Client, orbArgc, argv, tlsError)) {
    std::cerr << tlsError << std::endl;
    return 1;
  }
  int status = 0;
  CORBA::ORB_var orb;
  std::shared_ptr<ConsoleChannel> channel;
  try {
    orb = CORBA::ORB_init(orbArgc, argv, "", tls.options());
    RequestDeadline::installClient();
    // A hung replica must not hold a worker forever; an unreachable host
    // should fail fast.
    omniORB::setClientCallTimeout(10000);
    omniORB::setClientConnectTimeout(2000);
    Client client;
    channel = client.terminal().channel();
    status = run(client, orb.in(), clientMode, suffix);
  } catch (const CORBA::Exception&) {
    status = 1;
  }
  if (channel && (channel->callsInFlight() > 0 || channel->anyAbandoned())) {
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
