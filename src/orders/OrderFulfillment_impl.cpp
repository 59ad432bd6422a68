#include "OrderFulfillment_impl.h"

#include <iostream>

#include "Contract.h"
#include "Movie.h"
#include "ServeRequest.h"
#include "User.h"

OrderFulfillment_impl* OrderFulfillment_impl::OFSObj = nullptr;

OrderFulfillment_impl::OrderFulfillment_impl() {}

OrderFulfillment_impl::~OrderFulfillment_impl() {}

OrderFulfillment_impl* OrderFulfillment_impl::getInstance() {
  if (OFSObj == nullptr) OFSObj = new OrderFulfillment_impl();
  return OFSObj;
}

void OrderFulfillment_impl::searchByTitle(MovieInfo& movieInfoObj, const Ticket& ticketObj) {
  serveRequest("searchByTitle", [&] {
    User* userObj = User::getInstance();
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    userObj->validateTicket(tmpTicket);
    std::cout << "Server: Before Having Called Thread ..... movieTitle: "
              << str(movieInfoObj.title) << std::endl;
    try {
      movieObj->searchByTitle(movieInfoObj);
    } catch (...) {
      std::cout << "Server: Exception thrown in searchByTitle" << std::endl;
      throw;
    }
    std::cout << "Server: After Having Called Thread ..... movieTitle: "
              << str(movieInfoObj.title) << std::endl;
  });
}

void OrderFulfillment_impl::returnMovie(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                        const ClientTransaction& ctInfoObj) {
  serveRequest("returnMovie", [&] {
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    movieObj->returnMovie(movieInfoObj, tmpTicket, ctInfoObj);
  });
}

void OrderFulfillment_impl::checkOutMovie(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                          const ClientTransaction& ctInfoObj) {
  serveRequest("checkOutMovie", [&] {
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    movieObj->checkoutMovie(movieInfoObj, tmpTicket, ctInfoObj);
  });
}

void OrderFulfillment_impl::placeInWaitlist(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                            const ClientTransaction& ctInfoObj) {
  serveRequest("placeInWaitlist", [&] {
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    movieObj->placeInWaitlist(movieInfoObj, tmpTicket, ctInfoObj);
  });
}
