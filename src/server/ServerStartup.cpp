#include "ServerStartup.h"

#include <omniORB4/Naming.hh>
#include <omniORB4/minorCode.h>
#include <omniORB4/omniORB.h>

#include <vector>

#include "DBConnection.h"
#include "DBSettings.h"
#include "NamingDirectories.h"
#include "OrbTls.h"
#include "RequestDeadline.h"
#include "RequestLogPruner.h"
#include "Trace.h"

tavrinTimer* hftObj = nullptr;

namespace {

const char* const kGiopMaxMsgSize = "65536";

// The one directory of a single reference, as the ORB resolves it; false,
// after saying why, when it cannot be used.
bool resolveOne(CORBA::ORB_ptr orb, const std::string& namingRef,
                std::vector<NamingDirectories::Directory>& dirs) {
  NamingDirectories::Directory d;
  d.label = namingRef.empty() ? "NameService" : namingRef;
  try {
    d.obj = orb->resolve_initial_references("NameService");
  } catch (const CORBA::ORB::InvalidName&) {
    trace(" Can't resolve Naming Service ");
    return false;
  } catch (const CORBA::NO_RESOURCES& e) {
    // omniORB's way of saying that no NameService reference is configured.
    if (e.minor() != omni::NO_RESOURCES_InitialRefNotFound) throw;
    trace(" Can't resolve Naming Service ");
    return false;
  }
  if (CORBA::is_nil(d.obj)) {
    trace(" NameService is a nil object reference ");
    return false;
  }
  omniORB::setClientCallTimeout(d.obj, NamingDirectories::kCallTimeoutMs);
  try {
    d.nc = CosNaming::NamingContext::_narrow(d.obj);
  } catch (const CORBA::Exception& e) {
    trace("CORBA Exception while narrowing nc");
    trace("The Naming Service at ", TraceValue{d.label},
          " cannot be used: ", TraceValue{describeException(e)});
  }
  if (CORBA::is_nil(d.nc)) {
    trace(" NameService is not a NamingContext object reference ");
    return false;
  }
  dirs.push_back(d);
  return true;
}

// Several directories: each gets the binding, and clients reach whichever
// answers.
void resolveEach(CORBA::ORB_ptr orb, const std::vector<std::string>& refs,
                 std::vector<NamingDirectories::Directory>& dirs) {
  for (const std::string& ref : refs) {
    NamingDirectories::Directory d;
    d.label = ref;
    try {
      d.obj = orb->string_to_object(ref.c_str());
    } catch (const CORBA::Exception& e) {
      trace("The Naming Service reference ", TraceValue{ref},
            " cannot be used: ", TraceValue{describeException(e)});
      continue;
    }
    dirs.push_back(d);
  }
}

}  // namespace

int runServer(CORBA::ORB_ptr orb, const char* iorName, const ServerStyle& style,
              const Activator& activate, const std::string& namingRef) {
  CORBA::Object_var poaObj = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var rootPoa = PortableServer::POA::_narrow(poaObj);
  PortableServer::POAManager_var manager = rootPoa->the_POAManager();
  CORBA::Object_var servantRef = activate();

  std::vector<NamingDirectories::Directory> dirs;
  const std::vector<std::string> refs = splitReference(namingRef);
  if (refs.size() <= 1) {
    if (!resolveOne(orb, namingRef, dirs)) return 1;
  } else {
    resolveEach(orb, refs, dirs);
  }
  trace("Obtained nameservice reference and it is non-null, now about to bind names");
  if (style.printIorName) trace("IOR Name is ", TraceValue{iorName});

  CosNaming::Name name;
  name.length(1);
  name[0].id = CORBA::string_dup(iorName);
  name[0].kind = CORBA::string_dup("");
  std::vector<NamingDirectories::Directory> pending;
  bool rebound = false;
  if (NamingDirectories::bindAll(dirs, name, servantRef, pending, rebound) == 0) {
    // Nobody could find this replica: better gone than silently unused.
    trace("Could not register ", TraceValue{iorName}, " in any Naming Service; exiting");
    return 1;
  }
  if (!pending.empty()) NamingDirectories::retryInBackground(pending, name, servantRef);

  hftObj->timerEnd();
  trace(style.timeLinePrefix, hftObj->timeDiff());
  if (style.printRegistered) trace("Server has successfully registered IOR with naming services");

  manager->activate();
  RequestLogPruner::start();
  orb->run();
  return 0;
}

int serverMain(int argc, char** argv, const ServerStyle& style, const Activator& activate) {
  // The ORB starts threads; the client library must be set up before them.
  DBConnection::libraryInit();
  // Settings that cannot be used are an operator's mistake: say so now, not
  // at the first request.
  {
    DBSettings settings;
    std::string error, warning;
    if (!DBSettings::load(settings, error, warning)) {
      trace("Database settings: ", TraceValue{error});
      return 1;
    }
    if (!warning.empty()) trace("Database settings: ", TraceValue{warning});
  }
  // ORB_init removes the option; the directories are read from it first.
  const std::string namingRef = nameServiceArgument(argc, argv);
  // Listening or calling in clear by mistake is worse than not starting.
  OrbTls tls;
  std::string tlsError;
  if (!tls.prepare(OrbTls::Role::Server, argc, argv, tlsError)) {
    trace(tlsError.c_str());
    return 1;
  }
  int status = 0;
  CORBA::ORB_var orb;
  try {
    // The largest legitimate message (a profile of eight full-width fields,
    // 4 bytes a character) is about 6 KB; a bigger one is read no further.
    // A -ORBgiopMaxMsgSize on the command line still takes precedence.
    tls.addOption("giopMaxMsgSize", kGiopMaxMsgSize);
    orb = CORBA::ORB_init(argc, argv, "", tls.options());
    // Requests then carry their client's deadline to RequestScope.
    RequestDeadline::installServer();
    if (argc < 2 || argv[1][0] == '\0') {
      trace(style.usage);
      status = 1;
    } else {
      status = runServer(orb, argv[1], style, activate, namingRef);
    }
  } catch (const CORBA::Exception& e) {
    trace("Exiting on a CORBA exception: ", TraceValue{describeException(e)});
    status = 1;
  }
  if (!CORBA::is_nil(orb)) {
    try {
      CORBA::release(orb._retn());
    } catch (const CORBA::Exception&) {
      status = 1;
    }
  }
  return status;
}
