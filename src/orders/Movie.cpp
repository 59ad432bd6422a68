#include "Movie.h"

#include <cstdlib>
#include <string>

#include "Contract.h"
#include "DBFailure.h"
#include "DBQuery.h"
#include "LoggedRequest.h"
#include "SqlText.h"
#include "Trace.h"
#include "User.h"

Movie* Movie::instance = nullptr;

namespace {

const char* const kLimitWaitlisted =
    "The client already has 3 movies with him. So he cannot checkout a movie until he returns "
    "one. Placed in waitlist though!";
const char* const kLimitNotWaitlisted =
    "The client already has 3 movies with him. So he cannot checkout a movie until he returns "
    "one. Failed to place in waitlist as well! ";

// Echoes and sends one statement; a failure raises prefix + the error text,
// as a refusal of the values or as Unavailable.
void runStatement(DBQuery& queryObj, const SqlText& sql, const std::string& prefix) {
  trace("Query: ", sql.shownParts());
  try {
    queryObj.query(sql);
  } catch (const DBFailure& f) {
    raiseFor(f, prefix);
  }
}

// The same for a SELECT, whose result is stored: its row count.
long select(DBQuery& queryObj, const SqlText& sql, const std::string& prefix) {
  runStatement(queryObj, sql, prefix);
  try {
    return queryObj.storeResults();
  } catch (const DBFailure& f) {
    raiseFor(f);
  }
}

unsigned int toNumber(const char* text) {
  return text ? static_cast<unsigned int>(std::atoi(text)) : 0;
}

Ticket_var holderOf(const char* username) {
  Ticket_var holder = new Ticket;
  holder->username = CORBA::string_dup(username ? username : "");
  holder->token = 0;
  return holder;
}

}  // namespace

Movie* Movie::getInstance() {
  // Made once even when the first requests arrive together.
  static Movie* const made = instance = new Movie();
  return made;
}

// ---------------------------------------------------------------- search

void Movie::searchByTitle(MovieInfo& minfo) {
  trace("Movie::searchByTitle called");
  trace("MovieInfo.movieID: ", minfo.movieID);
  trace("MovieInfo.title: ", TraceValue{str(minfo.title)});
  DBQuery queryObj;
  SqlText sql;
  sql << "select * from movie where title = '";
  sql.value(str(minfo.title)) << "'";
  const long found = select(queryObj, sql, "Query failed: ");
  if (found == 1) {
    queryObj.isRows();
    populateMovieInfo(minfo, queryObj);
    return;
  }
  if (found == 0) throw TavrinException("No movie found with the given title\n");
  throw TavrinException(
      "More than one movie found with the given title... Unsupported in the current system "
      "design :) G'day\n");
}

unsigned int Movie::getMovieCount(MovieInfo& minfo, DBQuery& queryObj) {
  trace("Movie::getMovieCount called");
  SqlText sql;
  // Locked: the count decides a checkout, and may be a title met during
  // the work, not locked yet.
  sql << "select count from movie where movieID = " << minfo.movieID << " for update";
  select(queryObj, sql, "Cannot retrieve current movie count: ");
  if (!queryObj.isRows()) throw TavrinException("Movie ID not found\n");
  return toNumber(queryObj.valueOf("count"));
}

void Movie::populateMovieInfo(MovieInfo& minfo, DBQuery& queryObj) {
  trace("Movie::populateMovieInfo called");
  auto text = [&queryObj](const char* column) {
    const char* v = queryObj.valueOf(column);
    return CORBA::string_dup(v ? v : "");
  };
  minfo.movieID = toNumber(queryObj.valueOf("movieID"));
  minfo.title = text("title");
  minfo.director = text("director");
  minfo.releaseDate = text("releaseDate");
  minfo.cast = text("cast");
  minfo.banner = text("banner");
  minfo.category = text("category");
  minfo.rated = text("rated");
  minfo.count = toNumber(queryObj.valueOf("count"));
}

// ---------------------------------------------------------------- wrappers

void Movie::checkoutMovie(MovieInfo& minfo, const Ticket_var& ticket,
                          const ClientTransaction& ctinfo) {
  runRequest({"Movie::checkoutMovie called", "Movie::checkoutMovie(): TavrinException Occurred: ",
              "Movie::checkoutMovie(): Generic Exception Occurred "},
             ticket, ctinfo, [&] { return minfo.movieID; }, [&] { _checkoutMovie(minfo, ticket); });
}

