// What a customer is told of a request that no replica carried out or
// refused: the service failed (every replica failed on the last attempt, or
// the client's limit passed). The line is honest: "did not take effect" only
// when no call of the request could have reached a replica's work, that is
// every failed call was reported COMPLETED_NO (the replica did nothing, or
// the connection was never made); "may have taken effect" as soon as one
// call's outcome is unknown (COMPLETED_MAYBE, a call time-out, a connection
// lost mid-call, a call still running at the limit).
//
// Not thread safe: collected and read on the requesting thread.
#ifndef TAVRIN_FAILURENOTICE_H
#define TAVRIN_FAILURENOTICE_H

#include <omniORB4/CORBA.h>

class FailureNotice {
 public:
  static const char* const kNoEffect;
  static const char* const kMayHaveEffect;

  // One failed call of the request, by the completion status it reported.
  void callFailed(CORBA::CompletionStatus completion);
  // A call that was still running when the client stopped waiting.
  void callStillRunning() { mayHaveEffect_ = true; }

  bool mayHaveTakenEffect() const { return mayHaveEffect_; }
  // The one plain line for the customer.
  const char* line() const { return mayHaveEffect_ ? kMayHaveEffect : kNoEffect; }

 private:
  bool mayHaveEffect_ = false;
};

#endif
