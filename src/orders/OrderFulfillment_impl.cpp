#include "OrderFulfillment_impl.h"

#include "Contract.h"
#include "FieldLimits.h"
#include "Movie.h"
#include "ServeRequest.h"
#include "Trace.h"
#include "User.h"

namespace {

void checkFields(const MovieInfo& m, const Ticket& t, const ClientTransaction& c) {
  FieldLimits::check(t);
  FieldLimits::check(c);
  FieldLimits::checkTitle(m);
}

}  // namespace

OrderFulfillment_impl* OrderFulfillment_impl::OFSObj = nullptr;

OrderFulfillment_impl::OrderFulfillment_impl() {}

OrderFulfillment_impl::~OrderFulfillment_impl() {}

OrderFulfillment_impl* OrderFulfillment_impl::getInstance() {
  if (OFSObj == nullptr) OFSObj = new OrderFulfillment_impl();
  return OFSObj;
}

void OrderFulfillment_impl::searchByTitle(MovieInfo& movieInfoObj, const Ticket& ticketObj) {
  serveRequest("searchByTitle", [&] {
    FieldLimits::check(ticketObj);
    FieldLimits::checkTitle(movieInfoObj);
    User* userObj = User::getInstance();
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    userObj->validateTicket(tmpTicket);
    trace("Server: Before Having Called Thread ..... movieTitle: ",
          TraceValue{str(movieInfoObj.title)});
    try {
      movieObj->searchByTitle(movieInfoObj);
    } catch (...) {
      trace("Server: Exception thrown in searchByTitle");
      throw;
    }
    trace("Server: After Having Called Thread ..... movieTitle: ",
          TraceValue{str(movieInfoObj.title)});
  });
}

void OrderFulfillment_impl::returnMovie(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                        const ClientTransaction& ctInfoObj) {
  serveRequest("returnMovie", [&] {
    checkFields(movieInfoObj, ticketObj, ctInfoObj);
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    movieObj->returnMovie(movieInfoObj, tmpTicket, ctInfoObj);
  });
}

void OrderFulfillment_impl::checkOutMovie(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                          const ClientTransaction& ctInfoObj) {
  serveRequest("checkOutMovie", [&] {
    checkFields(movieInfoObj, ticketObj, ctInfoObj);
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    movieObj->checkoutMovie(movieInfoObj, tmpTicket, ctInfoObj);
  });
}

void OrderFulfillment_impl::placeInWaitlist(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                            const ClientTransaction& ctInfoObj) {
  serveRequest("placeInWaitlist", [&] {
    checkFields(movieInfoObj, ticketObj, ctInfoObj);
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    movieObj->placeInWaitlist(movieInfoObj, tmpTicket, ctInfoObj);
  });
}
