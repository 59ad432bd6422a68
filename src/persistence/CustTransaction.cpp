#include "CustTransaction.h"

#include <cstdlib>

#include "Contract.h"
#include "DBFailure.h"
#include "DBQuery.h"
#include "SqlText.h"

bool CustTransaction::CheckTransaction(const Ticket& ticket, const ClientTransaction& ctinfo,
                                       std::string* refusal, bool* session) {
  return _CheckTransaction(str(ticket.username), str(ctinfo.clientID), ctinfo.transactionID,
                           refusal, session ? &ticket.token : nullptr, session);
}

bool CustTransaction::CheckTransaction(const UserInfo& uinfo, const ClientTransaction& ctinfo,
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

bool CustTransaction::_CheckTransaction(const std::string& username, const std::string& clientID,
                                        int transactionID, std::string* refusal,
                                        const CORBA::Long* token, bool* session) {
  // One row whatever the log holds: how many entries, and the answer.
  SqlText sql;
  sql << "select count(*) as logged, coalesce(max(refusal), '') as refusal";
  if (token != nullptr) {
    sql << ", (select count(*) from ticket where username = '";
    sql.value(username) << "' and token = ";
    sql.secret(std::to_string(*token)) << ") as sessions";
  }
  sql << " from transactions where username='";
  sql.value(username) << "' and clientID='";
  sql.value(clientID) << "' and transactionID=" << transactionID << ";";
  DBQuery queryObj;
  try {
    queryObj.query(sql);
  } catch (const DBFailure& f) {
    throw f.prefixed("CheckTransaction query failed: ");
  }
  queryObj.storeResults();
  if (!queryObj.isRows())
    throw DBFailure(DBQuery::kNoResult, "CheckTransaction query returned no row");
  const bool found = std::atol(queryObj.valueOf("logged")) > 0;
  if (refusal != nullptr) {
    const char* text = queryObj.valueOf("refusal");
    *refusal = found && text != nullptr ? text : "";
  }
  if (session != nullptr) *session = std::atol(queryObj.valueOf("sessions")) == 1;
  return found;
}

void CustTransaction::_AddTransaction(const std::string& username, const std::string& clientID,
                                      int transactionID, const std::string& refusal) {
  SqlText sql;
  sql << "insert into transactions (username, clientID, transactionID, refusal) values ('";
  sql.value(username) << "','";
  sql.value(clientID) << "'," << transactionID << ",'";
  sql.value(refusal) << "');";
  DBQuery queryObj;
  try {
    queryObj.query(sql);
  } catch (const DBFailure& f) {
    throw f.prefixed("Transaction cannot be added: ");
  }
}

void CustTransaction::SetRefusal(const std::string& username, const std::string& clientID,
                                 int transactionID, const std::string& refusal) {
  SqlText sql;
  sql << "update transactions set refusal = '";
  sql.value(refusal) << "' where username='";
  sql.value(username) << "' and clientID='";
  sql.value(clientID) << "' and transactionID=" << transactionID << ";";
  DBQuery queryObj;
  try {
    queryObj.query(sql);
  } catch (const DBFailure& f) {
    throw f.prefixed("Transaction cannot be added: ");
  }
}

bool CustTransaction::SessionStored(const std::string& username, CORBA::Long token) {
  SqlText sql;
  sql << "select count(*) as sessions from ticket where username = '";
  sql.value(username) << "' and token = ";
  sql.secret(std::to_string(token)) << ";";
  DBQuery queryObj;
  try {
    queryObj.query(sql);
  } catch (const DBFailure& f) {
    throw f.prefixed("CheckTransaction query failed: ");
  }
  queryObj.storeResults();
  if (!queryObj.isRows())
    throw DBFailure(DBQuery::kNoResult, "CheckTransaction query returned no row");
  return std::atol(queryObj.valueOf("sessions")) == 1;
}
