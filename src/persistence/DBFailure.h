// What a failed statement means. Every call of the persistence layer that
// fails raises DBFailure, with the database's error number and what that
// number means; nothing in this layer reports failure any other way.
//
// For the layers above: the database refusing the request's values (a taken
// user name, a value too long or not valid text) is an answer every replica
// gives alike: TavrinException. Anything else (a lost connection, a lock
// wait or the budget running out, a statement the database could not run)
// means this replica could not do the work: Unavailable, which the servants
// answer with CORBA::TRANSIENT. raiseFor() makes that choice, here alone.
#ifndef TAVRIN_DBFAILURE_H
#define TAVRIN_DBFAILURE_H

#include <stdexcept>
#include <string>

#include "Unavailable.h"

class DBFailure : public std::runtime_error {
 public:
  enum class Kind {
    kContentRefused,  // the values themselves: every replica meets it alike
    kLockWait,        // a lock wait, a deadlock or the statement's time limit ran out
    kBudget,          // the request's time budget ran out: nothing was sent
    kConnectionLost,  // the connection broke or could not be made
    kOther,           // the database could not run the statement
  };

  // Ours: no statement was sent, the request's time budget had run out.
  static constexpr unsigned int kBudgetExhausted = 60001;

  DBFailure(unsigned int code, const std::string& text);

  unsigned int code() const { return code_; }
  Kind kind() const { return kindOf(code_); }
  // The same failure, its text after `prefix` ("Cannot checkout movie: ...").
  DBFailure prefixed(const std::string& prefix) const;

  static Kind kindOf(unsigned int code);
  // Client error numbers that mean the connection is gone.
  static bool isConnectionLost(unsigned int code);

 private:
  unsigned int code_;
};

// The reason to report for a failure; `otherwise` where its number says no
// more than that the statement failed.
Unavailable::Reason unavailabilityOf(const DBFailure& f,
                                     Unavailable::Reason otherwise = Unavailable::kStatementFailed);

// A failed commit: nothing committed, unless its acknowledgement was lost
// on the way (then it may have taken effect: kCommitUnknown).
Unavailable commitFailure(const DBFailure& f);

// Raises TavrinException(prefix + text) for a refusal of the values, else
// Unavailable with the failure's reason and the same text.
[[noreturn]] void raiseFor(const DBFailure& f, const std::string& prefix = "");

#endif
