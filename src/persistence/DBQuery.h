// One statement (or a short series) on the process's connection, and its
// result. Owned by the caller, usually a local; not thread safe.
//
// Strings returned by fieldName/fieldValue/valueOf belong to the stored
// result and stay valid until freeit() or destruction; copy what you keep.
#ifndef TAVRIN_DBQUERY_H
#define TAVRIN_DBQUERY_H

#include <mysql.h>

class DBQuery {
 public:
  DBQuery();
  ~DBQuery();  // releases a stored result that nobody freed
  DBQuery(const DBQuery&) = delete;
  DBQuery& operator=(const DBQuery&) = delete;

  int query(const char* ptr);  // 1 on success, 0 with mySQLerror and mySQLerrno set
  int storeResults();          // 1 when a result set was stored, else 0
  long rows();                 // row count of the stored result
  int isRows();                // 1 when a next row was fetched, 0 after the last
  char* fieldName(int num);
  char* fieldValue(int num);   // null for SQL NULL
  // Value of the named column in the current row (null for SQL NULL), or
  // the text "Field <name> not found!" in err when there is no such column.
  char* valueOf(const char* fldName);
  void freeit();

  char mySQLerror[1024];
  // The error number of the last failure (DBConnection's classes tell a
  // refusal of the values from a failure to do the work); 0 when none.
  unsigned int mySQLerrno;
  char err[256];

 private:
  void captureError();
  void discardUnreadResult();
  void releaseResult();

  MYSQL_FIELD* fld;
  MYSQL* mysql;
  MYSQL_RES* res;
  MYSQL_ROW row;
  unsigned long numRows;
  int qryRV;
  bool unread_;  // a statement ran and its result was not stored
};

#endif
