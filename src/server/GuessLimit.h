// The cut-off of guessing, counted in the database so that every replica
// sees the same: failed guesses of one name's password (or ticket) from one
// caller address are rows of table `guesses`, one per guess (a request
// that reaches several replicas counts once: its rows share a tag). Once
// limit failures fall within the window, that name is refused from that
// address at once, without a check, for a back-off that doubles with each
// failure after, up to its cap. Every time is the database's clock.
// A success clears the name's failures from that address.
//
// Limits from DBSettings::limits(). Lives within one request; not thread
// safe. Its statements run with autocommit, outside any table lock; a
// failing statement raises DBFailure.
#ifndef TAVRIN_GUESSLIMIT_H
#define TAVRIN_GUESSLIMIT_H

#include <string>

class DBQuery;
class SqlText;

class GuessLimit {
 public:
  enum class Kind { kPassword, kTicket };

  // For guesses of `username`'s secret from the caller of the request this
  // thread serves (CallerAddress).
  GuessLimit(Kind kind, const std::string& username);

  // True while the name is cut off from this caller.
  bool cutOff();
  // The same read within another SELECT: appends its columns (after a
  // comma, or first with `first`) to `sql`; cutOffIn reads them from the
  // current row of its result.
  void columns(SqlText& sql, bool first = false) const;
  static bool cutOffIn(const DBQuery& row);
  // Counts one failed guess, identified by `guessTag` (a keyed hash); one
  // trace line when the failures reach the limit.
  void recordFailure(const std::string& guessTag);
  void clear();

  // Seconds of back-off after `failures` failures within the window.
  static long backoffAfter(long failures);

 private:
  const char* kind_;
  std::string username_;
  std::string caller_;
};

#endif
