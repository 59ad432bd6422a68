#include "Thread.h"

#include <pthread.h>

#include <algorithm>
#include <system_error>

#include "Client.h"
#include "ConsoleChannel.h"
#include "Contract.h"
#include "OrbTls.h"
#include "ReplicaHealth.h"
#include "RequestDeadline.h"

std::atomic<int> Thread::inFlight_{0};
std::atomic<bool> Thread::abandonedRunning_{false};

namespace {

bool isAccountOperation(int m) {
  return m == 9001 || m == 9002 || m == 9003 || m == 9006 || m == 9007;
}

bool isOrderOperation(int m) { return m == 9004 || m == 9005 || m == 9008 || m == 9009; }

// The lines a worker prints for each outcome of an operation.
struct OutcomeLines {
  const char* refusal;  // nullptr: only the server's message
  const char* comm;
  const char* other;
};

OutcomeLines linesFor(int m) {
  static const char* const comm = "Communication Failure while contacting server";
  static const char* const other = " Generic Exception occured server";
  switch (m) {
    case 9001: return {"Your account couldnot be created", comm, other};
    case 9002:
      return {"User couldn't be logged in, try again",
              "Communication Failure while trying to contact server", "Generic Exception occurred"};
    case 9003: return {"Error while removing your account", comm, other};
    case 9004: return {nullptr, comm, other};
    case 9005: return {"ERROR: Returning Movie, please try again", comm, other};
    case 9006: return {"Your account couldn't be updated", comm, other};
    case 9007: return {"log-out operation was unsucessful", comm, other};
    case 9008: return {"Can't place movie in waitlist", comm, other};
    case 9009: return {"The movie couldn't be checked out", comm, other};
    default: return {nullptr, comm, other};
  }
}

ReplicaHealth::Ended endedBy(int status) {
  return status == 1 || status == 2 ? ReplicaHealth::Ended::Answered
                                    : ReplicaHealth::Ended::Failed;
}

}  // namespace

Thread::Thread() {
  replyTckt.username = CORBA::string_dup("");
  replyTckt.token = 0;
}

Thread::~Thread() {
  join();
  trace("~Thread: Thread object destroyed");
}

void Thread::say(const std::string& line) const {
  if (!channel_) return;  // never started: nothing to tell
  if (probe_)
    channel_->background(line);  // trace, never part of a request's screen
  else
    channel_->workerSay(line, late_);
}

void Thread::trace(const std::string& line) const {
  if (!channel_) return;
  if (probe_)
    channel_->background(line);
  else
    channel_->workerTrace(line, late_);
}

void Thread::Start(void* a, int i) {
  arg = a;
  index = i;
  Client* owner = static_cast<Client*>(a);
  // The request is copied here, on the requesting thread, so that no two
  // workers ever touch the same record, and nothing of the Client's is
  // used once the thread runs.
  methodNumber = owner->methodNumber;
  channel_ = owner->channel_;
  health_ = isAccountOperation(methodNumber) ? owner->accountHealth_ : owner->orderHealth_;
  deadline_ = owner->requestLimit_;
  const size_t at = static_cast<size_t>(index);
  if (isAccountOperation(methodNumber) && index >= 0 && at < owner->account.size())
    account = Account::_duplicate(owner->account[at].in());
  if (isOrderOperation(methodNumber) && index >= 0 && at < owner->orderObj.size())
    order = OrderFulfillment::_duplicate(owner->orderObj[at].in());
  uObj = owner->uObj;
  movieObj = owner->movieObj;
  sTckt = owner->s_Tckt;
  trans = owner->getclientTransObj();
  launch();
}

void Thread::StartProbe(std::shared_ptr<ConsoleChannel> channel,
                        std::shared_ptr<ReplicaHealth> health, CORBA::Object_ptr replica,
                        int i) {
  probe_ = true;
  channel_ = std::move(channel);
  health_ = std::move(health);
  target_ = CORBA::Object::_duplicate(replica);
  index = i;
  launch();
}

void Thread::launch() {
  state_ = kRunning;
  ++inFlight_;
  try {
    ThreadId = std::thread(&Thread::EntryPoint, this);
  } catch (const std::system_error& e) {
    --inFlight_;
    state_ = kEnded;
    error = e.what();
    if (probe_) {
      if (health_) health_->probeEnded(static_cast<size_t>(index), false);
    } else {
      finish(-1);  // never sent
    }
  }
}

void* Thread::EntryPoint(void* pthis) {
  Thread* self = static_cast<Thread*>(pthis);
  self->Run(self->Arg());
  --inFlight_;
  // Nothing of `self` may be touched after this exchange unless it was
  // abandoned, in which case it is this thread's to delete.
  if (self->state_.exchange(kEnded) == kAbandoned) delete self;
  return nullptr;
}

int Thread::Run(void* a) {
  Execute(a);
  return 0;
}

int Thread::join() {
  if (!ThreadId.joinable()) return 0;
  try {
    ThreadId.join();
  } catch (const std::system_error& e) {
    return e.code().value();
  }
  return 0;
}

void Thread::retire() {
  if (channel_)
    channel_->retire(late_);
  else
    late_ = true;
}

void Thread::abandon() {
  if (ThreadId.joinable()) ThreadId.detach();
  if (state_.exchange(kAbandoned) == kEnded)
    delete this;
  else
    abandonedRunning_ = true;
}

std::thread::id Thread::getThreadId() const { return ThreadId.get_id(); }

