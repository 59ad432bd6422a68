// The servant of interface Account: adapts the six remote operations to the
// User singleton. Each operation runs in serveRequest (ServeRequest.h), on a
// connection of its own, within the request's time budget, with the rules'
// answers as TavrinException and every failure to do the work as
// CORBA::TRANSIENT. Thread safe.
#ifndef TAVRIN_ACCOUNT_IMPL_H
#define TAVRIN_ACCOUNT_IMPL_H

#include <ServerIDL.hh>

class Account_impl : public POA_Account, public PortableServer::RefCountServantBase {
 public:
  // Created on the first call, during start-up; never deleted.
  static Account_impl* getInstance();
  virtual ~Account_impl() = default;

  virtual Ticket* logIn(UserInfo& userInfoObj, const ClientTransaction& ctInfoObj) override;
  virtual void createAccount(const UserInfo& userInfoObj,
                             const ClientTransaction& ctInfoObj) override;
  virtual void discontinueAccount(const UserInfo& userInfoObj, const Ticket& ticketObj,
                                  const ClientTransaction& ctInfoObj) override;
  virtual void updateProfile(const UserInfo& userInfoObj, const Ticket& ticketObj,
                             const ClientTransaction& ctInfoObj) override;
  virtual void logOut(const Ticket& ticketObj) override;
  virtual CORBA::ULong obtainNoOfOutstandingMovies(const Ticket& ticketObj) override;

 private:
  Account_impl() = default;
  Account_impl(const Account_impl&) = delete;
  Account_impl& operator=(const Account_impl&) = delete;

  static Account_impl* accountObj;
};

#endif
