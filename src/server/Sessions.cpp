#include "Sessions.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "Contract.h"
#include "DBQuery.h"
#include "DBSettings.h"
#include "GuessLimit.h"
#include "SecretBox.h"
#include "SqlText.h"
#include "Trace.h"
#include "Unavailable.h"

const char* const Sessions::kBadTicket =
    "more than one or no user found with the same uname/ticket\n";

namespace {

const char* const kStatusFailed = "Check user session status failed: ";
const char* const kTicketGone = "Ticket cannot be removed: ";

// " where username = ..." and, with a tag, " and tokenTag = ...".
SqlText& whereSession(SqlText& sql, const std::string& username, const std::string& tag) {
  sql << " where username = '";
  sql.value(username) << "'";
  if (tag.empty()) return sql;
  sql << " and tokenTag = '";
  sql.secret(tag) << "'";
  return sql;
}

SqlText& liveOnly(SqlText& sql) {
  const DBSettings::Limits& limits = DBSettings::current().limits();
  return sql << " and seenAt > now(6) - interval " << limits.sessionIdle
             << " second and openedAt > now(6) - interval " << limits.sessionMax << " second";
}

void sendForUser(const char* statement, const std::string& username, const std::string& tail,
                 const char* prefix = kTicketGone, bool echo = true) {
  SqlText sql;
  sql << statement;
  whereSession(sql, username, "") << tail;
  DBQuery queryObj;
  queryObj.send(sql, prefix, echo);
}

// The client the session was opened from.
void addClient(const std::string& username, const ClientTransaction& ctinfo) {
  trace("User::_login called");
  trace("ClientTransaction.clientID: ", TraceValue{str(ctinfo.clientID)});
  trace("ClientTransaction.transactionID: ", ctinfo.transactionID);
  trace("UserInfo.username: ", TraceValue{username});
  SqlText sql;
  sql << "insert into client values ('";
  sql.value(username) << "', '";
  sql.value(str(ctinfo.clientID)) << "')";
  DBQuery queryObj;
  queryObj.send(sql, "Insertion of customer ID - username mapping failed: ");
}

// Any non-zero 32-bit value from the OS random source.
CORBA::Long randomToken() {
  for (int attempt = 0; attempt < 64; ++attempt) {
    uint32_t value = 0;
    ssize_t n = getrandom(&value, sizeof value, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof value)) {
      int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      n = ::read(fd, &value, sizeof value);
      ::close(fd);
      if (n != static_cast<ssize_t>(sizeof value)) continue;
    }
    if (value != 0) return static_cast<CORBA::Long>(value);
  }
  trace("User::generateTicket(): no random source");
  throw Unavailable(Unavailable::kInternal, "no random source for the session token");
}

// Keeps a live session alive.
void refresh(const std::string& username, const std::string& tag) {
  const long idle = DBSettings::current().limits().sessionIdle;
  SqlText sql;
  sql << "update ticket set seenAt = now(6)";
  whereSession(sql, username, tag) << " and seenAt < now(6) - interval " << idle * 100000
                                   << " microsecond";
  DBQuery queryObj;
  queryObj.send(sql, "Query failed: ", false);
}

}  // namespace

std::string Sessions::tag(const std::string& username, CORBA::Long token) {
  return SecretBox::deployment().tag("ticket", {username, std::to_string(token)});
}

Ticket_var Sessions::open(const std::string& username, const ClientTransaction& ctinfo) {
  addClient(username, ctinfo);
  trace("User::generateTicket called");
  Ticket_var ticket = new Ticket;
  ticket->username = CORBA::string_dup(username.c_str());
  ticket->token = randomToken();
  trace("User::addTicket called");
  SqlText sql;
  sql << "insert into ticket (username, tokenTag, openedAt, seenAt) values ('";
  sql.value(username) << "', '";
  sql.secret(tag(username, ticket->token)) << "', now(6), now(6))";
  DBQuery queryObj;
  queryObj.send(sql, "Ticket cannot be added: ");
  return ticket;
}

void Sessions::end(const std::string& username) {
  sendForUser("delete from client", username, "",
              "Deletion of customer ID - username mapping failed: ", false);
  const long window = DBSettings::current().limits().guessWindow;
  sendForUser("delete from ended_ticket", username,
              " and endedAt < now(6) - interval " + std::to_string(window) + " second");
  sendForUser("insert ignore into ended_ticket (username, tokenTag) "
              "select username, tokenTag from ticket",
              username, "");
  sendForUser("delete from ticket", username, "");
  sendForUser("update transactions set answer = ''", username, " and operation = 'logIn'",
              "Deletion of transactions failed: ");
}

void Sessions::validate(const Ticket& ticket) {
  trace("User::validateTicket called");
  trace("User::checkSessionStatus called");
  const std::string username = str(ticket.username);
  const std::string tagged = tag(ticket);
  const long idle = DBSettings::current().limits().sessionIdle;
  GuessLimit guesses(GuessLimit::Kind::kTicket, username);
  // Whether it is live, due to be kept alive, or one of the user's own
  // (ended) sessions, and whether the name is cut off: one round trip.
  SqlText sql;
  sql << "select (select count(*) from ticket";
  liveOnly(whereSession(sql, username, tagged)) << ") as live, (select count(*) from ticket";
  whereSession(sql, username, tagged) << " and seenAt < now(6) - interval " << idle * 100000
                                      << " microsecond) as stale, (select count(*) from ticket";
  whereSession(sql, username, tagged) << ") + (select count(*) from ended_ticket";
  whereSession(sql, username, tagged) << ") as own";
  guesses.columns(sql);
  DBQuery row;
  if (row.select(sql, kStatusFailed) != 1 || !row.isRows())
    throw Unavailable(Unavailable::kStatementFailed, "the session's status could not be read");
  // No answer of the rules while cut off: it would tell a guesser nothing,
  // but a refusal of a valid ticket could outvote a replica that checked
  // before the cut-off began and carried the request out.
  if (GuessLimit::cutOffIn(row))
    throw Unavailable(Unavailable::kCutOff, "guessing of this name's tickets is cut off");
  if (row.text("live") != "1") {
    if (row.text("own") == "0") guesses.recordFailure(tagged);
    throw TavrinException(kBadTicket);
  }
  if (row.text("stale") == "1") refresh(username, tagged);
}

bool Sessions::live(const std::string& username, const std::string& tag) {
  SqlText sql;
  sql << "select username from ticket";
  liveOnly(whereSession(sql, username, tag));
  DBQuery queryObj;
  return queryObj.select(sql, kStatusFailed, false) == 1;
}

bool Sessions::stored(const std::string& username, const std::string& tag) {
  trace("User::checkSessionStatus called");
  SqlText sql;
  sql << "select username from ticket";
  whereSession(sql, username, tag);
  DBQuery queryObj;
  return queryObj.select(sql, kStatusFailed) > 0;
}

std::string Sessions::seal(const Ticket& ticket) {
  return SecretBox::deployment().seal(std::to_string(ticket.token) + ":" + str(ticket.username));
}

bool Sessions::unseal(const std::string& sealed, Ticket_var& ticket) {
  std::string plain;
  if (sealed.empty() || !SecretBox::deployment().open(sealed, plain)) return false;
  const size_t colon = plain.find(':');
  if (colon == std::string::npos) return false;
  ticket = new Ticket;
  ticket->token = static_cast<CORBA::Long>(std::stol(plain.substr(0, colon)));
  ticket->username = CORBA::string_dup(plain.substr(colon + 1).c_str());
  return true;
}
