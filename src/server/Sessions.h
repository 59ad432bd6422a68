// A customer's sessions, in table `ticket`, with the client that opened
// each in table `client`: at most one per user, its token
// stored only as a keyed hash (its tag, SecretBox), live while neither idle
// nor too old by the database's clock (DBSettings::limits()). An ended
// session's tag stays in `ended_ticket` for the guessing window: a late
// request of the customer's with it is refused but not counted as a guess.
//
// Used by both servers: the account server opens and ends sessions, and
// both check tickets. Stateless and thread safe: every call runs on its
// thread's connection (RequestScope), inside whatever transaction and row
// locks the caller holds.
//
// Errors: a ticket that is not live is refused with kBadTicket
// (TavrinException); a name cut off for guessing from this caller gets
// Unavailable (kCutOff), and a database failure Unavailable or a refusal of
// the values (DBFailure.h's raiseFor).
#ifndef TAVRIN_SESSIONS_H
#define TAVRIN_SESSIONS_H

#include <ServerIDL.hh>

#include <string>

class Sessions {
 public:
  static const char* const kBadTicket;

  // The keyed hash a session's token is stored and compared as.
  static std::string tag(const std::string& username, CORBA::Long token);
  static std::string tag(const Ticket& ticket) {
    return tag(ticket.username.in(), ticket.token);
  }

  // Opens a session of `username`, who has none, for the client of
  // `ctinfo`: a new random token, stored as its tag. The ticket carries the
  // name as given.
  static Ticket_var open(const std::string& username, const ClientTransaction& ctinfo);
  // Ends the user's session, if any, keeping its tag for the guessing
  // window; its client and the sealed ticket of its log-in go with it.
  static void end(const std::string& username);

  // Returns when the ticket is its user's live session, and keeps it alive
  // (written at most once per tenth of the idle limit). Else refuses, and
  // counts the ticket as a guess unless it was one of the user's own
  // sessions. One statement while nothing is wrong.
  static void validate(const Ticket& ticket);
  // Whether the user's session with `tag` is stored and live.
  static bool live(const std::string& username, const std::string& tag);
  // Whether the user has a session stored (live or not); with a tag, that
  // one.
  static bool stored(const std::string& username, const std::string& tag = "");

  // A log-in's answer as the request log keeps it: the ticket, sealed.
  static std::string seal(const Ticket& ticket);
  // False when `sealed` is empty (the session ended) or cannot be opened.
  static bool unseal(const std::string& sealed, Ticket_var& ticket);
};

#endif
