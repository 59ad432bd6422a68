#include "Client.h"

Client::Client(std::istream& in, std::ostream& out)
    : terminal_(in, out), requests_(terminal_), movies_(terminal_, requests_, state_) {
  // A refused ticket: back to the main menu, nothing of the movie kept.
  requests_.onSessionEnded([this] {
    state_ = DialogueState::MainMenu;
    movies_.forget();
  });
}
