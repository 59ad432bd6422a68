// One console's requests: its records (profile, movie, ticket), its request
// identity and numbers, and the sending of one request over the replicas
// (FanOut), with what its outcome means for the customer:
//  - an outcome left unknown is sent again under the same number (after
//    asking the customer, or up to a number of times), so that the
//    replicas' request log settles it; a later repeat of the same request
//    (operation and user or title) also keeps its number;
//  - a refusal of the ticket ends the session: the customer is told, and
//    the dialogue's onSessionEnded hook takes them to the main menu.
//
// Not thread safe: the requesting thread only.
#ifndef TAVRIN_CONSOLEREQUESTS_H
#define TAVRIN_CONSOLEREQUESTS_H

#include <ServerIDL.hh>

#include <functional>
#include <string>

#include "ClientIdentity.h"
#include "ConsoleTerminal.h"
#include "FanOut.h"
#include "Operation.h"
#include "ReplicaDirectory.h"

class ConsoleRequests {
 public:
  // `terminal` must outlive this object.
  explicit ConsoleRequests(ConsoleTerminal& terminal);

  ReplicaDirectory& replicas() { return replicas_; }
  ClientIdentity& identity() { return identity_; }
  UserInfo& userInfo() { return uObj; }
  MovieInfo& movieInfo() { return movieObj; }
  const Ticket& ticket() const { return s_Tckt; }

  // What an unknown outcome does: `ask` the customer whether to try again
  // (the interactive console), else resend up to `resends` times.
  void settleUnknown(bool ask, int resends);
  // Called when a refused ticket ended the session.
  void onSessionEnded(std::function<void()> hook) { sessionEnded_ = std::move(hook); }

  // The request number for the next state-changing `op` on `key` (a user
  // name or a title): the unsettled one's, when this repeats it.
  void numberRequest(Operation op, const std::string& key);
  // Sends `op` with the current records; true when it was carried out.
  // `state` is traced with it.
  bool send(Operation op, int state);

 private:
  bool tryAgain(int* resends);
  void remember(Operation op, FanOutResult result);
  bool endsSession(Operation op, const CallReply& reply);
  void adopt(Operation op, const CallReply& reply);

  ConsoleTerminal& terminal_;
  ReplicaDirectory replicas_;
  FanOut fanOut_;
  ClientIdentity identity_;
  Ticket s_Tckt;
  UserInfo uObj;
  MovieInfo movieObj;
  bool askToSettle_ = false;
  int resendsToSettle_ = 0;
  std::function<void()> sessionEnded_;
  // The last request whose outcome stayed unknown.
  struct Unsettled {
    Operation op = Operation::None;
    std::string key;
    CORBA::Short number = 0;
  } unsettled_;
};

#endif
