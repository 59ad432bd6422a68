#include "ServerStartup.h"

#include <omniORB4/Naming.hh>
#include <omniORB4/minorCode.h>

#include <iostream>

#include "DBConnection.h"
#include "RequestDeadline.h"

tavrinTimer* hftObj = nullptr;

int runServer(CORBA::ORB_ptr orb, const char* iorName, const ServerStyle& style,
              const Activator& activate) {
  CORBA::Object_var poaObj = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var rootPoa = PortableServer::POA::_narrow(poaObj);
  PortableServer::POAManager_var manager = rootPoa->the_POAManager();
  CORBA::Object_var servantRef = activate();

  CORBA::Object_var obj;
  try {
    obj = orb->resolve_initial_references("NameService");
  } catch (const CORBA::ORB::InvalidName&) {
    std::cout << " Can't resolve Naming Service " << std::endl;
    return 1;
  } catch (const CORBA::NO_RESOURCES& e) {
    // omniORB's way of saying that no NameService reference is configured.
    if (e.minor() != omni::NO_RESOURCES_InitialRefNotFound) throw;
    std::cout << " Can't resolve Naming Service " << std::endl;
    return 1;
  }
  if (CORBA::is_nil(obj)) {
    std::cout << " NameService is a nil object reference " << std::endl;
    return 1;
  }
  CosNaming::NamingContext_var nc;
  try {
    nc = CosNaming::NamingContext::_narrow(obj);
  } catch (const CORBA::Exception&) {
    std::cout << "CORBA Exception while narrowing nc" << std::endl;
  }
  if (CORBA::is_nil(nc)) {
    std::cout << " NameService is not a NamingContext object reference " << std::endl;
    return 1;
  }
  std::cout << "Obtained nameservice reference and it is non-null, now about to bind names"
            << std::endl;
  if (style.printIorName) std::cout << "IOR Name is " << iorName << std::endl;

  CosNaming::Name name;
  name.length(1);
  name[0].id = CORBA::string_dup(iorName);
  name[0].kind = CORBA::string_dup("");
  try {
    nc->bind(name, servantRef);
  } catch (const CosNaming::NamingContext::AlreadyBound&) {
    std::cout << "Re-binding the IOR" << std::endl;
    nc->rebind(name, servantRef);
  }

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
  int status = 0;
  CORBA::ORB_var orb;
  try {
    orb = CORBA::ORB_init(argc, argv, "");
    // Requests then carry their client's deadline to RequestScope.
    RequestDeadline::installServer();
    if (argc < 2 || argv[1][0] == '\0') {
      std::cout << style.usage << std::endl;
      status = 1;
    } else {
      status = runServer(orb, argv[1], style, activate);
    }
  } catch (const CORBA::Exception&) {
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
