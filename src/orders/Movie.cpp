#include "Movie.h"

#include <cstdlib>
#include <string>

#include "Contract.h"
#include "DBFailure.h"
#include "DBQuery.h"
#include "LoggedRequest.h"
#include "Sessions.h"
#include "SqlText.h"
#include "Trace.h"
#include "User.h"

namespace {

const char* const kLimitWaitlisted =
    "The client already has 3 movies with him. So he cannot checkout a movie until he returns "
    "one. Placed in waitlist though!";
const char* const kLimitNotWaitlisted =
    "The client already has 3 movies with him. So he cannot checkout a movie until he returns "
    "one. Failed to place in waitlist as well! ";

unsigned int toNumber(const char* text) {
  return text ? static_cast<unsigned int>(std::atoi(text)) : 0;
}

}  // namespace

Movie* Movie::getInstance() {
  // Made once even when the first requests arrive together.
  static Movie* const made = new Movie();
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
  const long found = queryObj.select(sql, "Query failed: ");
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
  queryObj.select(sql, "Cannot retrieve current movie count: ");
  if (!queryObj.isRows()) throw TavrinException("Movie ID not found\n");
  return toNumber(queryObj.valueOf("count"));
}

void Movie::populateMovieInfo(MovieInfo& minfo, DBQuery& queryObj) {
  trace("Movie::populateMovieInfo called");
  auto text = [&queryObj](const char* column) {
    return CORBA::string_dup(queryObj.text(column).c_str());
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
  runRequest("checkoutMovie", ticket, ctinfo, [&] { return minfo.movieID; },
             [&] { _checkoutMovie(minfo, str(ticket->username)); });
}

void Movie::placeInWaitlist(MovieInfo& minfo, const Ticket_var& ticket,
                            const ClientTransaction& ctinfo) {
  runRequest("placeInWaitlist", ticket, ctinfo, [&] { return minfo.movieID; },
             [&] { _placeInWaitlist(minfo, str(ticket->username)); });
}

void Movie::returnMovie(MovieInfo& minfo, const Ticket_var& ticket,
                        const ClientTransaction& ctinfo) {
  runRequest("returnMovie", ticket, ctinfo, [&] { return movieIDOf(str(minfo.title)); }, [&] {
    _returnMovie(minfo, str(ticket->username));
    _clearCustomersFromWaitlist(minfo);
    _clearMoviesFromCustomerWaitlist(str(ticket->username));
  });
}

void Movie::runRequest(const char* operation, const Ticket_var& ticket,
                       const ClientTransaction& ctinfo,
                       const std::function<CORBA::ULong()>& movieID,
                       const std::function<void()>& work) {
  const std::string name = std::string("Movie::") + operation;
  trace("Movie::", operation, " called");
  const std::string refused = name + "(): TavrinException Occurred: ";
  const std::string failed = name + "(): Generic Exception Occurred ";
  const std::string answered = name + " called: already carried out, answered from the request log";
  LoggedRequest log = LoggedRequest::forTicket(ticket.in(), ctinfo, operation);
  RequestProtocol::Steps steps;
  steps.family = LockFamily::kMovies;
  steps.texts = {refused.c_str(), failed.c_str(), answered.c_str()};
  steps.rows = [&] {
    std::vector<LockedRow> rows{LockedRow::user(str(ticket->username))};
    const CORBA::ULong id = movieID();
    if (id != 0) rows.push_back(LockedRow::movie(id));
    return rows;
  };
  log.supply(steps, [&ticket] { Sessions::validate(ticket.in()); });
  steps.work = work;
  RequestProtocol::run(steps);
}

CORBA::ULong Movie::movieIDOf(const std::string& title) {
  DBQuery queryObj;
  SqlText sql;
  sql << "select movieID from movie where title = '";
  sql.value(title) << "'";
  if (queryObj.select(sql, "Query failed: ") != 1 || !queryObj.isRows()) return 0;
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
  if (queryObj.select(waiting, failPrefix) > 0) return;
  SqlText insert;
  insert << "insert into waitlistedmovies values('";
  insert.value(username) << "', " << movieID << ", NULL)";
  queryObj.send(insert, failPrefix);
}

void Movie::_checkoutMovie(MovieInfo& minfo, const std::string& username) {
  trace("Movie::_checkoutMovie called");
  DBQuery queryObj;
  // Without the count the limit cannot be applied: its failure ends the
  // request.
  if (User::getInstance()->getOutstandingMovieCount(username) > 2) {
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
  queryObj.send(update, "Cannot update movie count: ");
  SqlText insert;
  insert << "insert into checkedoutmovies values('";
  insert.value(username) << "', " << minfo.movieID << ")";
  queryObj.send(insert, "Cannot checkout movie: ");
}

void Movie::_placeInWaitlist(MovieInfo& minfo, const std::string& username) {
  trace("Movie::_placeInWaitlist called");
  DBQuery queryObj;
  if (getMovieCount(minfo, queryObj) == 0) {
    addToWaitlist(username, minfo.movieID, "Cannot waitlist user for the movie: ");
    return;
  }
  _checkoutMovie(minfo, username);  // keeps the limit refusal recognisable
}

void Movie::_returnMovie(MovieInfo& minfo, const std::string& username) {
  trace("Movie::_returnMovie called");
  DBQuery queryObj;
  // Going on after a failed search would use the movie id the client sent,
  // unchecked.
  searchByTitle(minfo);

  SqlText held;
  held << "select * from checkedoutmovies where username = '";
  held.value(username) << "' and movieID = " << minfo.movieID;
  if (queryObj.select(held, "Cannot confirm movie rented to client: ") == 0)
    throw TavrinException("Movie not rented to client: ");

  SqlText update;
  update << "update movie set count = count + 1 where movieID = " << minfo.movieID;
  queryObj.send(update, "Cannot increase movie count: ");
  // One return gives back one copy: a customer holding two keeps the other.
  SqlText remove;
  remove << "delete from checkedoutmovies where username = '";
  remove.value(username) << "' and movieID = " << minfo.movieID << " limit 1";
  queryObj.send(remove, "Cannot return movie: ");
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
  queryObj.select(sql, "Error finding next customer on waitlist: ");
  while (minfo.count != 0 && queryObj.isRows()) {
    const std::string waiting = queryObj.text("username");
    // Their count holds only under their row: their own checkouts lock it.
    lockMet(LockedRow::user(waiting));
    if (User::getInstance()->getOutstandingMovieCount(waiting) > 2) continue;
    handOverFromWaitlist(minfo, waiting);
    --minfo.count;
  }
}

void Movie::_clearMoviesFromCustomerWaitlist(const std::string& username) {
  trace("Movie::_clearMoviesFromCustomerWaitlist called");
  DBQuery queryObj;
  SqlText sql;
  sql << "select movieID from waitlistedmovies where username = '";
  sql.value(username) << "' order by timeofrequest asc";
  queryObj.select(sql, "Error finding movie on " + username + "'s waitlist: ");
  MovieInfo minfo;
  minfo.movieID = 0;
  minfo.count = 0;
  while (queryObj.isRows()) {
    minfo.movieID = toNumber(queryObj.valueOf("movieID"));
    DBQuery countObj;
    if (getMovieCount(minfo, countObj) == 0) continue;
    // A customer who got the returned title straight back from its own
    // waiting list may be at the limit again: then nothing is due.
    if (User::getInstance()->getOutstandingMovieCount(username) > 2) break;
    handOverFromWaitlist(minfo, username);
    break;
  }
}

void Movie::handOverFromWaitlist(MovieInfo& minfo, const std::string& username) {
  _checkoutMovie(minfo, username);
  DBQuery removeObj;
  SqlText remove;
  remove << "delete from waitlistedmovies where username = '";
  remove.value(username) << "' and movieID = " << minfo.movieID;
  removeObj.send(remove, "Error removing the customer from the waitlist: ");
}
