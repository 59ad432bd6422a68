// The OrderFulfillment servant: hands each request to Movie. The search
// checks the caller's ticket first; the state-changing requests have Movie
// check it before the row locks. The rules' answers leave
// as TavrinException, every failure to do the work as CORBA::TRANSIENT.
//
// Thread safe: each operation runs in serveRequest (ServeRequest.h), on a
// connection of its own; the process serves several at once.
#ifndef TAVRIN_ORDERFULFILLMENT_IMPL_H
#define TAVRIN_ORDERFULFILLMENT_IMPL_H

#include <ServerIDL.hh>

class OrderFulfillment_impl : public POA_OrderFulfillment,
                              public PortableServer::RefCountServantBase {
 public:
  static OrderFulfillment_impl* getInstance();

  void searchByTitle(MovieInfo& movieInfoObj, const Ticket& ticketObj) override;
  void returnMovie(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                   const ClientTransaction& ctInfoObj) override;
  void checkOutMovie(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                     const ClientTransaction& ctInfoObj) override;
  void placeInWaitlist(MovieInfo& movieInfoObj, const Ticket& ticketObj,
                       const ClientTransaction& ctInfoObj) override;
  ~OrderFulfillment_impl() override = default;

 private:
  OrderFulfillment_impl() = default;
  OrderFulfillment_impl(const OrderFulfillment_impl&) = delete;
  OrderFulfillment_impl& operator=(const OrderFulfillment_impl&) = delete;

  static OrderFulfillment_impl* OFSObj;
};

#endif
