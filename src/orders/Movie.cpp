#include "Movie.h"

#include <mysql.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "Contract.h"
#include "CustTransaction.h"
#include "DBConnection.h"
#include "DBFailure.h"
#include "DBQuery.h"
#include "DBTransaction.h"
#include "User.h"

Movie* Movie::instance = nullptr;

namespace {

const char* const kLimitWaitlisted =
    "The client already has 3 movies with him. So he cannot checkout a movie until he returns "
    "one. Placed in waitlist though!";
const char* const kLimitNotWaitlisted =
    "The client already has 3 movies with him. So he cannot checkout a movie until he returns "
    "one. Failed to place in waitlist as well! ";

// A refusal by the rental rules, decided by what the tables hold under the
// lock. It is logged with the request, so that a replica running the same
// request later, after the tables changed, gives the same answer instead of
// carrying it out. Failures of statements are not: a later try may succeed.
class RuleRefusal : public TavrinException {
 public:
  explicit RuleRefusal(const char* msg) : TavrinException(msg) {}
};

// The refusal at the limit of three. The waiting row it promises has to be
// committed, not rolled back with the rest of the request.
class LimitWaitlisted : public RuleRefusal {
 public:
  explicit LimitWaitlisted(const char* msg) : RuleRefusal(msg) {}
};


void logQuery(const std::string& stmt) { std::cout << "Query: " << stmt << std::endl; }

// Raises what a failed statement of `queryObj` means: a refusal of the
// values (prefix + error text), or Unavailable.
[[noreturn]] void failed(const std::string& prefix, const DBQuery& queryObj) {
  raiseStatementFailure(prefix, queryObj.mySQLerror, queryObj.mySQLerrno);
}

// Logs and sends one statement; a failure raises failPrefix + error text.
void runStatement(DBQuery& queryObj, const std::string& stmt, const std::string& failPrefix) {
  logQuery(stmt);
  if (!queryObj.query(stmt.c_str())) failed(failPrefix, queryObj);
}

std::string esc(const char* value) { return DBConnection::escape(str(value)); }

unsigned int toNumber(const char* text) {
  return text ? static_cast<unsigned int>(std::atoi(text)) : 0;
}



// Logs a refused request with its answer and commits whatever the
// transaction holds. Raises (after rolling back) when either failed.
void commitRefusal(DBTransaction& transaction, CustTransaction& ctrans, const Ticket& ticket,
                   const ClientTransaction& ctinfo, const TavrinException& answer) {
  try {
    ctrans.AddTransaction(ticket, ctinfo, str(answer.errorMessage.in()));
  } catch (...) {
    transaction.rollback();
    throw;
  }
  if (!transaction.commit()) {
    Unavailable e = commitFailure(transaction.mySQLerrno, transaction.mySQLerror);
    transaction.rollback();
    throw e;
  }
}

struct RequestTexts {
  const char* entry;
  const char* tavrinException;
  const char* genericException;
};

}  // namespace

Movie* Movie::getInstance() {
  if (instance == nullptr) instance = new Movie();
  return instance;
}

// ---------------------------------------------------------------- search

void Movie::searchByTitle(MovieInfo& minfo) {
  std::cout << "Movie::searchByTitle called" << std::endl;
  std::cout << "MovieInfo.movieID: " << minfo.movieID << std::endl;
  std::cout << "MovieInfo.title: " << str(minfo.title) << std::endl;
  DBQuery queryObj;
  std::string stmt = "select * from movie where title = '" + esc(minfo.title) + "'";
  logQuery(stmt);
  if (!queryObj.query(stmt.c_str())) {
    std::cout << "searchByTitle(): In else of queryObj.query()" << std::endl;
    failed("Query failed: ", queryObj);
  }
  if (!queryObj.storeResults()) {
    std::cout << "searchByTitle(): In else of queryObj.storResults()" << std::endl;
    failed("", queryObj);
  }
  long found = queryObj.rows();
  if (found == 1) {
    queryObj.isRows();
    populateMovieInfo(minfo, queryObj);
    queryObj.freeit();
    return;
  }
  queryObj.freeit();
  if (found == 0) throw RuleRefusal("No movie found with the given title\n");
  throw RuleRefusal(
      "More than one movie found with the given title... Unsupported in the current system "
      "design :) G'day\n");
}

