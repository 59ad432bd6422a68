#include "OrderFulfillment_impl.h"

#include "Contract.h"
#include "Movie.h"
#include "ServeRequest.h"
#include "Sessions.h"
#include "Trace.h"

OrderFulfillment_impl* OrderFulfillment_impl::OFSObj = nullptr;

OrderFulfillment_impl* OrderFulfillment_impl::getInstance() {
  if (OFSObj == nullptr) OFSObj = new OrderFulfillment_impl();
  return OFSObj;
}

void OrderFulfillment_impl::searchByTitle(MovieInfo& movieInfoObj, const Ticket& ticketObj) {
  serveRequest("searchByTitle", [&] {
    Movie* movieObj = Movie::getInstance();
    Sessions::validate(ticketObj);
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
  }, ticketObj, movieInfoObj);
}

void OrderFulfillment_impl::returnMovie(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                        const ClientTransaction& ctInfoObj) {
  serveRequest("returnMovie", [&] {
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    movieObj->returnMovie(movieInfoObj, tmpTicket, ctInfoObj);
  }, ticketObj, ctInfoObj, movieInfoObj);
}

void OrderFulfillment_impl::checkOutMovie(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                          const ClientTransaction& ctInfoObj) {
  serveRequest("checkOutMovie", [&] {
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    movieObj->checkoutMovie(movieInfoObj, tmpTicket, ctInfoObj);
  }, ticketObj, ctInfoObj, movieInfoObj);
}

void OrderFulfillment_impl::placeInWaitlist(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                                            const ClientTransaction& ctInfoObj) {
  serveRequest("placeInWaitlist", [&] {
    Movie* movieObj = Movie::getInstance();
    Ticket_var tmpTicket = copyTicket(ticketObj);
    movieObj->placeInWaitlist(movieInfoObj, tmpTicket, ctInfoObj);
  }, ticketObj, ctInfoObj, movieInfoObj);
}
