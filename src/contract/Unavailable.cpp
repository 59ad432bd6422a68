#include "Unavailable.h"

Unavailable::Unavailable(Reason reason, const std::string& what)
    : std::runtime_error(what), reason_(reason) {}

CORBA::CompletionStatus Unavailable::completion() const {
  return reason_ == kCommitUnknown ? CORBA::COMPLETED_MAYBE : CORBA::COMPLETED_NO;
}

CORBA::TRANSIENT Unavailable::toTransient() const {
  return CORBA::TRANSIENT(minor(), completion());
}