unsigned int Movie::getMovieCount(MovieInfo& minfo, DBQuery& queryObj) {
  std::cout << "Movie::getMovieCount called" << std::endl;
  std::ostringstream stmt;
  stmt << "select count from movie where movieID = " << minfo.movieID;
  logQuery(stmt.str());
  if (!queryObj.query(stmt.str().c_str())) failed("Cannot retrieve current movie count: ", queryObj);
  if (!queryObj.storeResults()) failed("", queryObj);
  if (!queryObj.isRows()) {
    queryObj.freeit();
    throw RuleRefusal("Movie ID not found\n");
  }
  unsigned int count = toNumber(queryObj.valueOf("count"));
  queryObj.freeit();
  return count;
}

void Movie::populateMovieInfo(MovieInfo& minfo, DBQuery& queryObj) {
  std::cout << "Movie::populateMovieInfo called" << std::endl;
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
  runRequest(Request::kCheckout, minfo, ticket, ctinfo);
}

void Movie::placeInWaitlist(MovieInfo& minfo, const Ticket_var& ticket,
                            const ClientTransaction& ctinfo) {
  runRequest(Request::kWaitlist, minfo, ticket, ctinfo);
}

void Movie::returnMovie(MovieInfo& minfo, const Ticket_var& ticket,
                        const ClientTransaction& ctinfo) {
  runRequest(Request::kReturn, minfo, ticket, ctinfo);
}

void Movie::runRequest(Request request, MovieInfo& minfo, const Ticket_var& ticket,
                       const ClientTransaction& ctinfo) {
  static const RequestTexts kCheckoutTexts = {
      "Movie::checkoutMovie called", "Movie::checkoutMovie(): TavrinException Occurred: ",
      "Movie::checkoutMovie(): Generic Exception Occurred "};
  static const RequestTexts kWaitlistTexts = {
      "Movie::placeInWaitlist called", "Movie::placeInWaitlist(): TavrinException Occurred: ",
      "Movie::placeInWaitlist(): Generic Exception Occurred "};
  static const RequestTexts kReturnTexts = {
      "Movie::returnMovie called", "Movie::returnMovie(): TavrinException Occurred: ",
      "Movie::returnMovie(): Generic Exception Occurred "};
  const RequestTexts& texts = request == Request::kCheckout   ? kCheckoutTexts
                              : request == Request::kWaitlist ? kWaitlistTexts
                                                              : kReturnTexts;

  std::cout << texts.entry << std::endl;
  DBTransaction transaction;
  CustTransaction ctrans;
  bool locked = false;

  // Prints an exception that ends the request, undoes what the transaction
  // holds and releases the lock; anything unexpected leaves as Unavailable.
  auto abandon = [&](const char* what) {
    std::cout << texts.genericException << what << std::endl;
    transaction.rollback();
    if (locked) transaction.unlockTables();
  };

  // Replicas of one request take turns, so those after the first find it
  // logged below without queueing for the table lock.
  if (!transaction.prepare(DBTransaction::claimKey(str(ticket->username), str(ctinfo.clientID),
                                                    ctinfo.transactionID))) {
    Unavailable e(unavailabilityOf(transaction.mySQLerrno, Unavailable::kStartFailed),
                  "cannot prepare the request: " + std::string(transaction.mySQLerror));
    std::cout << texts.genericException << e.what() << std::endl;
    throw e;
  }

  // True when the request was carried out before; raises its logged
  // refusal. A committed entry is final: before the lock it answers the
  // replicas after the first, and under the lock it is the authority.
  auto answeredFromLog = [&]() -> bool {
    std::string loggedRefusal;
    if (!ctrans.CheckTransaction(ticket.in(), ctinfo, &loggedRefusal)) return false;
    if (!loggedRefusal.empty()) throw TavrinException(loggedRefusal.c_str());
    return true;
  };

  try {
    // One table per statement before the lock: a statement reading two
    // could deadlock with a replica taking its table locks.
    if (answeredFromLog()) {
      std::cout << texts.entry << ": already carried out, answered from the request log"
                << std::endl;
      return;
    }
    User::getInstance()->validateTicket(ticket);
    if (!transaction.lockMovieTables())
      throw Unavailable(unavailabilityOf(transaction.mySQLerrno, Unavailable::kStatementFailed),
                        DBTransaction::kMovieLockFailed + std::string(transaction.mySQLerror));
    locked = true;
    if (!transaction.start())
      throw Unavailable(unavailabilityOf(transaction.mySQLerrno, Unavailable::kStartFailed),
                        "cannot set autocommit to 0: " + std::string(transaction.mySQLerror));
    if (answeredFromLog()) {
      transaction.unlockTables();
      return;
    }
  } catch (const TavrinException& e) {
    std::cout << texts.tavrinException << e << std::endl;
    transaction.rollback();
    if (locked) transaction.unlockTables();
    throw;
  } catch (const Unavailable& e) {
    abandon(e.what());
    throw;
  } catch (...) {
    abandon("");
    throw Unavailable(Unavailable::kInternal, texts.genericException);
  }

  try {
    switch (request) {
      case Request::kCheckout:
        _checkoutMovie(minfo, ticket);
        break;
      case Request::kWaitlist:
        _placeInWaitlist(minfo, ticket);
        break;
      case Request::kReturn:
        _returnMovie(minfo, ticket);
        break;
    }
    ctrans.AddTransaction(ticket.in(), ctinfo);
    if (request == Request::kReturn) {
      _clearCustomersFromWaitlist(minfo);
      _clearMoviesFromCustomerWaitlist(ticket);
    }
  } catch (const LimitWaitlisted& e) {
    // Keep the waiting row the refusal speaks of, logged with the refusal.
    std::cout << texts.tavrinException << e << std::endl;
    try {
      commitRefusal(transaction, ctrans, ticket.in(), ctinfo, e);
    } catch (...) {
      transaction.unlockTables();
      throw;
    }
    transaction.unlockTables();
    throw TavrinException(e);
  } catch (const TavrinException& e) {
    // An answer of the rules, or the database refusing the values: logged
    // with the request, so that a replica running it later, on changed
    // tables, gives the same answer instead of carrying it out.
    std::cout << texts.tavrinException << e << std::endl;
    transaction.rollback();
    try {
      commitRefusal(transaction, ctrans, ticket.in(), ctinfo, e);
    } catch (...) {
      // Unlogged, the refusal still stands; a replica that runs the request
      // later may differ only where the tables changed meanwhile.
    }
    transaction.unlockTables();
    throw TavrinException(e);
  } catch (const Unavailable& e) {
    abandon(e.what());
    throw;
  } catch (...) {
    abandon("");
    throw Unavailable(Unavailable::kInternal, texts.genericException);
  }

  if (!transaction.commit()) {
    Unavailable e = commitFailure(transaction.mySQLerrno, transaction.mySQLerror);
    std::cout << texts.genericException << e.what() << std::endl;
    transaction.rollback();
    transaction.unlockTables();
    throw e;
  }
  transaction.unlockTables();
}

