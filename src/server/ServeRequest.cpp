#include "ServeRequest.h"

#include <ios>

CORBA::TRANSIENT couldNotServe(const char* operation, const Unavailable& e) {
  std::cout << "Server: could not serve " << operation << ": " << e.what()
            << " (TRANSIENT, minor 0x" << std::hex << e.minor() << std::dec << ", "
            << (e.completion() == CORBA::COMPLETED_MAYBE ? "completed maybe" : "completed no")
            << ")" << std::endl;
  return e.toTransient();
}
