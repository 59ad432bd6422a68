#include "Account_impl.h"

#include <string>

#include "Contract.h"
#include "ServeRequest.h"
#include "Sessions.h"
#include "Trace.h"
#include "User.h"

namespace {

// A ticket acts only for its own user.
void requireOwnUser(const UserInfo& userInfoObj, const Ticket& ticket) {
  if (str(userInfoObj.username.in()) != str(ticket.username.in()))
    throw TavrinException(Sessions::kBadTicket);
}

}  // namespace

Account_impl* Account_impl::accountObj = nullptr;

Account_impl* Account_impl::getInstance() {
  if (accountObj == nullptr) accountObj = new Account_impl;
  return accountObj;
}

// Tickets are traced by their user name alone: with the token, a log line
// would be a credential.

Ticket* Account_impl::logIn(UserInfo& userInfoObj, const ClientTransaction& ctInfoObj) {
  return serveRequest("logIn", [&]() -> Ticket* {
    User* userObj = User::getInstance();
    Ticket_var ticketObj = userObj->login(userInfoObj, ctInfoObj);
    if (ticketObj.operator->() == nullptr)
      throw Unavailable(Unavailable::kInternal, "log-in produced no ticket");
    trace("Username in Ticket is ", TraceValue{str(ticketObj->username.in())});
    return ticketObj._retn();
  }, FieldLimits::Credentials{userInfoObj}, ctInfoObj);
}

void Account_impl::createAccount(const UserInfo& userInfoObj, const ClientTransaction& ctInfoObj) {
  serveRequest("createAccount", [&]() {
    User::getInstance()->createProfile(userInfoObj, ctInfoObj);
  }, FieldLimits::Profile{userInfoObj}, ctInfoObj);
}

// The session is checked by User itself, before and again under the table
// lock, so that it cannot end between the check and the work.
void Account_impl::discontinueAccount(const UserInfo& userInfoObj, const Ticket& ticketObj,
                                      const ClientTransaction& ctInfoObj) {
  serveRequest("discontinueAccount", [&]() {
    requireOwnUser(userInfoObj, ticketObj);
    User::getInstance()->discontinueAccount(userInfoObj, ctInfoObj, &ticketObj);
  }, FieldLimits::Credentials{userInfoObj}, ctInfoObj);
}

void Account_impl::updateProfile(const UserInfo& userInfoObj, const Ticket& ticketObj,
                                 const ClientTransaction& ctInfoObj) {
  serveRequest("updateProfile", [&]() {
    requireOwnUser(userInfoObj, ticketObj);
    User::getInstance()->updateProfile(userInfoObj, ctInfoObj, &ticketObj);
  }, FieldLimits::Profile{userInfoObj}, ctInfoObj);
}

void Account_impl::logOut(const Ticket& ticketObj) {
  serveRequest("logOut", [&]() {
    trace("logOut(): Username passed is ", TraceValue{str(ticketObj.username.in())});
    Ticket_var tmpTicket = copyTicket(ticketObj);
    trace("Account_impl: Before removing ticket");
    User::getInstance()->logout(tmpTicket);
    trace("Account_impl: After logout on db");
    trace("Account_impl:Before returning from logout");
  }, ticketObj);
}

CORBA::ULong Account_impl::obtainNoOfOutstandingMovies(const Ticket& ticketObj) {
  return serveRequest("obtainNoOfOutstandingMovies", [&]() -> CORBA::ULong {
    Sessions::validate(ticketObj);
    return User::getInstance()->getOutstandingMovieCount(str(ticketObj.username.in()));
  }, ticketObj);
}
