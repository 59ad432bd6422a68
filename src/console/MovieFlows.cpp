#include "MovieFlows.h"

#include "Contract.h"
#include "paramList.h"

namespace {

bool isYes(char c) { return c == 'Y' || c == 'y'; }

}  // namespace

MovieFlows::MovieFlows(ConsoleTerminal& terminal, ConsoleRequests& requests,
                       const DialogueState& state)
    : terminal_(terminal), requests_(requests), state_(state) {}

bool MovieFlows::send(Operation op) { return requests_.send(op, number(state_)); }

void MovieFlows::search() {
  terminal_.trace("in search");
  const std::string title = terminal_.readTitle();
  // Only a movie that was found is shown and offered; a search that found
  // nothing or failed has said why already.
  if (search(title, false)) {
    if (requests_.movieInfo().count == 0) {
      terminal_.say("Movie currently unavailable");
      terminal_.say("");
      terminal_.write("Do you want place the movie in WaitList (y/n): ");
      if (isYes(terminal_.readChoice())) waitList();
    } else {
      terminal_.say("");
      terminal_.write("Do you want to check out movie (y/n): ");
      if (isYes(terminal_.readChoice())) checkOutMovie();
    }
  }
  terminal_.pause();
}

void MovieFlows::showMovie() {
  terminal_.say(
      "!!!!!!!!!!!!************************************** MOVIE DETAILS "
      "*********************************************!!!!!!!!!!");
  terminal_.say("");
  terminal_.say("Title: " + str(requests_.movieInfo().title.in()));
  terminal_.say("Director: " + str(requests_.movieInfo().director.in()));
  terminal_.say("Release date: " + str(requests_.movieInfo().releaseDate.in()));
  terminal_.say("Cast: " + str(requests_.movieInfo().cast.in()));
  terminal_.say("Banner: " + str(requests_.movieInfo().banner.in()));
  terminal_.say("Category: " + str(requests_.movieInfo().category.in()));
  terminal_.say("Rated: " + str(requests_.movieInfo().rated.in()));
  terminal_.say("");
  terminal_.say(
      "!!!!!!!!!!!!!*************************************************"
      "********************"
      "******************************!!!!!!!!!");
}

bool MovieFlows::search(const std::string& title, bool userPreference) {
  // The permission to check out belongs to the last search only.
  searchStatus_ = false;
  if (!takeTitle(title)) return false;
  terminal_.trace("Client: Before Having Called Thread ..... movieTitle: " + title);
  searchStatus_ = send(Operation::Search);
  terminal_.trace(searchStatus_ ? "searchStatus_: is true" : "searchStatus_: is false");
  if (!searchStatus_) return false;
  showMovie();
  if (userPreference) {
    if (requests_.movieInfo().count == 0)
      waitList();
    else
      checkOutMovie();
  }
  return true;
}

void MovieFlows::checkOutMovie() {
  if (!searchStatus_) {
    terminal_.say("Cannot checkout Movie without searching for it");
    return;
  }
  requests_.numberRequest(Operation::Checkout, str(requests_.movieInfo().title.in()));
  send(Operation::Checkout);
  searchStatus_ = false;
}

void MovieFlows::waitList() {
  if (requests_.movieInfo().count == 0 && searchStatus_) {
    requests_.numberRequest(Operation::Waitlist, str(requests_.movieInfo().title.in()));
    send(Operation::Waitlist);
  } else {
    terminal_.say("Movie can't be placed in waitList, Invalid request");
  }
  searchStatus_ = false;
}

bool MovieFlows::takeTitle(const std::string& title) {
  paramList checker;
  const std::string errors = checker.allErrors(title);
  if (!errors.empty()) {
    terminal_.write(errors);
    return false;
  }
  requests_.movieInfo().title = CORBA::string_dup(title.c_str());
  return true;
}

bool MovieFlows::returnMovie(const std::string& title) {
  if (!takeTitle(title)) return false;
  requests_.numberRequest(Operation::Return, title);
  return send(Operation::Return);
}
