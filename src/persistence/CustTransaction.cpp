#include "CustTransaction.h"

#include <cstdlib>

#include "DBFailure.h"
#include "DBQuery.h"
#include "SqlText.h"

bool CustTransaction::CheckTransaction(const Key& key, Entry* entry,
                                       const std::string* sessionTag, long idle, long max,
                                       bool* session) {
  // One row whatever the log holds: how many entries, and the answer.
  SqlText sql;
  sql << "select count(*) as logged, coalesce(max(refusal), '') as refusal, "
         "coalesce(max(answer), '') as answer";
  if (sessionTag != nullptr) {
    sql << ", (select count(*) from ticket where username = '";
    sql.value(key.username) << "' and tokenTag = '";
    sql.secret(*sessionTag) << "' and seenAt > now(6) - interval " << idle
                            << " second and openedAt > now(6) - interval " << max
                            << " second) as sessions";
  }
  sql << " from transactions where username='";
  sql.value(key.username) << "' and clientID='";
  sql.value(key.clientID) << "' and transactionID=" << key.transactionID << " and operation='";
  sql.value(key.operation) << "' and callerTag='";
  sql.secret(key.callerTag) << "';";
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
  if (entry != nullptr && found) {
    const char* refusal = queryObj.valueOf("refusal");
    const char* answer = queryObj.valueOf("answer");
    entry->refusal = refusal != nullptr ? refusal : "";
    entry->answer = answer != nullptr ? answer : "";
  }
  if (session != nullptr) *session = std::atol(queryObj.valueOf("sessions")) == 1;
  return found;
}

bool CustTransaction::isLogged(const Key& key) {
  SqlText sql;
  sql << "select count(*) as logged from transactions where username='";
  sql.value(key.username) << "' and clientID='";
  sql.value(key.clientID) << "' and transactionID=" << key.transactionID << " and operation='";
  sql.value(key.operation) << "'";
  DBQuery queryObj;
  try {
    queryObj.query(sql);
  } catch (const DBFailure& f) {
    throw f.prefixed("CheckTransaction query failed: ");
  }
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
  sql.secret(answer) << "');";
  DBQuery queryObj;
  try {
    queryObj.query(sql);
  } catch (const DBFailure& f) {
    throw f.prefixed("Transaction cannot be added: ");
  }
}

void CustTransaction::SetRefusal(const Key& key, const std::string& refusal) {
  SqlText sql;
  sql << "update transactions set refusal = '";
  sql.value(refusal) << "' where username='";
  sql.value(key.username) << "' and clientID='";
  sql.value(key.clientID) << "' and transactionID=" << key.transactionID << " and operation='";
  sql.value(key.operation) << "';";
  DBQuery queryObj;
  try {
    queryObj.query(sql);
  } catch (const DBFailure& f) {
    throw f.prefixed("Transaction cannot be added: ");
  }
}

bool CustTransaction::SessionStored(const std::string& username, const std::string& sessionTag,
                                    long idle, long max) {
  SqlText sql;
  sql << "select count(*) as sessions from ticket where username = '";
  sql.value(username) << "' and tokenTag = '";
  sql.secret(sessionTag) << "' and seenAt > now(6) - interval " << idle
                         << " second and openedAt > now(6) - interval " << max << " second;";
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
