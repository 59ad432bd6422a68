#include "GuessLimit.h"

#include <cstdlib>

#include "CallerAddress.h"
#include "DBQuery.h"
#include "DBSettings.h"
#include "SqlText.h"
#include "Trace.h"

namespace {

// The rows of this name, caller and kind: the WHERE clause's text.
void where(SqlText& sql, const std::string& username, const std::string& caller,
           const char* kind) {
  sql << " where username = '";
  sql.value(username) << "' and caller = '";
  sql.value(caller) << "' and kind = '" << kind << "'";
}

}  // namespace

GuessLimit::GuessLimit(Kind kind, const std::string& username)
    : kind_(kind == Kind::kPassword ? "password" : "ticket"),
      username_(username),
      caller_(CallerAddress::current()) {}

long GuessLimit::backoffAfter(long failures) {
  const DBSettings::Limits& l = DBSettings::current().limits();
  if (failures < l.guessLimit) return 0;
  long backoff = l.guessBackoff;
  for (long n = l.guessLimit; n < failures && backoff < l.guessBackoffMax; ++n) backoff *= 2;
  return backoff < l.guessBackoffMax ? backoff : l.guessBackoffMax;
}

bool GuessLimit::cutOff() {
  SqlText sql;
  sql << "select ";
  columns(sql, true);
  DBQuery q;
  q.query(sql);
  q.storeResults();
  return q.isRows() && cutOffIn(q);
}

void GuessLimit::columns(SqlText& sql, bool first) const {
  const long window = DBSettings::current().limits().guessWindow;
  const char* const what[] = {"count(*)", "coalesce(timestampdiff(microsecond, max(failedAt), "
                                          "now(6)), 0)"};
  const char* const as[] = {"guessCount", "guessSince"};
  for (int i = 0; i < 2; ++i) {
    sql << (first && i == 0 ? "(select " : ", (select ") << what[i] << " from guesses";
    where(sql, username_, caller_, kind_);
    sql << " and failedAt > now(6) - interval " << window << " second) as " << as[i];
  }
}

bool GuessLimit::cutOffIn(const DBQuery& row) {
  const long failures = std::atol(row.text("guessCount").c_str());
  const long long since = std::atoll(row.text("guessSince").c_str());
  return failures >= DBSettings::current().limits().guessLimit &&
         since < backoffAfter(failures) * 1000000LL;
}

void GuessLimit::recordFailure(const std::string& guessTag) {
  const DBSettings::Limits& l = DBSettings::current().limits();
  DBQuery q;
  SqlText prune;
  prune << "delete from guesses";
  where(prune, username_, caller_, kind_);
  prune << " and failedAt < now(6) - interval " << l.guessWindow << " second";
  q.query(prune);
  SqlText insert;
  insert << "insert ignore into guesses (username, caller, kind, guessTag) values ('";
  insert.value(username_) << "', '";
  insert.value(caller_) << "', '" << kind_ << "', '";
  insert.secret(guessTag) << "')";
  q.query(insert);
  // row_count(): whether the insert added a row (not a replica's repeat).
  SqlText count;
  count << "select row_count() as added, (select count(*) from guesses";
  where(count, username_, caller_, kind_);
  count << ") as n";
  DBQuery c;
  c.query(count);
  c.storeResults();
  if (!c.isRows() || std::atol(c.valueOf("added")) == 0) return;
  const long failures = std::atol(c.valueOf("n"));
  if (failures >= l.guessLimit)
    trace("Guessing cut off: ", kind_, " of ", TraceValue{username_}, " from ",
          TraceValue{caller_}, ", ", failures, " failures, back-off ", backoffAfter(failures),
          " s");
}

void GuessLimit::clear() {
  SqlText sql;
  sql << "delete from guesses";
  where(sql, username_, caller_, kind_);
  DBQuery q;
  q.query(sql);
}
