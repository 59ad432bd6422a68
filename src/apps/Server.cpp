// acctserver: registers the Account servant under the name given on the
// command line and serves requests.
#include "Account_impl.h"
#include "ServerStartup.h"

int main(int argc, char** argv) {
  hftObj = new tavrinTimer;
  hftObj->timerStart();

  const ServerStyle style{"Usage: acctserver [ORB options] <name>", false, "Time taken is ", true};
  auto activator = []() -> CORBA::Object_ptr {
    Account_impl* accountImpl = Account_impl::getInstance();
    // The holder owns a reference of its own; the one the singleton was
    // created with stays, so the instance outlives any deactivation.
    accountImpl->_add_ref();
    PortableServer::ServantBase_var servant = accountImpl;
    return accountImpl->_this();
  };
  return serverMain(argc, argv, style, activator);
}