// ---------------------------------------------------------------- workers

int Movie::addToWaitlist(const std::string& username, CORBA::ULong movieID, DBQuery& queryObj) {
  // A second row for the same user and movie would let a return serve that
  // user twice.
  std::ostringstream select;
  select << "select * from waitlistedmovies where username = '" << DBConnection::escape(username)
         << "' and movieID = " << movieID;
  logQuery(select.str());
  if (!queryObj.query(select.str().c_str()) || !queryObj.storeResults()) return 0;
  bool waiting = queryObj.rows() > 0;
  queryObj.freeit();
  if (waiting) return 1;

  std::ostringstream insert;
  insert << "insert into waitlistedmovies values('" << DBConnection::escape(username) << "', "
         << movieID << ", NULL)";
  logQuery(insert.str());
  return queryObj.query(insert.str().c_str());
}

void Movie::_checkoutMovie(MovieInfo& minfo, const Ticket_var& ticket) {
  std::cout << "Movie::_checkoutMovie called" << std::endl;
  DBQuery queryObj;
  Ticket_var tmpTicket = copyTicket(ticket.in());
  std::string username = str(tmpTicket->username);

  unsigned int outstandingMovieCount = 0;
  try {
    outstandingMovieCount = User::getInstance()->getOutstandingMovieCount(tmpTicket);
  } catch (const TavrinException& e) {
    std::cout << "Movie::_checkoutMovie(): TavrinException 1 Occurred: " << e << std::endl;
    throw;
  } catch (...) {
    // Without the count the limit cannot be applied.
    std::cout << "Movie::_checkoutMovie(): Generic Exception 1 Occurred " << std::endl;
    throw;
  }

  if (outstandingMovieCount > 2) {
    // A waiting row for a movie that does not exist would later fail every
    // return of this customer.
    getMovieCount(minfo, queryObj);
    if (!addToWaitlist(username, minfo.movieID, queryObj)) failed(kLimitNotWaitlisted, queryObj);
    throw LimitWaitlisted(kLimitWaitlisted);
  }

  unsigned int movieCount = 0;
  try {
    movieCount = getMovieCount(minfo, queryObj);
  } catch (const TavrinException& e) {
    std::cout << "Movie::_checkoutMovie(): TavrinException 2 Occurred " << e << std::endl;
    throw;
  } catch (...) {
    std::cout << "Movie::_checkoutMovie(): Generic Exception 2 Occurred " << std::endl;
    throw;
  }
  if (movieCount == 0) throw RuleRefusal("No more copies of the movie available :(");

  std::ostringstream update;
  update << "update movie set count = count - 1 where movieID = " << minfo.movieID;
  runStatement(queryObj, update.str(), "Cannot update movie count: ");

  std::ostringstream insert;
  insert << "insert into checkedoutmovies values('" << DBConnection::escape(username) << "', "
         << minfo.movieID << ")";
  runStatement(queryObj, insert.str(), "Cannot checkout movie: ");
}

