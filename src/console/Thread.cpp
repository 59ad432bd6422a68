#include "Thread.h"

#include <pthread.h>

#include <atomic>
#include <system_error>

#include "ConsoleChannel.h"
#include "Contract.h"
#include "OrbTls.h"
#include "ReplicaClocks.h"
#include "ReplicaHealth.h"
#include "RequestDeadline.h"

namespace {

// The lines a worker prints for each outcome of an operation.
struct OutcomeLines {
  const char* success;  // nullptr: none
  const char* refusal;  // nullptr: only the server's message
  const char* comm;
  const char* other;
};

OutcomeLines linesFor(Operation op) {
  static const char* const comm = "Communication Failure while contacting server";
  static const char* const other = " Generic Exception occured server";
  switch (op) {
    case Operation::CreateAccount:
      return {"Your Account has been successfully created, please log-in",
              "Your account couldnot be created", comm, other};
    case Operation::LogIn:
      return {"Thread: Logged in successfully", "User couldn't be logged in, try again",
              "Communication Failure while trying to contact server", "Generic Exception occurred"};
    case Operation::Discontinue:
      return {"Your account has been successfully removed", "Error while removing your account",
              comm, other};
    case Operation::Search: return {nullptr, nullptr, comm, other};
    case Operation::Return:
      return {"Your Movie has been returned", "ERROR: Returning Movie, please try again", comm,
              other};
    case Operation::UpdateProfile:
      return {"Your Account has been successfully updated", "Your account couldn't be updated",
              comm, other};
    case Operation::LogOut: return {nullptr, "log-out operation was unsucessful", comm, other};
    case Operation::Waitlist:
      return {"Movie has been placed in the Waitlist", "Can't place movie in waitlist", comm,
              other};
    case Operation::Checkout:
      return {"Movie has been checked out", "The movie couldn't be checked out", comm, other};
    default: return {nullptr, nullptr, comm, other};
  }
}

}  // namespace

const char* const kBadTicket = "more than one or no user found with the same uname/ticket";

struct Thread::Work {
  explicit Work(CallRequest r) : req(std::move(r)) {
    replyTckt.username = CORBA::string_dup("");
    replyTckt.token = 0;
  }
  void run(bool probe);
  void probe();
  void call();
  void invoke(CORBA::Object_ptr target);
  void finish(int status, CORBA::CompletionStatus completion, ReplicaHealth::Ended how);
  void say(const std::string& line) const;
  void trace(const std::string& line) const;

  const CallRequest req;
  bool isProbe = false;
  std::atomic<int> status{0};
  std::atomic<int> completion{CORBA::COMPLETED_NO};
  std::atomic<unsigned long> runningId{0};
  std::atomic<bool> late{false};
  std::atomic<bool> running{false};
  std::string error;
  UserInfo user;
  MovieInfo movie;
  Ticket replyTckt;
};

void Thread::Work::say(const std::string& line) const {
  if (isProbe)
    req.channel->background(line);  // trace, never part of a request's screen
  else
    req.channel->workerSay(line, late);
}

void Thread::Work::trace(const std::string& line) const {
  if (isProbe)
    req.channel->background(line);
  else
    req.channel->workerTrace(line, late);
}

void Thread::Work::finish(int s, CORBA::CompletionStatus c, ReplicaHealth::Ended how) {
  // The replica is free before the requesting thread can see the status,
  // so a repeat of the request may call it again.
  if (req.health) req.health->callEnded(req.index, how);
  completion.store(c);
  status.store(s);
  req.channel->changed();
}

void Thread::Work::run(bool probeOnly) {
  runningId.store(static_cast<unsigned long>(pthread_self()));
  if (probeOnly)
    probe();
  else
    call();
  RequestDeadline::clearForThisThread();
  req.channel->callEnded();
  running.store(false);
}

void Thread::Work::probe() {
  bool answered = false;
  const int set = req.set;
  try {
    omniORB::setClientCallTimeout(req.target.in(), ReplicaHealth::kProbeTimeoutMs);
    const auto sent = req.clocks->now();
    req.target->_non_existent();  // either answer shows it is not hung
    req.clocks->measure(set, req.index, sent);
    answered = true;
  } catch (const CORBA::Exception&) {
  } catch (const std::exception&) {
  }
  trace(std::string("liveness probe of replica ") + std::to_string(req.index) +
        (answered ? ": answered" : ": no answer"));
  req.health->probeEnded(req.index, answered);
  status.store(answered ? 1 : -1);
  req.channel->changed();
}