void Movie::placeInWaitlist(MovieInfo& minfo, const Ticket_var& ticket,
                            const ClientTransaction& ctinfo) {
  runRequest({"Movie::placeInWaitlist called",
              "Movie::placeInWaitlist(): TavrinException Occurred: ",
              "Movie::placeInWaitlist(): Generic Exception Occurred "},
             ticket, ctinfo, [&] { return minfo.movieID; }, [&] { _placeInWaitlist(minfo, ticket); });
}

void Movie::returnMovie(MovieInfo& minfo, const Ticket_var& ticket,
                        const ClientTransaction& ctinfo) {
  runRequest({"Movie::returnMovie called", "Movie::returnMovie(): TavrinException Occurred: ",
              "Movie::returnMovie(): Generic Exception Occurred "},
             ticket, ctinfo, [&] { return movieIDOf(str(minfo.title)); },
             [&] {
               _returnMovie(minfo, ticket);
               _clearCustomersFromWaitlist(minfo);
               _clearMoviesFromCustomerWaitlist(ticket);
             });
}

void Movie::runRequest(const Texts& texts, const Ticket_var& ticket,
                       const ClientTransaction& ctinfo,
                       const std::function<CORBA::ULong()>& movieID,
                       const std::function<void()>& work) {
  trace(texts.entry);
  const std::string answered =
      std::string(texts.entry) + ": already carried out, answered from the request log";
  // The log's operation: the name in "Movie::<name> called".
  const std::string entry = texts.entry;
  const size_t from = entry.find("::") + 2;
  const std::string operation = entry.substr(from, entry.find(' ', from) - from);
  LoggedRequest log = LoggedRequest::forTicket(ticket.in(), ctinfo, operation.c_str());
  RequestProtocol::Steps steps;
  steps.family = LockFamily::kMovies;
  steps.texts = {texts.refused, texts.failed, answered.c_str()};
  steps.rows = [&] {
    std::vector<LockedRow> rows{LockedRow::user(str(ticket->username))};
    const CORBA::ULong id = movieID();
    if (id != 0) rows.push_back(LockedRow::movie(id));
    return rows;
  };
  log.supply(steps, [&ticket] { User::getInstance()->validateTicket(ticket); });
  steps.work = work;
  RequestProtocol::run(steps);
}

CORBA::ULong Movie::movieIDOf(const std::string& title) {
  DBQuery queryObj;
  SqlText sql;
  sql << "select movieID from movie where title = '";
  sql.value(title) << "'";
  if (select(queryObj, sql, "Query failed: ") != 1 || !queryObj.isRows()) return 0;
  return toNumber(queryObj.valueOf("movieID"));
}

void Movie::lockMet(const LockedRow& row) {
  try {
    DBTransaction::lockRows(LockFamily::kMovies, {row});
  } catch (const DBFailure& f) {
    raiseFor(f);
  }
}

// ---------------------------------------------------------------- workers

void Movie::addToWaitlist(const std::string& username, CORBA::ULong movieID,
                          const std::string& failPrefix) {
  // A second row for the same user and movie would let a return serve that
  // user twice.
  DBQuery queryObj;
  SqlText waiting;
  waiting << "select * from waitlistedmovies where username = '";
  waiting.value(username) << "' and movieID = " << movieID;
  if (select(queryObj, waiting, failPrefix) > 0) return;
  SqlText insert;
  insert << "insert into waitlistedmovies values('";
  insert.value(username) << "', " << movieID << ", NULL)";
  runStatement(queryObj, insert, failPrefix);
}

void Movie::_checkoutMovie(MovieInfo& minfo, const Ticket_var& ticket) {
  trace("Movie::_checkoutMovie called");
  DBQuery queryObj;
  const std::string username = str(ticket->username);
  // Without the count the limit cannot be applied: its failure ends the
  // request.
  if (User::getInstance()->getOutstandingMovieCount(holderOf(username.c_str())) > 2) {
    // A waiting row for a movie that does not exist would later fail every
    // return of this customer.
    getMovieCount(minfo, queryObj);
    addToWaitlist(username, minfo.movieID, kLimitNotWaitlisted);
    // The waiting row it promises is committed with the refusal.
    throw RefusalKeepingWork(kLimitWaitlisted);
  }
  if (getMovieCount(minfo, queryObj) == 0)
    throw TavrinException("No more copies of the movie available :(");

  SqlText update;
  update << "update movie set count = count - 1 where movieID = " << minfo.movieID;
  runStatement(queryObj, update, "Cannot update movie count: ");
  SqlText insert;
  insert << "insert into checkedoutmovies values('";
  insert.value(username) << "', " << minfo.movieID << ")";
  runStatement(queryObj, insert, "Cannot checkout movie: ");
}

