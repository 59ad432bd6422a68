// The OrderFulfillment servant: checks the caller's ticket, then hands the
// request to Movie. Only TavrinException leaves its operations.
//
// Thread safe: each operation holds a RequestScope for its whole duration,
// so the process serves one request at a time on its one connection.
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
  ~OrderFulfillment_impl() override;

 private:
  OrderFulfillment_impl();
  OrderFulfillment_impl(const OrderFulfillment_impl&) = delete;
  OrderFulfillment_impl& operator=(const OrderFulfillment_impl&) = delete;

  static OrderFulfillment_impl* OFSObj;
};

#endif
