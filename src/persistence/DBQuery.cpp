#include "DBQuery.h"

#include <cstring>

#include "DBConnection.h"
#include "DBFailure.h"
#include "SqlText.h"

DBQuery::DBQuery()
    : mysql(DBConnection::getHandle()), res(nullptr), row(nullptr), unread_(false) {}

DBQuery::~DBQuery() {
  discardUnreadResult();
  releaseResult();
}

// A result left unread would put the connection out of sync for every later
// statement of the process.
void DBQuery::discardUnreadResult() {
  if (!unread_) return;
  unread_ = false;
  if (mysql_field_count(mysql) > 0) {
    MYSQL_RES* r = mysql_store_result(mysql);
    if (r != nullptr) mysql_free_result(r);
  }
}

void DBQuery::releaseResult() {
  if (res != nullptr) mysql_free_result(res);
  res = nullptr;
  row = nullptr;
}

void DBQuery::query(const std::string& stmt) {
  discardUnreadResult();
  releaseResult();
  DBConnection::getInstance()->execute(stmt);
  unread_ = true;
}

void DBQuery::query(const SqlText& sql) {
  try {
    query(sql.text());
  } catch (const DBFailure& f) {
    throw DBFailure(f.code(), sql.masked(f.what()));
  }
}

void DBQuery::send(const SqlText& sql, const std::string& prefix, bool echo) {
  if (echo) trace("Query: ", sql.shownParts());
  try {
    query(sql);
  } catch (const DBFailure& f) {
    raiseFor(f, prefix);
  }
}

long DBQuery::select(const SqlText& sql, const std::string& prefix, bool echo) {
  send(sql, prefix, echo);
  try {
    return storeResults();
  } catch (const DBFailure& f) {
    raiseFor(f);
  }
}

std::string DBQuery::text(const std::string& column) const {
  const char* value = valueOf(column);
  return value != nullptr ? value : "";
}

long DBQuery::storeResults() {
  releaseResult();
  unread_ = false;
  res = mysql_store_result(mysql);
  if (res == nullptr) {
    const unsigned int code = mysql_errno(mysql);
    if (code == 0) throw DBFailure(kNoResult, "The statement gave no result");
    throw DBFailure(code, mysql_error(mysql));
  }
  return rows();
}

long DBQuery::rows() const { return res ? static_cast<long>(mysql_num_rows(res)) : 0; }

bool DBQuery::isRows() {
  if (res == nullptr) return false;
  row = mysql_fetch_row(res);
  return row != nullptr;
}

const char* DBQuery::fieldName(int num) const {
  if (res == nullptr || num < 0 || static_cast<unsigned>(num) >= mysql_num_fields(res))
    return nullptr;
  return mysql_fetch_field_direct(res, num)->name;
}

const char* DBQuery::fieldValue(int num) const {
  if (res == nullptr || row == nullptr || num < 0 ||
      static_cast<unsigned>(num) >= mysql_num_fields(res))
    return nullptr;
  return row[num];
}

const char* DBQuery::valueOf(const std::string& column) const {
  if (res != nullptr && row != nullptr) {
    const unsigned int n = mysql_num_fields(res);
    for (unsigned int i = 0; i < n; ++i) {
      if (column == mysql_fetch_field_direct(res, i)->name) return row[i];
    }
  }
  throw DBFailure(kNoSuchColumn, "Field " + column + " not found!");
}
