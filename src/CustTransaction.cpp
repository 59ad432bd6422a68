#include "CustTransaction.h"

#include <sstream>

#include "Contract.h"
#include "DBConnection.h"
#include "DBQuery.h"

unsigned int CustTransaction::CheckTransaction(const Ticket& ticket,
                                               const ClientTransaction& ctinfo) {
  return _CheckTransaction(str(ticket.username), str(ctinfo.clientID), ctinfo.transactionID);
}

unsigned int CustTransaction::CheckTransaction(const UserInfo& uinfo,
                                               const ClientTransaction& ctinfo) {
  return _CheckTransaction(str(uinfo.username), str(ctinfo.clientID), ctinfo.transactionID);
}

void CustTransaction::AddTransaction(const Ticket& ticket, const ClientTransaction& ctinfo) {
  _AddTransaction(str(ticket.username), str(ctinfo.clientID), ctinfo.transactionID);
}

void CustTransaction::AddTransaction(const UserInfo& uinfo, const ClientTransaction& ctinfo) {
  _AddTransaction(str(uinfo.username), str(ctinfo.clientID), ctinfo.transactionID);
}

unsigned int CustTransaction::_CheckTransaction(const std::string& username,
                                                const std::string& clientID,
                                                int transactionID) {
  DBQuery queryObj;
  std::ostringstream query;
  query << "select * from transactions where username='" << DBConnection::escape(username)
        << "' and clientID='" << DBConnection::escape(clientID)
        << "' and transactionID=" << transactionID << ";";
  if (!queryObj.query(query.str().c_str()))
    throw TavrinException(
        (std::string("CheckTransaction query failed: ") + queryObj.mySQLerror).c_str());
  if (!queryObj.storeResults()) throw TavrinException(queryObj.mySQLerror);
  unsigned int found = queryObj.rows() > 0 ? 1 : 0;
  queryObj.freeit();
  return found;
}

void CustTransaction::_AddTransaction(const std::string& username, const std::string& clientID,
                                      int transactionID) {
  DBQuery queryObj;
  std::ostringstream query;
  query << "insert into transactions values ('" << DBConnection::escape(username) << "','"
        << DBConnection::escape(clientID) << "'," << transactionID << ");";
  if (!queryObj.query(query.str().c_str()))
    throw TavrinException(
        (std::string("Transaction cannot be added: ") + queryObj.mySQLerror).c_str());
}
