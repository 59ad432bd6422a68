#include "CustTransaction.h"

#include <cstdlib>

#include "DBFailure.h"
#include "DBQuery.h"
#include "SqlText.h"

namespace {

const char* const kCheckFailed = "CheckTransaction query failed: ";
const char* const kAddFailed = "Transaction cannot be added: ";

// Sends the statement; a failure is raised with `prefix` before its text.
void send(DBQuery& queryObj, const SqlText& sql, const char* prefix) {
  try {
    queryObj.query(sql);
  } catch (const DBFailure& f) {
    throw f.prefixed(prefix);
  }
}

// Sends a statement that yields one row, and stores it.
void sendForRow(DBQuery& queryObj, const SqlText& sql) {
  send(queryObj, sql, kCheckFailed);
  queryObj.storeResults();
  if (!queryObj.isRows())
    throw DBFailure(DBQuery::kNoResult, "CheckTransaction query returned no row");
}

// The request's row: its key, and with `withCaller` its caller's tag.
void whereKey(SqlText& sql, const CustTransaction::Key& key, bool withCaller) {
  sql << " where username='";
  sql.value(key.username) << "' and clientID='";
  sql.value(key.clientID) << "' and transactionID=" << key.transactionID << " and operation='";
  sql.value(key.operation) << "'";
  if (!withCaller) return;
  sql << " and callerTag='";
  sql.secret(key.callerTag) << "'";
}


}  // namespace

bool CustTransaction::CheckTransaction(const Key& key, Entry* entry) {
  // One row whatever the log holds: how many entries, and the answer.
  SqlText sql;
  sql << "select count(*) as logged, coalesce(max(refusal), '') as refusal, "
         "coalesce(max(answer), '') as answer";
  sql << " from transactions";
  whereKey(sql, key, true);
  DBQuery queryObj;
  sendForRow(queryObj, sql);
  const bool found = std::atol(queryObj.valueOf("logged")) > 0;
  if (entry != nullptr && found) {
    entry->refusal = queryObj.text("refusal");
    entry->answer = queryObj.text("answer");
  }
  return found;
}

bool CustTransaction::isLogged(const Key& key) {
  SqlText sql;
  sql << "select count(*) as logged from transactions";
  whereKey(sql, key, false);
  DBQuery queryObj;
  send(queryObj, sql, kCheckFailed);
  queryObj.storeResults();
  return queryObj.isRows() && std::atol(queryObj.valueOf("logged")) > 0;
}

void CustTransaction::AddTransaction(const Key& key, const std::string& refusal,
                                     const std::string& answer) {
  SqlText sql;
  sql << "insert into transactions (username, clientID, transactionID, operation, callerTag, "
         "refusal, answer) values ('";
  sql.value(key.username) << "','";
  sql.value(key.clientID) << "'," << key.transactionID << ",'";
  sql.value(key.operation) << "','";
  sql.secret(key.callerTag) << "','";
  sql.value(refusal) << "','";
  sql.secret(answer) << "')";
  DBQuery queryObj;
  send(queryObj, sql, kAddFailed);
}

void CustTransaction::SetRefusal(const Key& key, const std::string& refusal) {
  SqlText sql;
  sql << "update transactions set refusal = '";
  sql.value(refusal) << "'";
  whereKey(sql, key, false);
  DBQuery queryObj;
  send(queryObj, sql, kAddFailed);
}
