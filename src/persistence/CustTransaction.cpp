#include "CustTransaction.h"

#include <cstdlib>
#include <sstream>

#include "Contract.h"
#include "DBConnection.h"
#include "DBFailure.h"
#include "DBQuery.h"

unsigned int CustTransaction::CheckTransaction(const Ticket& ticket,
                                               const ClientTransaction& ctinfo,
                                               std::string* refusal, bool* session) {
  return _CheckTransaction(str(ticket.username), str(ctinfo.clientID), ctinfo.transactionID,
                           refusal, session ? &ticket.token : nullptr, session);
}

unsigned int CustTransaction::CheckTransaction(const UserInfo& uinfo,
                                               const ClientTransaction& ctinfo,
                                               std::string* refusal) {
  return _CheckTransaction(str(uinfo.username), str(ctinfo.clientID), ctinfo.transactionID,
                           refusal, nullptr, nullptr);
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
                                                int transactionID, std::string* refusal,
                                                const CORBA::Long* token, bool* session) {
  DBQuery queryObj;
  const std::string user = DBConnection::escape(username);
  std::ostringstream query;
  // One row whatever the log holds: how many entries, and the answer.
  query << "select count(*) as logged, coalesce(max(refusal), '') as refusal";
  if (token != nullptr)
    query << ", (select count(*) from ticket where username = '" << user
          << "' and token = " << *token << ") as sessions";
  query << " from transactions where username='" << user << "' and clientID='"
        << DBConnection::escape(clientID) << "' and transactionID=" << transactionID << ";";
  if (!queryObj.query(query.str().c_str()))
    raiseStatementFailure("CheckTransaction query failed: ", queryObj.mySQLerror,
                          queryObj.mySQLerrno);
  if (!queryObj.storeResults())
    raiseStatementFailure("", queryObj.mySQLerror, queryObj.mySQLerrno);
  if (!queryObj.isRows()) {
    queryObj.freeit();
    throw Unavailable(Unavailable::kStatementFailed, "CheckTransaction query returned no row");
  }
  auto number = [&queryObj](const char* column) {
    const char* v = queryObj.valueOf(column);
    return v != nullptr && v != queryObj.err ? std::atol(v) : 0L;
  };
  const unsigned int found = number("logged") > 0 ? 1 : 0;
  if (refusal != nullptr) {
    const char* text = queryObj.valueOf("refusal");
    *refusal = found && text != nullptr && text != queryObj.err ? text : "";
  }
  if (session != nullptr) *session = number("sessions") == 1;
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
    raiseStatementFailure("Transaction cannot be added: ", queryObj.mySQLerror,
                          queryObj.mySQLerrno);
}
