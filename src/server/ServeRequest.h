// The one error model of the servants. Each operation runs inside
// serveRequest(): under its RequestScope, with the rules' answers
// (TavrinException) passed to the client unchanged, and every failure to do
// the work (Unavailable, or anything unexpected) answered with
// CORBA::TRANSIENT, after one line in the replica's log that says why.
// Nothing else leaves an operation.
#ifndef TAVRIN_SERVEREQUEST_H
#define TAVRIN_SERVEREQUEST_H

#include <ServerIDL.hh>

#include <iostream>

#include "RequestScope.h"
#include "Unavailable.h"

// Prints the "could not serve" line for `e` and returns the exception to
// answer with.
CORBA::TRANSIENT couldNotServe(const char* operation, const Unavailable& e);

template <typename Body>
auto serveRequest(const char* operation, Body&& body) -> decltype(body()) {
  try {
    RequestScope scope;
    return body();
  } catch (const TavrinException&) {
    throw;
  } catch (const Unavailable& e) {
    throw couldNotServe(operation, e);
  } catch (...) {
    std::cout << "Server: Unexpected exception in " << operation << std::endl;
    throw couldNotServe(operation, Unavailable(Unavailable::kInternal, "unexpected exception"));
  }
}

#endif
