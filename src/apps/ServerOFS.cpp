// orderserver: registers the OrderFulfillment servant under the name given
// on the command line and serves requests.
#include "OrderFulfillment_impl.h"
#include "ServerStartup.h"

int main(int argc, char** argv) {
  hftObj = new tavrinTimer;
  hftObj->timerStart();
  const ServerStyle style = {"Usage: orderserver [ORB options] <name>", true, " Time taken is ",
                             false};
  auto activator = []() -> CORBA::Object_ptr {
    return OrderFulfillment_impl::getInstance()->_this();
  };
  return serverMain(argc, argv, style, activator);
}
