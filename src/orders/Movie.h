// The order server's catalogue logic: title search, checkout with the limit
// of three movies, waiting lists and returns, as SQL on the shared database.
//
// A process-wide singleton without state of its own, made once (thread
// safe). Thread safe: each request runs on its thread's own connection
// (RequestScope). A request locks the parent rows it touches (the title's
// `movie` row, the customer's `user` row) first; the rows it meets during
// its work (a waiting customer, another title on the customer's waiting
// list) it locks when it meets them, and a deadlock that may make is
// retried by RequestProtocol.
//
// Errors: TavrinException is an answer of the rules (no copy left, the limit
// of three, a movie not held, a bad ticket, values the database refuses);
// Unavailable means this replica could not do the work (DBFailure.h).
#ifndef TAVRIN_MOVIE_H
#define TAVRIN_MOVIE_H

#include <ServerIDL.hh>

#include <functional>
#include <string>

#include "DBTransaction.h"

class DBQuery;

class Movie {
 public:
  static Movie* getInstance();

  // Fills every member of minfo from the catalogue row of minfo.title.
  void searchByTitle(MovieInfo& minfo);

  // The state-changing requests, each through RequestProtocol: one
  // transaction under the rows' locks, the request log the authority. A
  // request already logged gets its logged answer again; a refusal is
  // logged with the request.
  void checkoutMovie(MovieInfo& minfo, const Ticket_var& ticket, const ClientTransaction& ctinfo);
  void placeInWaitlist(MovieInfo& minfo, const Ticket_var& ticket,
                       const ClientTransaction& ctinfo);
  // minfo.title selects the movie; minfo comes back refilled, with count the
  // copies left once the waiting lists were served.
  void returnMovie(MovieInfo& minfo, const Ticket_var& ticket, const ClientTransaction& ctinfo);

 private:
  Movie() {}
  Movie(const Movie&) = delete;
  Movie& operator=(const Movie&) = delete;

  // The request `operation` (the contract's name, which its trace lines
  // carry) through RequestProtocol: the request log, the ticket checked
  // before the locks, the title's row `movieID` (0: none) and the
  // customer's row locked, then `work`.
  void runRequest(const char* operation, const Ticket_var& ticket, const ClientTransaction& ctinfo,
                  const std::function<CORBA::ULong()>& movieID,
                  const std::function<void()>& work);
  // The number of the title, 0 when there is none; read before any lock,
  // since a title keeps its number.
  CORBA::ULong movieIDOf(const std::string& title);
  // Locks a row met during the work (Movie.h's header comment).
  static void lockMet(const LockedRow& row);

  unsigned int getMovieCount(MovieInfo& minfo, DBQuery& queryObj);
  void populateMovieInfo(MovieInfo& minfo, DBQuery& queryObj);

  void _checkoutMovie(MovieInfo& minfo, const std::string& username);
  void _placeInWaitlist(MovieInfo& minfo, const std::string& username);
  void _returnMovie(MovieInfo& minfo, const std::string& username);
  void _clearCustomersFromWaitlist(MovieInfo& minfo);
  void _clearMoviesFromCustomerWaitlist(const std::string& username);
  // Both passes: checks the copy out to the waiting customer and removes
  // the waiting row.
  void handOverFromWaitlist(MovieInfo& minfo, const std::string& username);
  // Puts the user on the movie's waiting list unless already there; a
  // failure raises failPrefix + the error text.
  void addToWaitlist(const std::string& username, CORBA::ULong movieID,
                     const std::string& failPrefix);
};

#endif
