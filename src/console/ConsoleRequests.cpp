#include "ConsoleRequests.h"

#include "Contract.h"

namespace {

void blank(CORBA::String_member* m) { *m = CORBA::string_dup(""); }

}  // namespace

ConsoleRequests::ConsoleRequests(ConsoleTerminal& terminal)
    : terminal_(terminal), replicas_(terminal.channel()), fanOut_(replicas_, terminal.channel()) {
  s_Tckt.username = CORBA::string_dup("");
  s_Tckt.token = 0;
  for (CORBA::String_member* m : {&uObj.fName, &uObj.lName, &uObj.address, &uObj.creditCardNum,
                                  &uObj.phoneNum, &uObj.eMail, &uObj.username, &uObj.password})
    blank(m);
  movieObj.movieID = 0;
  for (CORBA::String_member* m :
       {&movieObj.title, &movieObj.director, &movieObj.releaseDate, &movieObj.cast,
        &movieObj.banner, &movieObj.category, &movieObj.rated})
    blank(m);
  movieObj.count = 0;
}

void ConsoleRequests::settleUnknown(bool ask, int resends) {
  askToSettle_ = ask;
  resendsToSettle_ = resends;
}

void ConsoleRequests::numberRequest(Operation op, const std::string& key) {
  if (unsettled_.op == op && unsettled_.key == key) {
    // A repeat of a request whose outcome is not known yet: the same
    // number, so the replicas' request log answers it if it took effect.
    identity_.number() = unsettled_.number;
    terminal_.trace("Repeating request number " + std::to_string(unsettled_.number) +
                    ", whose outcome is not known yet");
    return;
  }
  // The identity's numbers are used up: a fresh identity, so that no
  // replica mistakes a new request for an old one of this process.
  if (identity_.advance())
    terminal_.trace("Request numbers used up; Client ID generated on client: " + identity_.id());
  unsettled_ = Unsettled();
}

bool ConsoleRequests::send(Operation op, int state) {
  CallRequest call;
  call.op = op;
  call.set = replicaSetOf(op);
  call.dialogueState = state;
  call.user = uObj;
  call.movie = movieObj;
  call.ticket = s_Tckt;
  call.trans = identity_.current();
  int resends = resendsToSettle_;
  for (;;) {
    CallReply reply;
    FailureNotice notice;
    const FanOutResult result = fanOut_.send(call, &reply, &notice);
    if (result == FanOutResult::Unknown && tryAgain(&resends)) continue;
    remember(op, result);
    switch (result) {
      case FanOutResult::Done: adopt(op, reply); return true;
      case FanOutResult::Refused: endsSession(op, reply); return false;
      default: terminal_.say(notice.line()); return false;
    }
  }
}

bool ConsoleRequests::tryAgain(int* resends) {
  if (askToSettle_) {
    terminal_.say("The service could not confirm your request yet.");
    terminal_.write("Do you want to try again (y/n): ");
    const char c = terminal_.readChoice();
    return c == 'y' || c == 'Y';
  }
  if (*resends <= 0) return false;
  --*resends;
  terminal_.trace("The outcome is not known yet: sending the same request again");
  return true;
}

void ConsoleRequests::remember(Operation op, FanOutResult result) {
  if (result == FanOutResult::Unknown && changesState(op)) {
    const std::string key =
        isAccountOperation(op) ? str(uObj.username.in()) : str(movieObj.title.in());
    unsettled_ = Unsettled{op, key, identity_.number()};
  } else if (unsettled_.op == op) {
    unsettled_ = Unsettled();  // settled
  }
}

bool ConsoleRequests::endsSession(Operation op, const CallReply& reply) {
  if (op == Operation::LogIn || op == Operation::CreateAccount) return false;
  if (reply.refusal.find(kBadTicket) == std::string::npos) return false;
  // Ended elsewhere (another log-in as this user) or expired: this console
  // has no session to go on with.
  terminal_.say("Your session has ended; please log in again");
  s_Tckt.username = CORBA::string_dup("");
  s_Tckt.token = 0;
  if (sessionEnded_) sessionEnded_();
  return true;
}

void ConsoleRequests::adopt(Operation op, const CallReply& reply) {
  if (op == Operation::LogIn) {
    uObj = reply.user;
    s_Tckt.username = reply.ticket.username;
    s_Tckt.token = reply.ticket.token;
  }
  if (isOrderOperation(op)) movieObj = reply.movie;
}
