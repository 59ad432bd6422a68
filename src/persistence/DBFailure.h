// What a failed statement means to the layers above. The database refusing
// the request's values (a taken user name, a value too long or not valid
// text) is an answer every replica gives alike: TavrinException. Anything
// else (a lost connection, a lock wait or the budget running out, a
// statement the database could not run) means this replica could not do the
// work: Unavailable, which the servants answer with CORBA::TRANSIENT.
#ifndef TAVRIN_DBFAILURE_H
#define TAVRIN_DBFAILURE_H

#include <string>

#include "Unavailable.h"

// The reason to report for a failure with this error number.
Unavailable::Reason unavailabilityOf(unsigned int code);

// The reason for a failed control of the transaction (prepare, lock, start):
// the one `code` tells where it is a time limit or a lost connection, else
// `otherwise`.
Unavailable::Reason unavailabilityOf(unsigned int code, Unavailable::Reason otherwise);

// A failed commit: nothing committed, unless its acknowledgement was lost
// on the way (then it may have taken effect: kCommitUnknown).
Unavailable commitFailure(unsigned int code, const std::string& error);

// Raises TavrinException(prefix + error) for a refusal of the values, else
// Unavailable with the reason of `code` and the same text.
[[noreturn]] void raiseStatementFailure(const std::string& prefix, const char* error,
                                        unsigned int code);

#endif
