// The one error model of the servants. Each operation runs inside
// serveRequest(): under its RequestScope, with the rules' answers
// (TavrinException, or a DBFailure for the values) passed to the client as
// TavrinException, and every failure to do the work (Unavailable, another
// DBFailure, or anything unexpected) answered with CORBA::TRANSIENT, after
// one line in the replica's log that says why. Nothing else leaves an
// operation. The request's `fields` are checked against their columns
// (FieldLimits::check) before anything else, so a value no column takes is
// refused before any statement.
#ifndef TAVRIN_SERVEREQUEST_H
#define TAVRIN_SERVEREQUEST_H

#include <ServerIDL.hh>

#include "DBFailure.h"
#include "FieldLimits.h"
#include "RequestScope.h"
#include "Trace.h"
#include "Unavailable.h"

// Prints the "could not serve" line for `e` and returns the exception to
// answer with.
CORBA::TRANSIENT couldNotServe(const char* operation, const Unavailable& e);

template <typename Body, typename... Fields>
auto serveRequest(const char* operation, Body&& body, const Fields&... fields)
    -> decltype(body()) {
  try {
    try {
      (FieldLimits::check(fields), ...);
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
