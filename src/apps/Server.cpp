// acctserver: registers the Account servant under the name given on the
// command line and serves requests.
#include <cstring>
#include <iostream>

#include "Account_impl.h"
#include "DBConnection.h"
#include "DBSettings.h"
#include "RequestScope.h"
#include "ServerStartup.h"
#include "User.h"

namespace {

// acctserver --upgrade-secrets: hashes the passwords and seals the card
// numbers that rows from before still hold in the clear, then exits.
int upgradeSecrets() {
  DBConnection::libraryInit();
  DBSettings settings;
  std::string error, warning;
  if (!DBSettings::load(settings, error, warning)) {
    std::cerr << "Database settings: " << error << std::endl;
    return 1;
  }
  unsigned long n = 0;
  try {
    for (;;) {
      RequestScope scope;
      if (!User::getInstance()->upgradeStoredSecrets()) break;
      ++n;
    }
  } catch (...) {
    std::cerr << "upgrade stopped after " << n << " accounts: the database failed" << std::endl;
    return 1;
  }
  std::cout << n << " accounts upgraded" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--upgrade-secrets") == 0) return upgradeSecrets();
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
