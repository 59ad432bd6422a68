// The console's movie dialogues: search by title (the card, then the
// checkout or the waiting list), checkout, waiting list and return. Only a
// movie that was found is shown and offered.
//
// Not thread safe: the requesting thread only.
#ifndef TAVRIN_MOVIEFLOWS_H
#define TAVRIN_MOVIEFLOWS_H

#include <string>

#include "ConsoleRequests.h"
#include "ConsoleTerminal.h"
#include "DialogueState.h"

class MovieFlows {
 public:
  // All three must outlive the flows; `state` is traced with each request.
  MovieFlows(ConsoleTerminal& terminal, ConsoleRequests& requests, const DialogueState& state);

  void search();  // the interactive search, from the logged-in menu
  // Searches `title`; on success shows the card and, with `userPreference`,
  // checks it out or joins its waiting list.
  bool search(const std::string& title, bool userPreference);
  void checkOutMovie();
  void waitList();
  bool returnMovie(const std::string& title);
  // The last search found the movie: checkout or waiting list may follow.
  bool searchFound() const { return searchStatus_; }
  void forget() { searchStatus_ = false; }

 private:
  void showMovie();
  bool send(Operation op);
  // Checks a title the customer typed; says what is wrong, and puts an
  // accepted title into the request's movie.
  bool takeTitle(const std::string& title);

  ConsoleTerminal& terminal_;
  ConsoleRequests& requests_;
  const DialogueState& state_;
  bool searchStatus_ = false;
};

#endif
