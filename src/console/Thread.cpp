#include "Thread.h"

#include <pthread.h>

#include <iostream>
#include <system_error>

#include "Client.h"
#include "Contract.h"

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

}  // namespace

Thread::Thread() {
  replyTckt.username = CORBA::string_dup("");
  replyTckt.token = 0;
}

Thread::~Thread() {
  join();
  say("~Thread: Thread object destroyed");
}

void Thread::say(const std::string& line) const {
  if (owner)
    owner->say(line);
  else
    std::cout << line << std::endl;
}

void Thread::Start(void* a, int i) {
  arg = a;
  index = i;
  owner = static_cast<Client*>(a);
  // The request is copied here, on the requesting thread, so that no two
  // workers ever touch the same record.
  methodNumber = owner->methodNumber;
  const size_t at = static_cast<size_t>(index);
  if (isAccountOperation(methodNumber) && index >= 0 && at < owner->account.size())
    account = Account::_duplicate(owner->account[at].in());
  if (isOrderOperation(methodNumber) && index >= 0 && at < owner->orderObj.size())
    order = OrderFulfillment::_duplicate(owner->orderObj[at].in());
  uObj = owner->uObj;
  movieObj = owner->movieObj;
  sTckt = owner->s_Tckt;
  trans = owner->getclientTransObj();
  try {
    ThreadId = std::thread(&Thread::EntryPoint, this);
  } catch (const std::system_error& e) {
    error = e.what();
    finish(-1);
  }
}

void* Thread::EntryPoint(void* pthis) {
  Thread* self = static_cast<Thread*>(pthis);
  self->Run(self->Arg());
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

std::thread::id Thread::getThreadId() const { return ThreadId.get_id(); }

RequestStatus Thread::getRstatus() const {
  RequestStatus s;
  s.completionStatus = completionStatus.load();
  s.ThreadId = runningId.load();
  return s;
}

void Thread::finish(int status) {
  completionStatus.store(status);
  if (owner) owner->workerDone();
}

void Thread::Execute(void* a) {
  (void)a;  // the request was taken over in Start
  runningId.store(static_cast<unsigned long>(pthread_self()));
  const OutcomeLines lines = linesFor(methodNumber);
  try {
    if ((isAccountOperation(methodNumber) && CORBA::is_nil(account)) ||
        (isOrderOperation(methodNumber) && CORBA::is_nil(order)))
      throw CORBA::OBJECT_NOT_EXIST();
    switch (methodNumber) {
      case 9001:
        say(" Thread::Execute(): In create and before invoking createAccount of middle-tier ");
        account->createAccount(uObj, trans);
        error.clear();
        finish(1);
        say("");
        say("Your Account has been successfully created, please log-in");
        break;
      case 9002: {
        Ticket_var t = account->logIn(uObj, trans);
        replyTckt.username = t->username;
        replyTckt.token = t->token;
        error.clear();
        finish(1);
        say("Thread: Logged in successfully");
        break;
      }
      case 9003:
        account->discontinueAccount(uObj, sTckt, trans);
        error.clear();
        finish(1);
        say("Your account has been successfully removed");
        break;
      case 9004:
        say("Thread: Movie Title before Passing: " + str(movieObj.title.in()));
        order->searchByTitle(movieObj, sTckt);
        finish(1);
        say(std::string(79, '*'));
        break;
      case 9005:
        order->returnMovie(movieObj, sTckt, trans);
        finish(1);
        say("Your Movie has been returned");
        break;
      case 9006:
        account->updateProfile(uObj, sTckt, trans);
        error.clear();
        finish(1);
        say("Your Account has been successfully updated");
        break;
      case 9007:
        say("Logging out user: " + str(uObj.username.in()));
        account->logOut(sTckt);
        finish(1);
        break;
      case 9008:
        order->placeInWaitlist(movieObj, sTckt, trans);
        finish(1);
        say("Movie has been placed in the Waitlist");
        break;
      case 9009:
        order->checkOutMovie(movieObj, sTckt, trans);
        finish(1);
        say("Movie has been checked out");
        break;
      default:
        say(" Thread::Exceute(): In default case ");
        break;
    }
  } catch (const TavrinException& e) {
    // Both lines before the status, so the requesting thread's decision
    // line never splits the reason from its outcome.
    say(str(e.errorMessage.in()));
    error = std::string(e._rep_id()) + ": " + str(e.errorMessage.in());
    if (lines.refusal) say(lines.refusal);
    finish(2);
  } catch (const CORBA::COMM_FAILURE& e) {
    error = e._name();
    finish(-1);
    say(lines.comm);
  } catch (const CORBA::Exception& e) {
    error = e._name();
    finish(-1);
    say(lines.other);
  } catch (const std::exception& e) {
    // Nothing may escape a worker: count it as a failed call.
    error = e.what();
    finish(-1);
    say(lines.other);
  }
}