void Movie::_placeInWaitlist(MovieInfo& minfo, const Ticket_var& ticket) {
  std::cout << "Movie::_placeInWaitlist called" << std::endl;
  DBQuery queryObj;
  unsigned int movieCount = 0;
  try {
    movieCount = getMovieCount(minfo, queryObj);
  } catch (const TavrinException& e) {
    std::cout << "Movie::_placeInWaitlist(): TavrinException 1 Occurred: " << e << std::endl;
    throw;
  } catch (...) {
    std::cout << "Movie::_placeInWaitlist(): Generic Exception 1 Occurred" << std::endl;
    throw;
  }

  if (movieCount == 0) {
    if (!addToWaitlist(str(ticket->username), minfo.movieID, queryObj))
      failed("Cannot waitlist user for the movie: ", queryObj);
    return;
  }

  try {
    _checkoutMovie(minfo, ticket);
  } catch (const TavrinException& e) {
    std::cout << "Movie::_placeInWaitlist(): TavrinException 2  Occurred: " << e << std::endl;
    throw;  // keeps the limit refusal recognisable
  } catch (...) {
    std::cout << "Movie::_placeInWaitlist(): Generic Exception 2  Occurred" << std::endl;
    throw;
  }
}

void Movie::_returnMovie(MovieInfo& minfo, const Ticket_var& ticket) {
  std::cout << "Movie::_returnMovie called" << std::endl;
  DBQuery queryObj;
  try {
    searchByTitle(minfo);
  } catch (const TavrinException& e) {
    std::cout << "Movie::_returnMovie(): TavrinException Occurred: " << e << std::endl;
    throw;
  } catch (...) {
    // Going on would use the movie id the client sent, unchecked.
    std::cout << "Movie::_returnMovie(): Generic Exception Occurred" << std::endl;
    throw;
  }

  std::string username = esc(ticket->username);
  std::ostringstream select;
  select << "select * from checkedoutmovies where username = '" << username
         << "' and movieID = " << minfo.movieID;
  runStatement(queryObj, select.str(), "Cannot confirm movie rented to client: ");
  if (!queryObj.storeResults()) failed("", queryObj);
  if (queryObj.rows() == 0) {
    queryObj.freeit();
    throw RuleRefusal((std::string("Movie not rented to client: ") + queryObj.mySQLerror).c_str());
  }
  queryObj.freeit();

  std::ostringstream update;
  update << "update movie set count = count + 1 where movieID = " << minfo.movieID;
  runStatement(queryObj, update.str(), "Cannot increase movie count: ");

  std::ostringstream remove;
  // One return gives back one copy: a customer holding two keeps the other.
  remove << "delete from checkedoutmovies where username = '" << username
         << "' and movieID = " << minfo.movieID << " limit 1";
  runStatement(queryObj, remove.str(), "Cannot return movie: ");

  try {
    minfo.count = getMovieCount(minfo, queryObj);
  } catch (const TavrinException& e) {
    std::cout << "Movie::_returnMovie(): TavrinException 2 Occurred: " << e << std::endl;
    throw;
  } catch (...) {
    // A stale count would decide how many waiting customers are served.
    std::cout << "Movie::_returnMovie(): Generic Exception 2 Occurred" << std::endl;
    throw;
  }
}

