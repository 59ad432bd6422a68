// One statement (or a short series) on the process's connection, and its
// result. Owned by the caller, usually a local; not thread safe.
//
// Every failure raises DBFailure (DBFailure.h). The result of a statement is
// owned by this object: it is freed when the next statement is sent and on
// destruction, never by anyone else. Strings returned by fieldName,
// fieldValue and valueOf belong to that result; copy what you keep.
#ifndef TAVRIN_DBQUERY_H
#define TAVRIN_DBQUERY_H

#include <mysql.h>

#include <string>

class SqlText;

class DBQuery {
 public:
  // Ours: a column asked for by name is not in the result.
  static constexpr unsigned int kNoSuchColumn = 60002;
  // Ours: the statement gave no result set to store (an INSERT).
  static constexpr unsigned int kNoResult = 60003;

  DBQuery();
  ~DBQuery();
  DBQuery(const DBQuery&) = delete;
  DBQuery& operator=(const DBQuery&) = delete;

  void query(const std::string& stmt);
  // The same; the secrets of `sql` are masked in a failure's text.
  void query(const SqlText& sql);
  // Stores the result of the last statement and returns its row count.
  long storeResults();
  // For the business logic: echoes the statement in the trace ("Query: ",
  // secrets masked) unless `echo` is false, and sends it; a failure is
  // raised as the layers' answer (raiseFor), `prefix` before its text.
  void send(const SqlText& sql, const std::string& prefix, bool echo = true);
  // The same for a SELECT: its result stored (a failure there raised
  // without the prefix), its row count returned.
  long select(const SqlText& sql, const std::string& prefix, bool echo = true);
  // The named column of the current row as text, "" for SQL NULL.
  std::string text(const std::string& column) const;
  long rows() const;  // row count of the stored result
  bool isRows();      // fetches the next row: false after the last
  const char* fieldName(int num) const;   // null when there is no such column
  const char* fieldValue(int num) const;  // null for SQL NULL or no such column
  // Value of the named column in the current row, null for SQL NULL. A name
  // that is not a column of the result raises DBFailure (kNoSuchColumn).
  const char* valueOf(const std::string& column) const;

 private:
  void discardUnreadResult();
  void releaseResult();

  MYSQL* mysql;
  MYSQL_RES* res;
  MYSQL_ROW row;
  bool unread_;  // a statement ran and its result was not stored
};

#endif
