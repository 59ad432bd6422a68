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
  // 1 when the request is already logged, else 0. When `refusal` is given
  // it receives the answer a refused request was logged with ("" when the
  // request was carried out). Raise TavrinException.
  unsigned int CheckTransaction(const Ticket& ticket, const ClientTransaction& ctinfo,
                                std::string* refusal = nullptr);
  unsigned int CheckTransaction(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                                std::string* refusal = nullptr);
  // Logs the request as carried out, or, with a non-empty `refusal`, as
  // refused with that answer. Raise TavrinException.
  void AddTransaction(const Ticket& ticket, const ClientTransaction& ctinfo,
                      const std::string& refusal = "");
  void AddTransaction(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                      const std::string& refusal = "");

 private:
  unsigned int _CheckTransaction(const std::string& username, const std::string& clientID,
                                 int transactionID, std::string* refusal);
  void _AddTransaction(const std::string& username, const std::string& clientID,
                       int transactionID, const std::string& refusal);
};

#endif
