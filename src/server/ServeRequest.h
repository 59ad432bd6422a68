// The one error model of the servants. Each operation runs inside
// serveRequest(): under its RequestScope, with the rules' answers
// (TavrinException, or a DBFailure for the values) passed to the client as
// TavrinException, and every failure to do the work (Unavailable, another
// DBFailure, or anything unexpected) answered with CORBA::TRANSIENT, after
// one line in the replica's log that says why. Nothing else leaves an
// operation.
#ifndef TAVRIN_SERVEREQUEST_H
#define TAVRIN_SERVEREQUEST_H

#include <ServerIDL.hh>

#include "DBFailure.h"
#include "RequestScope.h"
#include "Trace.h"
#include "Unavailable.h"

// Prints the "could not serve" line for `e` and returns the exception to
// answer with.
CORBA::TRANSIENT couldNotServe(const char* operation, const Unavailable& e);

template <typename Body>
auto serveRequest(const char* operation, Body&& body) -> decltype(body()) {
  try {
    try {
      RequestScope scope;
      return body();
    } catch (const DBFailure& f) {
      raiseFor(f);
    }
  } catch (const TavrinException&) {
    throw;
  } catch (const Unavailable& e) {
    throw couldNotServe(operation, e);
  } catch (...) {
    trace("Server: Unexpected exception in ", operation);
    throw couldNotServe(operation, Unavailable(Unavailable::kInternal, "unexpected exception"));
  }
}

#endif
