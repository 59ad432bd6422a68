// A replica could not do the work: the database connection was lost, a lock
// wait or the request's time budget ran out, a statement, a start or a
// commit failed, or something unexpected happened. This is not an answer of
// the rental rules (those are TavrinException): another replica, or the same
// request sent again under the same request number, may well succeed.
//
// Raised by the business layer; the servants turn it into CORBA::TRANSIENT
// with the minor code and completion status below, and nothing else
// reaches the client for such a failure.
#ifndef TAVRIN_UNAVAILABLE_H
#define TAVRIN_UNAVAILABLE_H

#include <omniORB4/CORBA.h>

#include <stdexcept>
#include <string>

class Unavailable : public std::runtime_error {
 public:
  // Why; the low bits of the TRANSIENT minor code.
  enum Reason : CORBA::ULong {
    kLockWait = 1,        // a table-lock or row-lock wait expired
    kConnectionLost = 2,  // the database connection broke or could not be made
    kStatementFailed = 3, // a statement failed for other than its values
    kStartFailed = 4,     // the transaction could not be opened
    kCommitFailed = 5,    // the commit failed; nothing was committed
    kCommitUnknown = 6,   // the commit's outcome is unknown
    kBudgetExhausted = 7, // the request's time budget ran out
    kInternal = 8,        // an unexpected error inside the replica
    kCutOff = 9,          // the caller is cut off from guessing this name's tickets
  };

  // Our vendor minor-code id in the high 20 bits, the reason in the low 12.
  static constexpr CORBA::ULong kMinorBase = 0x54560000;

  Unavailable(Reason reason, const std::string& what);

  Reason reason() const { return reason_; }
  CORBA::ULong minor() const { return kMinorBase | reason_; }
  // Whether the work may have taken effect: only when a commit was sent and
  // its acknowledgement lost.
  CORBA::CompletionStatus completion() const;

  // The system exception the servant answers with.
  CORBA::TRANSIENT toTransient() const;

 private:
  Reason reason_;
};

#endif
