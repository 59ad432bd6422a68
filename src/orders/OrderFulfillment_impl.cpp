#include "OrderFulfillment_impl.h"

#include <iostream>

#include "Contract.h"
#include "Movie.h"
#include "RequestScope.h"
#include "User.h"

OrderFulfillment_impl* OrderFulfillment_impl::OFSObj = nullptr;

namespace {

// Runs one operation under the request lock. A TavrinException passes as a
// copy; anything else would reach the client as an undeclared exception or
// kill the dispatch thread, so it becomes the internal-error refusal.
template <typename Body>
void serve(const char* operation, Body body) {
  RequestScope scope;
  try {
    body();
  } catch (const TavrinException& e) {
    throw TavrinException(e);
  } catch (...) {
    std::cout << "Server: Unexpected exception in " << operation << std::endl;
    throw TavrinException(kInternalServerError);
  }
}

void validate(User* userObj, const Ticket_var& tmpTicket) {
  try {
    userObj->validateTicket(tmpTicket);
  } catch (const TavrinException& e) {
    throw TavrinException(e);
  }
}

}  // namespace

OrderFulfillment_impl::OrderFulfillment_impl() {}

OrderFulfillment_impl::~OrderFulfillment_impl() {}

OrderFulfillment_impl* OrderFulfillment_impl::getInstance() {
  if (OFSObj == nullptr) OFSObj = new OrderFulfillment_impl();
  return OFSObj;
}

void OrderFulfillment_impl::searchByTitle(MovieInfo& movieInfoObj, const Ticket& ticketObj) {
  serve("searchByTitle", [&] {
    User* userObj = User::getInstance();
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    validate(userObj, tmpTicket);
    std::cout << "Server: Before Having Called Thread ..... movieTitle: "
              << str(movieInfoObj.title) << std::endl;
    try {
      movieObj->searchByTitle(movieInfoObj);
    } catch (const TavrinException& e) {
      std::cout << "Server: Exception thrown in searchByTitle" << std::endl;
      throw TavrinException(e);
    }
    std::cout << "Server: After Having Called Thread ..... movieTitle: "
              << str(movieInfoObj.title) << std::endl;
  });
}

void OrderFulfillment_impl::returnMovie(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                        const ClientTransaction& ctInfoObj) {
  serve("returnMovie", [&] {
    User* userObj = User::getInstance();
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    validate(userObj, tmpTicket);
    movieObj->returnMovie(movieInfoObj, tmpTicket, ctInfoObj);
  });
}

void OrderFulfillment_impl::checkOutMovie(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                          const ClientTransaction& ctInfoObj) {
  serve("checkOutMovie", [&] {
    User* userObj = User::getInstance();
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    validate(userObj, tmpTicket);
    movieObj->checkoutMovie(movieInfoObj, tmpTicket, ctInfoObj);
  });
}

void OrderFulfillment_impl::placeInWaitlist(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                            const ClientTransaction& ctInfoObj) {
  serve("placeInWaitlist", [&] {
    User* userObj = User::getInstance();
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    validate(userObj, tmpTicket);
    movieObj->placeInWaitlist(movieInfoObj, tmpTicket, ctInfoObj);
  });
}
