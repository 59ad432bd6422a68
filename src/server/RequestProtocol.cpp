#include "RequestProtocol.h"

#include <optional>

#include "Contract.h"
#include "DBFailure.h"
#include "TableLock.h"
#include "Trace.h"
#include "TransactionGuard.h"
#include "Unavailable.h"

void RequestProtocol::answerFailure(const Texts& texts) {
  try {
    try {
      throw;
    } catch (const DBFailure& f) {
      raiseFor(f);
    }
  } catch (const TavrinException& e) {
    trace(texts.refused, e);
    throw;
  } catch (const Unavailable& e) {
    trace(texts.failed, TraceValue{e.what()});
    throw;
  } catch (...) {
    trace(texts.failed);
    throw Unavailable(Unavailable::kInternal, texts.failed);
  }
}

bool RequestProtocol::run(const Steps& steps) {
  prepare(steps);
  if (answeredBeforeLock(steps)) {
    if (steps.texts.answered != nullptr) trace(steps.texts.answered);
    return false;
  }
  return runLocked(steps);
}

void RequestProtocol::prepare(const Steps& steps) {
  try {
    DBTransaction::prepare(steps.claim);
  } catch (const DBFailure& f) {
    Unavailable e(unavailabilityOf(f, Unavailable::kStartFailed), f.what());
    trace(steps.texts.failed, TraceValue{e.what()});
    throw e;
  }
}

bool RequestProtocol::answeredBeforeLock(const Steps& steps) {
  try {
    return steps.beforeLock && steps.beforeLock();
  } catch (...) {
    answerFailure(steps.texts);
  }
}

bool RequestProtocol::runLocked(const Steps& steps) {
  std::optional<TableLock> lock;
  std::optional<TransactionGuard> transaction;
  try {
    lock.emplace(steps.tables);
  } catch (const DBFailure& f) {
    Unavailable e(unavailabilityOf(f), f.what());
    trace(steps.texts.failed, TraceValue{e.what()});
    throw e;
  }
  try {
    transaction.emplace();
  } catch (const DBFailure& f) {
    Unavailable e(unavailabilityOf(f, Unavailable::kStartFailed), f.what());
    trace(steps.texts.failed, TraceValue{e.what()});
    throw e;
  }
  try {
    if (steps.underLock && steps.underLock()) return false;
  } catch (...) {
    answerFailure(steps.texts);
  }
  workAndCommit(steps, *transaction);
  return true;
}

void RequestProtocol::workAndCommit(const Steps& steps, TransactionGuard& transaction) {
  try {
    try {
      steps.work();
      if (steps.record) steps.record("");
    } catch (const DBFailure& f) {
      raiseFor(f);
    }
  } catch (const TavrinException& e) {
    trace(steps.texts.refused, e);
    if (!steps.record) throw;
    logRefusal(steps, transaction, e);
    throw TavrinException(e);
  } catch (...) {
    answerFailure(steps.texts);
  }
  commit(steps, transaction);
}

// The refusal is the answer only once it is logged: a replica running the
// request later must give the same one, not carry it out on changed tables.
void RequestProtocol::logRefusal(const Steps& steps, TransactionGuard& transaction,
                                 const TavrinException& refusal) {
  try {
    if (dynamic_cast<const RefusalKeepingWork*>(&refusal) == nullptr) transaction.rollback();
    steps.record(str(refusal.errorMessage.in()));
  } catch (...) {
    answerFailure(steps.texts);
  }
  commit(steps, transaction);
}

void RequestProtocol::commit(const Steps& steps, TransactionGuard& transaction) {
  try {
    transaction.commit();
  } catch (const DBFailure& f) {
    Unavailable e = commitFailure(f);
    trace(steps.texts.failed, TraceValue{e.what()});
    throw e;
  }
}
