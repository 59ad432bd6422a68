#include "CustTransaction.h"

#include <sstream>

#include "Contract.h"
#include "DBConnection.h"
#include "DBQuery.h"

unsigned int CustTransaction::CheckTransaction(const Ticket& ticket,
                                               const ClientTransaction& ctinfo,
                                               std::string* refusal) {
  return _CheckTransaction(str(ticket.username), str(ctinfo.clientID), ctinfo.transactionID,
                           refusal);
}

unsigned int CustTransaction::CheckTransaction(const UserInfo& uinfo,
                                               const ClientTransaction& ctinfo,
                                               std::string* refusal) {
  return _CheckTransaction(str(uinfo.username), str(ctinfo.clientID), ctinfo.transactionID,
                           refusal);
}

void CustTransaction::AddTransaction(const Ticket& ticket, const ClientTransaction& ctinfo,
                                     const std::string& refusal) {
  _AddTransaction(str(ticket.username), str(ctinfo.clientID), ctinfo.transactionID, refusal);
}

void CustTransaction::AddTransaction(const UserInfo& uinfo, const ClientTransaction& ctinfo,
                                     const std::string& refusal) {
  _AddTransaction(str(uinfo.username), str(ctinfo.clientID), ctinfo.transactionID, refusal);
}

unsigned int CustTransaction::_CheckTransaction(const std::string& username,
                                                const std::string& clientID,
                                                int transactionID, std::string* refusal) {
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
  if (refusal != nullptr) {
    refusal->clear();
    if (found && queryObj.isRows()) {
      const char* text = queryObj.valueOf("refusal");
      if (text != nullptr && text != queryObj.err) *refusal = text;
    }
  }
  queryObj.freeit();
  return found;
}

void CustTransaction::_AddTransaction(const std::string& username, const std::string& clientID,
                                      int transactionID, const std::string& refusal) {
  DBQuery queryObj;
  std::ostringstream query;
  query << "insert into transactions (username, clientID, transactionID, refusal) values ('"
        << DBConnection::escape(username) << "','" << DBConnection::escape(clientID) << "',"
        << transactionID << ",'" << DBConnection::escape(refusal) << "');";
  if (!queryObj.query(query.str().c_str()))
    throw TavrinException(
        (std::string("Transaction cannot be added: ") + queryObj.mySQLerror).c_str());
}