void Thread::Work::call() {
  const OutcomeLines lines = linesFor(req.op);
  // Every outcome's lines go out before its status, so the requesting
  // thread's decision never separates a worker from what it printed.
  try {
    if (CORBA::is_nil(req.target)) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    // The replicas refuse work this request's client has stopped waiting
    // for, by their own clocks, and the call ends when the client stops
    // waiting.
    const int set = req.set;
    const auto sent = req.clocks->prepareCall(set, req.index, req.target.in(), req.limit);
    try {
      invoke(req.target.in());
    } catch (...) {
      req.clocks->measure(set, req.index, sent);
      throw;
    }
    req.clocks->measure(set, req.index, sent);
    error.clear();
    if (req.op == Operation::CreateAccount) say("");
    if (lines.success) say(lines.success);
    if (req.op == Operation::Search) say(std::string(79, '*'));
    finish(1, CORBA::COMPLETED_NO, ReplicaHealth::Ended::Answered);
  } catch (const TavrinException& e) {
    error = std::string(e._rep_id()) + ": " + str(e.errorMessage.in());
    // A session that has ended is the console's to explain; the server's
    // words for it are trace.
    const bool ended = req.op != Operation::LogIn && req.op != Operation::CreateAccount &&
                       error.find(kBadTicket) != std::string::npos;
    (ended ? trace(str(e.errorMessage.in())) : say(str(e.errorMessage.in())));
    if (lines.refusal) (ended ? trace(lines.refusal) : say(lines.refusal));
    finish(2, CORBA::COMPLETED_NO, ReplicaHealth::Ended::Answered);
  } catch (const CORBA::SystemException& e) {
    // One replica's failure is trace: the customer hears of failures from
    // the request as a whole (FailureNotice), never while another replica
    // may still carry it out.
    error = e._name();
    trace(CORBA::COMM_FAILURE::_downcast(&e) ? lines.comm : lines.other);
    const std::string tlsReason = OrbTls::refusalReason(e);
    if (!tlsReason.empty())
      trace("TLS: refused replica " + std::to_string(req.index) + ": " + tlsReason);
    finish(-1, e.completed(), ReplicaHealth::classify(e));
  } catch (const CORBA::Exception& e) {
    error = e._name();
    trace(lines.other);
    finish(-1, CORBA::COMPLETED_MAYBE, ReplicaHealth::Ended::Failed);
  } catch (const std::exception& e) {
    // Nothing may escape a worker: count it as a failed call whose effect
    // is unknown.
    error = e.what();
    trace(lines.other);
    finish(-1, CORBA::COMPLETED_MAYBE, ReplicaHealth::Ended::Failed);
  }
}

void Thread::Work::invoke(CORBA::Object_ptr target) {
  user = req.user;
  movie = req.movie;
  if (isAccountOperation(req.op)) {
    Account_var account = Account::_narrow(target);
    switch (req.op) {
      case Operation::CreateAccount: account->createAccount(user, req.trans); break;
      case Operation::LogIn: {
        Ticket_var t = account->logIn(user, req.trans);
        replyTckt.username = t->username;
        replyTckt.token = t->token;
        break;
      }
      case Operation::Discontinue: account->discontinueAccount(user, req.ticket, req.trans); break;
      case Operation::UpdateProfile: account->updateProfile(user, req.ticket, req.trans); break;
      default:
        trace("Logging out user: " + str(req.user.username.in()));
        account->logOut(req.ticket);
        break;
    }
    return;
  }
  OrderFulfillment_var order = OrderFulfillment::_narrow(target);
  switch (req.op) {
    case Operation::Search:
      trace("Thread: Movie Title before Passing: " + str(req.movie.title.in()));
      order->searchByTitle(movie, req.ticket);
      break;
    case Operation::Return: order->returnMovie(movie, req.ticket, req.trans); break;
    case Operation::Waitlist: order->placeInWaitlist(movie, req.ticket, req.trans); break;
    default: order->checkOutMovie(movie, req.ticket, req.trans); break;
  }
}

Thread::Thread() = default;

Thread::~Thread() {
  join();
  if (work_) work_->trace("~Thread: Thread object destroyed");
}

void Thread::Start(CallRequest request) {
  work_ = std::make_shared<Work>(std::move(request));
  launch(false);
}

void Thread::StartProbe(CallRequest request) {
  work_ = std::make_shared<Work>(std::move(request));
  work_->isProbe = true;
  launch(true);
}

void Thread::launch(bool probe) {
  work_->running.store(true);
  work_->req.channel->callStarted();
  std::shared_ptr<Work> work = work_;
  try {
    thread_ = std::thread([work, probe] { work->run(probe); });
  } catch (const std::system_error& e) {
    work_->req.channel->callEnded();
    work_->running.store(false);
    work_->error = e.what();
    if (probe)
      work_->req.health->probeEnded(work_->req.index, false);
    else
      work_->finish(-1, CORBA::COMPLETED_NO,
                    ReplicaHealth::Ended::Failed);  // never sent
  }
}

int Thread::join() {
  if (!thread_.joinable()) return 0;
  try {
    thread_.join();
  } catch (const std::system_error& e) {
    return e.code().value();
  }
  return 0;
}

bool Thread::ended() const { return !work_ || !work_->running.load(); }

void Thread::retire() {
  if (work_) work_->req.channel->retire(work_->late);
}

void Thread::abandon() {
  if (!thread_.joinable()) return;
  // Even a worker that has just ended may still be letting go of its
  // object references on its thread.
  work_->req.channel->markAbandoned();
  thread_.detach();
}

RequestStatus Thread::getRstatus() const {
  RequestStatus s;
  if (!work_) return s;
  s.completionStatus = work_->status.load();
  s.ThreadId = work_->runningId.load();
  s.completion = static_cast<CORBA::CompletionStatus>(work_->completion.load());
  return s;
}

int Thread::getIndex() const { return work_ ? static_cast<int>(work_->req.index) : 0; }

const std::string& Thread::getError() const { return work_->error; }
const UserInfo& Thread::userReply() const { return work_->user; }
const MovieInfo& Thread::movieReply() const { return work_->movie; }
const Ticket& Thread::ticketReply() const { return work_->replyTckt; }
