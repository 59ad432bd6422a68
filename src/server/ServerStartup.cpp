#include "ServerStartup.h"

#include <omniORB4/Naming.hh>
#include <omniORB4/minorCode.h>
#include <omniORB4/omniORB.h>

#include <iostream>
#include <vector>

#include "DBConnection.h"
#include "DBSettings.h"
#include "NamingDirectories.h"
#include "OrbTls.h"
#include "RequestDeadline.h"

tavrinTimer* hftObj = nullptr;

int runServer(CORBA::ORB_ptr orb, const char* iorName, const ServerStyle& style,
              const Activator& activate, const std::string& namingRef) {
  CORBA::Object_var poaObj = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var rootPoa = PortableServer::POA::_narrow(poaObj);
  PortableServer::POAManager_var manager = rootPoa->the_POAManager();
  CORBA::Object_var servantRef = activate();

  std::vector<NamingDirectories::Directory> dirs;
  const std::vector<std::string> refs = splitReference(namingRef);
  if (refs.size() <= 1) {
    // One directory, as the ORB resolves it.
    NamingDirectories::Directory d;
    d.label = namingRef.empty() ? "NameService" : namingRef;
    try {
      d.obj = orb->resolve_initial_references("NameService");
    } catch (const CORBA::ORB::InvalidName&) {
      std::cout << " Can't resolve Naming Service " << std::endl;
      return 1;
    } catch (const CORBA::NO_RESOURCES& e) {
      // omniORB's way of saying that no NameService reference is configured.
      if (e.minor() != omni::NO_RESOURCES_InitialRefNotFound) throw;
      std::cout << " Can't resolve Naming Service " << std::endl;
      return 1;
    }
    if (CORBA::is_nil(d.obj)) {
      std::cout << " NameService is a nil object reference " << std::endl;
      return 1;
    }
    omniORB::setClientCallTimeout(d.obj, NamingDirectories::kCallTimeoutMs);
    try {
      d.nc = CosNaming::NamingContext::_narrow(d.obj);
    } catch (const CORBA::Exception& e) {
      std::cout << "CORBA Exception while narrowing nc" << std::endl;
      std::cout << "The Naming Service at " << d.label
                << " cannot be used: " << describeException(e) << std::endl;
    }
    if (CORBA::is_nil(d.nc)) {
      std::cout << " NameService is not a NamingContext object reference " << std::endl;
      return 1;
    }
    dirs.push_back(d);
  } else {
    // Several directories: each gets the binding, and clients reach
    // whichever answers.
    for (const std::string& ref : refs) {
      NamingDirectories::Directory d;
      d.label = ref;
      try {
        d.obj = orb->string_to_object(ref.c_str());
      } catch (const CORBA::Exception& e) {
        std::cout << "The Naming Service reference " << ref
                  << " cannot be used: " << describeException(e) << std::endl;
        continue;
      }
      dirs.push_back(d);
    }
  }
  std::cout << "Obtained nameservice reference and it is non-null, now about to bind names"
            << std::endl;
  if (style.printIorName) std::cout << "IOR Name is " << iorName << std::endl;

  CosNaming::Name name;
  name.length(1);
  name[0].id = CORBA::string_dup(iorName);
  name[0].kind = CORBA::string_dup("");
  std::vector<NamingDirectories::Directory> pending;
  bool rebound = false;
  if (NamingDirectories::bindAll(dirs, name, servantRef, pending, rebound) == 0) {
    // Nobody could find this replica: better gone than silently unused.
    std::cout << "Could not register " << iorName << " in any Naming Service; exiting"
              << std::endl;
    return 1;
  }
  if (!pending.empty()) NamingDirectories::retryInBackground(pending, name, servantRef);

  hftObj->timerEnd();
  std::cout << style.timeLinePrefix << hftObj->timeDiff() << std::endl;
  if (style.printRegistered)
    std::cout << "Server has successfully registered IOR with naming services" << std::endl;

  manager->activate();
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
      std::cout << "Database settings: " << error << std::endl;
      return 1;
    }
    if (!warning.empty()) std::cout << "Database settings: " << warning << std::endl;
  }
  // ORB_init removes the option; the directories are read from it first.
  const std::string namingRef = nameServiceArgument(argc, argv);
  // Listening or calling in clear by mistake is worse than not starting.
  OrbTls tls;
  std::string tlsError;
  if (!tls.prepare(OrbTls::Role::Server, argc, argv, tlsError)) {
    std::cout << tlsError << std::endl;
    return 1;
  }
  int status = 0;
  CORBA::ORB_var orb;
  try {
    orb = CORBA::ORB_init(argc, argv, "", tls.options());
    // Requests then carry their client's deadline to RequestScope.
    RequestDeadline::installServer();
    if (argc < 2 || argv[1][0] == '\0') {
      std::cout << style.usage << std::endl;
      status = 1;
    } else {
      status = runServer(orb, argv[1], style, activate, namingRef);
    }
  } catch (const CORBA::Exception& e) {
    std::cout << "Exiting on a CORBA exception: " << describeException(e) << std::endl;
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
