#include "DBQuery.h"

#include <cstdio>
#include <cstring>

#include "DBConnection.h"

DBQuery::DBQuery()
    : fld(nullptr),
      mysql(DBConnection::getHandle()),
      res(nullptr),
      row(nullptr),
      numRows(0),
      qryRV(0),
      unread_(false) {
  mySQLerrno = 0;
  std::memset(mySQLerror, 0, sizeof mySQLerror);
  std::memset(err, 0, sizeof err);
}

DBQuery::~DBQuery() {
  discardUnreadResult();
  freeit();
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

void DBQuery::captureError() {
  mySQLerrno = mysql_errno(mysql);
  std::memset(mySQLerror, 0, sizeof mySQLerror);
  std::strncpy(mySQLerror, mysql_error(mysql), sizeof mySQLerror - 1);
}

int DBQuery::query(const char* ptr) {
  discardUnreadResult();
  qryRV = DBConnection::getInstance()->execute(ptr, std::strlen(ptr), mySQLerror, &mySQLerrno);
  unread_ = qryRV == 0;
  return qryRV == 0 ? 1 : 0;
}

int DBQuery::storeResults() {
  releaseResult();
  unread_ = false;
  res = mysql_store_result(mysql);
  if (res == nullptr) {
    captureError();
    return 0;
  }
  return 1;
}

long DBQuery::rows() {
  numRows = res ? static_cast<uint32_t>(mysql_num_rows(res)) : 0;
  return static_cast<long>(numRows);
}

int DBQuery::isRows() {
  if (res == nullptr) return 0;
  row = mysql_fetch_row(res);
  return row != nullptr ? 1 : 0;
}

char* DBQuery::fieldName(int num) {
  if (res == nullptr || num < 0 || static_cast<unsigned>(num) >= mysql_num_fields(res))
    return nullptr;
  fld = mysql_fetch_field_direct(res, num);
  return fld->name;
}

char* DBQuery::fieldValue(int num) {
  if (res == nullptr || row == nullptr || num < 0 ||
      static_cast<unsigned>(num) >= mysql_num_fields(res))
    return nullptr;
  fld = mysql_fetch_field_direct(res, num);
  return row[num];
}

char* DBQuery::valueOf(const char* fldName) {
  if (res != nullptr && row != nullptr) {
    unsigned int n = mysql_num_fields(res);
    for (unsigned int i = 0; i < n; ++i) {
      fld = mysql_fetch_field_direct(res, i);
      if (std::strcmp(fld->name, fldName) == 0) return row[i];
    }
  }
  std::memset(err, 0, sizeof err);
  std::snprintf(err, sizeof err, "Field %s not found!", fldName);
  return err;
}

void DBQuery::freeit() {
  discardUnreadResult();
  releaseResult();
}

void DBQuery::releaseResult() {
  if (res != nullptr) mysql_free_result(res);
  res = nullptr;
  row = nullptr;
}