void Movie::_placeInWaitlist(MovieInfo& minfo, const Ticket_var& ticket) {
  trace("Movie::_placeInWaitlist called");
  DBQuery queryObj;
  if (getMovieCount(minfo, queryObj) == 0) {
    addToWaitlist(str(ticket->username), minfo.movieID, "Cannot waitlist user for the movie: ");
    return;
  }
  _checkoutMovie(minfo, ticket);  // keeps the limit refusal recognisable
}

void Movie::_returnMovie(MovieInfo& minfo, const Ticket_var& ticket) {
  trace("Movie::_returnMovie called");
  DBQuery queryObj;
  // Going on after a failed search would use the movie id the client sent,
  // unchecked.
  searchByTitle(minfo);

  const std::string username = str(ticket->username);
  SqlText held;
  held << "select * from checkedoutmovies where username = '";
  held.value(username) << "' and movieID = " << minfo.movieID;
  if (select(queryObj, held, "Cannot confirm movie rented to client: ") == 0)
    throw TavrinException("Movie not rented to client: ");

  SqlText update;
  update << "update movie set count = count + 1 where movieID = " << minfo.movieID;
  runStatement(queryObj, update, "Cannot increase movie count: ");
  // One return gives back one copy: a customer holding two keeps the other.
  SqlText remove;
  remove << "delete from checkedoutmovies where username = '";
  remove.value(username) << "' and movieID = " << minfo.movieID << " limit 1";
  runStatement(queryObj, remove, "Cannot return movie: ");
  // A stale count would decide how many waiting customers are served.
  minfo.count = getMovieCount(minfo, queryObj);
}

// Both passes end at the first failure, which rolls the whole return back.
void Movie::_clearCustomersFromWaitlist(MovieInfo& minfo) {
  trace("Movie::_clearCustomersFromWaitlist called");
  DBQuery queryObj;
  SqlText sql;
  // The waiting rows locked: an account removal cannot take one away
  // between this read and the hand-over.
  sql << "select username from waitlistedmovies where movieID = " << minfo.movieID
      << " order by timeofrequest asc for update";
  select(queryObj, sql, "Error finding next customer on waitlist: ");
  while (minfo.count != 0 && queryObj.isRows()) {
    Ticket_var waiting = holderOf(queryObj.valueOf("username"));
    // Their count holds only under their row: their own checkouts lock it.
    lockMet(LockedRow::user(str(waiting->username)));
    if (User::getInstance()->getOutstandingMovieCount(waiting) > 2) continue;
    handOverFromWaitlist(minfo, waiting);
    --minfo.count;
  }
}

void Movie::_clearMoviesFromCustomerWaitlist(const Ticket_var& ticket) {
  trace("Movie::_clearMoviesFromCustomerWaitlist called");
  DBQuery queryObj;
  const std::string username = str(ticket->username);
  SqlText sql;
  sql << "select movieID from waitlistedmovies where username = '";
  sql.value(username) << "' order by timeofrequest asc";
  select(queryObj, sql, "Error finding movie on " + username + "'s waitlist: ");
  MovieInfo minfo;
  minfo.movieID = 0;
  minfo.count = 0;
  while (queryObj.isRows()) {
    minfo.movieID = toNumber(queryObj.valueOf("movieID"));
    DBQuery countObj;
    if (getMovieCount(minfo, countObj) == 0) continue;
    // A customer who got the returned title straight back from its own
    // waiting list may be at the limit again: then nothing is due.
    if (User::getInstance()->getOutstandingMovieCount(copyTicket(ticket.in())) > 2) break;
    handOverFromWaitlist(minfo, ticket);
    break;
  }
}

void Movie::handOverFromWaitlist(MovieInfo& minfo, const Ticket_var& ticket) {
  _checkoutMovie(minfo, ticket);
  DBQuery removeObj;
  SqlText remove;
  remove << "delete from waitlistedmovies where username = '";
  remove.value(str(ticket->username)) << "' and movieID = " << minfo.movieID;
  runStatement(removeObj, remove, "Error removing the customer from the waitlist: ");
}
