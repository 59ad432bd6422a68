#include "ServeRequest.h"

#include <cstdio>

CORBA::TRANSIENT couldNotServe(const char* operation, const Unavailable& e) {
  char minor[16];
  std::snprintf(minor, sizeof minor, "%lx", static_cast<unsigned long>(e.minor()));
  trace("Server: could not serve ", operation, ": ", TraceValue{e.what()},
        " (TRANSIENT, minor 0x", minor, ", ",
        e.completion() == CORBA::COMPLETED_MAYBE ? "completed maybe" : "completed no", ")");
  return e.toTransient();
}
