#include "RequestProtocol.h"

#include <optional>

#include "Contract.h"
#include "DBConnection.h"
#include "DBFailure.h"
#include "RowLock.h"
#include "Trace.h"
#include "TransactionGuard.h"
#include "Unavailable.h"

namespace {

// Below this much budget another attempt could not finish: answer now.
constexpr double kRetryFloorSec = 0.05;

}  // namespace

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
  // Every line from here on names the request, not only the scope.
  if (!steps.claim.empty()) setTraceRequest(steps.claim);
  prepare(steps);
  if (answeredBeforeLock(steps)) {
    if (steps.texts.answered != nullptr) trace(steps.texts.answered);
    return false;
  }
  return runTransactions(steps);
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

bool RequestProtocol::retryable() {
  try {
    throw;
  } catch (const Unavailable& e) {
    return e.reason() == Unavailable::kLockWait &&
           DBConnection::getInstance()->secondsLeft() > kRetryFloorSec;
  } catch (...) {
    return false;
  }
}

bool RequestProtocol::runTransactions(const Steps& steps) {
  for (int attempt = 1;; ++attempt) {
    try {
      return runLocked(steps);
    } catch (...) {
      if (!retryable()) throw;
      trace("Server: lock conflict, the request runs again (attempt ", attempt + 1, ")");
    }
  }
}

bool RequestProtocol::runLocked(const Steps& steps) {
  std::optional<TransactionGuard> transaction;
  try {
    transaction.emplace();
  } catch (const DBFailure& f) {
    Unavailable e(unavailabilityOf(f, Unavailable::kStartFailed), f.what());
    trace(steps.texts.failed, TraceValue{e.what()});
    throw e;
  }
  std::optional<RowLock> lock;
  try {
    if (steps.logFirst && steps.logFirst()) return false;
    lock.emplace(steps.family, steps.rows ? steps.rows() : std::vector<LockedRow>{});
  } catch (...) {
    // A value the log's columns refuse is an answer, as it is to the work.
    answerFailure(steps.texts);
  }
  try {
    if (steps.underLock && steps.underLock()) return false;
  } catch (...) {
    answerFailure(steps.texts);
  }
  return workAndCommit(steps, *transaction);
}

bool RequestProtocol::workAndCommit(const Steps& steps, TransactionGuard& transaction) {
  try {
    try {
      steps.work();
    } catch (const DBFailure& f) {
      raiseFor(f);
    }
  } catch (const TavrinException& e) {
    trace(steps.texts.refused, e);
    if (!steps.record) throw;
    if (!logRefusal(steps, transaction, e)) return false;
    throw TavrinException(e);
  } catch (...) {
    answerFailure(steps.texts);
  }
  commit(steps, transaction);
  return true;
}

// The refusal is the answer only once it is logged: a replica running the
// request later must give the same one, not carry it out on changed rows.
bool RequestProtocol::logRefusal(const Steps& steps, TransactionGuard& transaction,
                                 const TavrinException& refusal) {
  bool logged = false;
  try {
    const bool keep = dynamic_cast<const RefusalKeepingWork*>(&refusal) != nullptr;
    if (!keep) transaction.rollback();
    logged = steps.record(str(refusal.errorMessage.in()), keep);
  } catch (...) {
    answerFailure(steps.texts);
  }
  if (logged) commit(steps, transaction);
  return logged;
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
