// The duplicate-request log: (user name, client id, request number) of every
// executed state-changing request, in table `transactions`.
//
// Conclusive between replicas only while the caller holds its family's table
// locks from before the check until after the commit.
#ifndef TAVRIN_CUSTTRANSACTION_H
#define TAVRIN_CUSTTRANSACTION_H

#include <ServerIDL.hh>

#include <string>

class CustTransaction {
 public:
  // 1 when the request is already logged, else 0. Raise TavrinException.
  unsigned int CheckTransaction(const Ticket& ticket, const ClientTransaction& ctinfo);
  unsigned int CheckTransaction(const UserInfo& uinfo, const ClientTransaction& ctinfo);
  void AddTransaction(const Ticket& ticket, const ClientTransaction& ctinfo);
  void AddTransaction(const UserInfo& uinfo, const ClientTransaction& ctinfo);

 private:
  unsigned int _CheckTransaction(const std::string& username, const std::string& clientID,
                                 int transactionID);
  void _AddTransaction(const std::string& username, const std::string& clientID,
                       int transactionID);
};

#endif
