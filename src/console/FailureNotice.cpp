#include "FailureNotice.h"

const char* const FailureNotice::kNoEffect =
    "The service could not complete your request. It did not take effect; please try again.";
const char* const FailureNotice::kMayHaveEffect =
    "The service could not confirm your request. It may have taken effect; please check before "
    "you try again.";

void FailureNotice::callFailed(CORBA::CompletionStatus completion) {
  if (completion != CORBA::COMPLETED_NO) mayHaveEffect_ = true;
}
