// The console dialogues: the movie flows.
#include "Client.h"
#include "Contract.h"
#include "paramList.h"

namespace {

bool isYes(char c) { return c == 'Y' || c == 'y'; }

}  // namespace

void Client::search() {
  terminal_.trace("in search");
  const std::string title = terminal_.readTitle();
  // Only a movie that was found is shown and offered; a search that found
  // nothing or failed has said why already.
  if (search(title, false)) {
    if (movieObj.count == 0) {
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

void Client::showMovie() {
  terminal_.say("!!!!!!!!!!!!************************************** MOVIE DETAILS "
                "*********************************************!!!!!!!!!!");
  terminal_.say("");
  terminal_.say("Title: " + str(movieObj.title.in()));
  terminal_.say("Director: " + str(movieObj.director.in()));
  terminal_.say("Release date: " + str(movieObj.releaseDate.in()));
  terminal_.say("Cast: " + str(movieObj.cast.in()));
  terminal_.say("Banner: " + str(movieObj.banner.in()));
  terminal_.say("Category: " + str(movieObj.category.in()));
  terminal_.say("Rated: " + str(movieObj.rated.in()));
  terminal_.say("");
  terminal_.say("!!!!!!!!!!!!!*********************************************************************"
                "******************************!!!!!!!!!");
}

bool Client::search(const std::string& title, bool userPreference) {
  // The permission to check out belongs to the last search only.
  searchStatus = false;
  paramList checker;
  const std::string errors = checker.allErrors(title);
  if (!errors.empty()) {
    terminal_.write(errors);
    return false;
  }
  movieObj.title = CORBA::string_dup(title.c_str());
  terminal_.trace("Client: Before Having Called Thread ..... movieTitle: " + title);
  searchStatus = request(Operation::Search);
  terminal_.trace(searchStatus ? "searchStatus: is true" : "searchStatus: is false");
  if (!searchStatus) return false;
  showMovie();
  if (userPreference) {
    if (movieObj.count == 0)
      waitList();
    else
      checkOutMovie();
  }
  return true;
}

void Client::checkOutMovie() {
  if (!searchStatus) {
    terminal_.say("Cannot checkout Movie without searching for it");
    return;
  }
  numberRequest(Operation::Checkout, str(movieObj.title.in()));
  request(Operation::Checkout);
  searchStatus = false;
}

void Client::waitList() {
  if (movieObj.count == 0 && searchStatus) {
    numberRequest(Operation::Waitlist, str(movieObj.title.in()));
    request(Operation::Waitlist);
  } else {
    terminal_.say("Movie can't be placed in waitList, Invalid request");
  }
  searchStatus = false;
}

bool Client::returnMovie(const std::string& title) {
  paramList checker;
  const std::string errors = checker.allErrors(title);
  if (!errors.empty()) {
    terminal_.write(errors);
    return false;
  }
  movieObj.title = CORBA::string_dup(title.c_str());
  numberRequest(Operation::Return, title);
  return request(Operation::Return);
}