// Both passes end at the first failure and hand it to the wrapper, which
// rolls the whole return back; the listing is never read once released.
void Movie::_clearCustomersFromWaitlist(MovieInfo& minfo) {
  std::cout << "Movie::_clearCustomersFromWaitlist called" << std::endl;
  DBQuery queryObj;
  std::ostringstream select;
  select << "select username from waitlistedmovies where "
         << "movieID = " << minfo.movieID << " order by timeofrequest asc";
  runStatement(queryObj, select.str(), "Error finding next customer on waitlist: ");
  if (!queryObj.storeResults()) failed("", queryObj);

  Ticket_var tempTicket = new Ticket;
  tempTicket->token = 0;
  unsigned int outstandingMovieCount = 0;
  while (minfo.count != 0 && queryObj.isRows()) {
    const char* name = queryObj.valueOf("username");
    tempTicket->username = CORBA::string_dup(name ? name : "");
    try {
      outstandingMovieCount = User::getInstance()->getOutstandingMovieCount(tempTicket);
    } catch (const TavrinException& e) {
      std::cout << "Movie::_clearCustomersFromWaitlist(): TavrinException Occurred: " << e
                << std::endl;
      queryObj.freeit();
      throw;
    } catch (...) {
      std::cout << "Movie::_clearCustomersFromWaitlist(): Generic Exception Occurred"
                << std::endl;
      queryObj.freeit();
      throw;
    }
    if (outstandingMovieCount > 2) continue;

    handOverFromWaitlist(minfo, tempTicket, "_clearCustomersFromWaitlist");
    --minfo.count;
  }
  queryObj.freeit();
}

void Movie::_clearMoviesFromCustomerWaitlist(const Ticket_var& ticket) {
  std::cout << "Movie::_clearMoviesFromCustomerWaitlist called" << std::endl;
  DBQuery queryObj;
  std::string username = str(ticket->username);
  std::ostringstream select;
  select << "select movieID from waitlistedmovies where "
         << "username = '" << DBConnection::escape(username) << "' order by timeofrequest asc";
  runStatement(queryObj, select.str(), "Error finding movie on " + username + "'s waitlist: ");
  if (!queryObj.storeResults()) failed("", queryObj);

  MovieInfo minfo;
  minfo.movieID = 0;
  minfo.count = 0;
  while (queryObj.isRows()) {
    minfo.movieID = toNumber(queryObj.valueOf("movieID"));
    DBQuery countObj;
    unsigned int available = 0;
    unsigned int held = 0;
    try {
      available = getMovieCount(minfo, countObj);
      // A customer who got the returned title straight back from its own
      // waiting list may be at the limit again: then nothing is due.
      if (available != 0) {
        Ticket_var tmpTicket = copyTicket(ticket.in());
        held = User::getInstance()->getOutstandingMovieCount(tmpTicket);
      }
    } catch (const TavrinException& e) {
      std::cout << "Movie::_clearMoviesFromCustomerWaitlist(): TavrinException Occurred: " << e
                << std::endl;
      queryObj.freeit();
      throw;
    } catch (...) {
      std::cout << "Movie::_clearMoviesFromCustomerWaitlist(): Generic Exception Occurred"
                << std::endl;
      queryObj.freeit();
      throw;
    }
    if (available == 0) continue;
    if (held > 2) break;

    handOverFromWaitlist(minfo, ticket, "_clearMoviesFromCustomerWaitlist");
    break;
  }
  queryObj.freeit();
}

void Movie::handOverFromWaitlist(MovieInfo& minfo, const Ticket_var& ticket, const char* pass) {
  try {
    _checkoutMovie(minfo, ticket);
    DBQuery removeObj;
    std::ostringstream remove;
    remove << "delete from waitlistedmovies where "
           << "username = '" << esc(ticket->username) << "' and movieID = " << minfo.movieID;
    runStatement(removeObj, remove.str(), "Error removing the customer from the waitlist: ");
  } catch (const TavrinException& e) {
    std::cout << "Movie::" << pass << "(): TavrinException 2 Occurred: " << e << std::endl;
    throw;
  } catch (...) {
    std::cout << "Movie::" << pass << "(): Generic Exception 2 Occurred" << std::endl;
    throw;
  }
}