RequestStatus Thread::getRstatus() const {
  RequestStatus s;
  s.completionStatus = completionStatus.load();
  s.ThreadId = runningId.load();
  s.completion = static_cast<CORBA::CompletionStatus>(failedCompletion.load());
  return s;
}

void Thread::finish(int status, CORBA::CompletionStatus completion) {
  finish(status, completion, endedBy(status));
}

void Thread::finish(int status, CORBA::CompletionStatus completion, ReplicaHealth::Ended how) {
  // The replica is free before the requesting thread can see the status,
  // so a repeat of the request may call it again.
  if (health_) health_->callEnded(static_cast<size_t>(index), how);
  failedCompletion.store(completion);
  completionStatus.store(status);
  if (channel_) channel_->changed();
}

void Thread::probe() {
  bool answered = false;
  try {
    omniORB::setClientCallTimeout(target_.in(), ReplicaHealth::kProbeTimeoutMs);
    target_->_non_existent();  // either answer shows it is not hung
    answered = true;
  } catch (const CORBA::Exception&) {
  } catch (const std::exception&) {
  }
  trace(std::string("liveness probe of replica ") + std::to_string(index) +
      (answered ? ": answered" : ": no answer"));
  health_->probeEnded(static_cast<size_t>(index), answered);
  completionStatus.store(answered ? 1 : -1);
  channel_->changed();
}

void Thread::Execute(void* a) {
  (void)a;  // the request was taken over in Start
  runningId.store(static_cast<unsigned long>(pthread_self()));
  if (probe_) {
    probe();
    return;
  }
  // The replicas refuse work this request's client has stopped waiting for,
  // and the call itself ends when the client stops waiting.
  RequestDeadline::setForThisThread(deadline_);
  CORBA::Object_ptr target = isAccountOperation(methodNumber)
                                 ? static_cast<CORBA::Object_ptr>(account.in())
                                 : static_cast<CORBA::Object_ptr>(order.in());
  if (!CORBA::is_nil(target)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline_ - std::chrono::system_clock::now());
    omniORB::setClientCallTimeout(target,
                                  static_cast<CORBA::ULong>(std::max<long long>(left.count(), 100)));
  }
  const OutcomeLines lines = linesFor(methodNumber);
  // Every outcome's lines go out before its status, so the requesting
  // thread's decision never separates a worker from what it printed.
  try {
    if ((isAccountOperation(methodNumber) && CORBA::is_nil(account)) ||
        (isOrderOperation(methodNumber) && CORBA::is_nil(order)))
      throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    switch (methodNumber) {
      case 9001:
        trace(" Thread::Execute(): In create and before invoking createAccount of middle-tier ");
        account->createAccount(uObj, trans);
        error.clear();
        say("");
        say("Your Account has been successfully created, please log-in");
        finish(1);
        break;
      case 9002: {
        Ticket_var t = account->logIn(uObj, trans);
        replyTckt.username = t->username;
        replyTckt.token = t->token;
        error.clear();
        say("Thread: Logged in successfully");
        finish(1);
        break;
      }
      case 9003:
        account->discontinueAccount(uObj, sTckt, trans);
        error.clear();
        say("Your account has been successfully removed");
        finish(1);
        break;
      case 9004:
        trace("Thread: Movie Title before Passing: " + str(movieObj.title.in()));
        order->searchByTitle(movieObj, sTckt);
        say(std::string(79, '*'));
        finish(1);
        break;
      case 9005:
        order->returnMovie(movieObj, sTckt, trans);
        say("Your Movie has been returned");
        finish(1);
        break;
      case 9006:
        account->updateProfile(uObj, sTckt, trans);
        error.clear();
        say("Your Account has been successfully updated");
        finish(1);
        break;
      case 9007:
        trace("Logging out user: " + str(uObj.username.in()));
        account->logOut(sTckt);
        finish(1);
        break;
      case 9008:
        order->placeInWaitlist(movieObj, sTckt, trans);
        say("Movie has been placed in the Waitlist");
        finish(1);
        break;
      case 9009:
        order->checkOutMovie(movieObj, sTckt, trans);
        say("Movie has been checked out");
        finish(1);
        break;
      default:
        trace(" Thread::Exceute(): In default case ");
        // No call was made: the replica is free, the status stays open.
        if (health_) health_->callEnded(static_cast<size_t>(index), ReplicaHealth::Ended::Failed);
        break;
    }
  } catch (const TavrinException& e) {
    say(str(e.errorMessage.in()));
    error = std::string(e._rep_id()) + ": " + str(e.errorMessage.in());
    if (lines.refusal) say(lines.refusal);
    finish(2);
  } catch (const CORBA::SystemException& e) {
    // One replica's failure is trace: the customer hears of failures from
    // the request as a whole (FailureNotice), never while another replica
    // may still carry it out.
    error = e._name();
    trace(CORBA::COMM_FAILURE::_downcast(&e) ? lines.comm : lines.other);
    const std::string tlsReason = OrbTls::refusalReason(e);
    if (!tlsReason.empty())
      trace("TLS: refused replica " + std::to_string(index) + ": " + tlsReason);
    finish(-1, e.completed(), ReplicaHealth::classify(e));
  } catch (const CORBA::Exception& e) {
    error = e._name();
    trace(lines.other);
    finish(-1, CORBA::COMPLETED_MAYBE);
  } catch (const std::exception& e) {
    // Nothing may escape a worker: count it as a failed call whose effect
    // is unknown.
    error = e.what();
    trace(lines.other);
    finish(-1, CORBA::COMPLETED_MAYBE);
  }
  RequestDeadline::clearForThisThread();
}
