#include "Account_impl.h"

#include <iostream>
#include <string>

#include "Contract.h"
#include "RequestScope.h"
#include "User.h"

namespace {

const char* const kBadTicket = "more than one or no user found with the same uname/ticket\n";

// Runs one User call: a TavrinException passes unchanged, anything else
// becomes the internal-error refusal, never a success.
template <class F>
auto guarded(const char* operation, F&& call) -> decltype(call()) {
  try {
    return call();
  } catch (const TavrinException&) {
    throw;
  } catch (...) {
    std::cout << "Account_impl::" << operation << "(): Generic Exception occured" << std::endl;
    throw TavrinException(kInternalServerError);
  }
}

// A ticket acts only for its own user.
void requireOwnUser(const UserInfo& userInfoObj, const Ticket_var& ticket) {
  if (str(userInfoObj.username.in()) != str(ticket->username.in())) throw TavrinException(kBadTicket);
}

}  // namespace

Account_impl* Account_impl::accountObj = nullptr;

Account_impl* Account_impl::getInstance() {
  if (accountObj == nullptr) accountObj = new Account_impl;
  return accountObj;
}

Account_impl::Account_impl() {}

Account_impl::~Account_impl() {}

Ticket* Account_impl::logIn(UserInfo& userInfoObj, const ClientTransaction& ctInfoObj) {
  RequestScope scope;
  return guarded("logIn", [&]() -> Ticket* {
    User* userObj = User::getInstance();
    Ticket_var ticketObj = userObj->login(userInfoObj, ctInfoObj);
    if (ticketObj.operator->() == nullptr) throw TavrinException(kInternalServerError);
    std::cout << "Username in Ticket is " << str(ticketObj->username.in()) << " and token is "
              << ticketObj->token << std::endl;
    return ticketObj._retn();
  });
}

void Account_impl::createAccount(const UserInfo& userInfoObj, const ClientTransaction& ctInfoObj) {
  RequestScope scope;
  guarded("createAccount",
          [&]() { User::getInstance()->createProfile(userInfoObj, ctInfoObj); });
}

void Account_impl::discontinueAccount(const UserInfo& userInfoObj, const Ticket& ticketObj,
                                      const ClientTransaction& ctInfoObj) {
  RequestScope scope;
  guarded("discontinueAccount", [&]() {
    User* userObj = User::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    userObj->validateTicket(tmpTicket);
    requireOwnUser(userInfoObj, tmpTicket);
    userObj->discontinueAccount(userInfoObj, ctInfoObj);
  });
}

void Account_impl::updateProfile(const UserInfo& userInfoObj, const Ticket& ticketObj,
                                 const ClientTransaction& ctInfoObj) {
  RequestScope scope;
  guarded("updateProfile", [&]() {
    User* userObj = User::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    userObj->validateTicket(tmpTicket);
    requireOwnUser(userInfoObj, tmpTicket);
    userObj->updateProfile(userInfoObj, ctInfoObj);
  });
}

void Account_impl::logOut(const Ticket& ticketObj) {
  RequestScope scope;
  guarded("logOut", [&]() {
    std::cout << "logOut(): Username passed is " << str(ticketObj.username.in())
              << " and token is " << ticketObj.token << std::endl;
    Ticket_var tmpTicket = copyTicket(ticketObj);
    std::cout << "Account_impl: Before removing ticket" << std::endl;
    User::getInstance()->logout(tmpTicket);
    std::cout << "Account_impl: After logout on db" << std::endl;
    std::cout << "Account_impl:Before returning from logout" << std::endl;
  });
}

CORBA::ULong Account_impl::obtainNoOfOutstandingMovies(const Ticket& ticketObj) {
  RequestScope scope;
  return guarded("obtainNoOfOutstandingMovies", [&]() -> CORBA::ULong {
    User* userObj = User::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    userObj->validateTicket(tmpTicket);
    return userObj->getOutstandingMovieCount(tmpTicket);
  });
}
