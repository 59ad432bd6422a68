#include "Display.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

std::string rule() { return std::string(kMenuWidth, '*'); }

// An asterisk in the first and last column, `text` starting in `column`
// (counted from 1), blanks elsewhere.
std::string boxed(const std::string& text = "", int column = 3) {
  std::string line(kMenuWidth, ' ');
  line.front() = '*';
  line.back() = '*';
  const size_t start = static_cast<size_t>(column - 1);
  const size_t room = static_cast<size_t>(kMenuWidth - 1) - start;
  line.replace(start, std::min(text.size(), room), text, 0, room);
  return line;
}

void banner(std::ostream& out) {
  out << rule() << std::endl;
  out << boxed() << std::endl;
  out << boxed("TAVRIN", 50) << std::endl;
  out << boxed("by", 54) << std::endl;
  out << boxed("Brennock", 50) << std::endl;
  out << boxed() << std::endl;
  out << rule() << std::endl;
}

}  // namespace

display::display(std::ostream& o, bool clear) : out(o), clearFirst(clear) {}

display::~display() = default;

void displayMenu::displayScreen() {
  if (clearFirst) toggleEcho::clrscr();
  banner(out);
  out << boxed() << std::endl;
  out << boxed("Select an option") << std::endl;
  out << boxed("1.Create Account") << std::endl;
  out << boxed("2.Login") << std::endl;
  out << boxed("3.Discontinue Account") << std::endl;
  out << boxed() << std::endl;
  out << rule() << std::endl;
}

void displayAuthenticatedMenu::displayScreen() {
  if (clearFirst) toggleEcho::clrscr();
  banner(out);
  out << boxed() << std::endl;
  out << boxed("Select an option") << std::endl;
  out << boxed("1. Search Movie by title") << std::endl;
  out << boxed("2. Return Movie") << std::endl;
  out << boxed("3. Update Profile") << std::endl;
  out << boxed("4. Logout") << std::endl;
  out << boxed() << std::endl;
  out << rule() << std::endl;
}

void displayError::displayScreen() { out << outputMessage << std::endl; }

void displaySuccess::displayScreen() { out << outputMessage << std::endl; }

void toggleEcho::enterInput(int fd, std::ostream& out) {
  out << std::endl << "PRESS ENTER TO CONTINUE" << std::endl;
  waitForEnter(fd);
}

void toggleEcho::waitForEnter(int fd) {
  char byte;
  while (::read(fd, &byte, 1) < 0 && errno == EINTR) {
  }
}

void toggleEcho::clrscr() {
  std::cout.flush();
  if (std::system("clear") != 0) {
    // Nothing to do: the old text simply stays on screen.
  }
}

namespace {

// What a signal that ends the client while echo is off must put back, so
// that the user's shell does not go on without echo.
struct termios restoreOnSignal;
volatile sig_atomic_t restorePending = 0;
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction previousActions[4];

extern "C" void restoreTerminalAndDie(int sig) {
  if (restorePending) tcsetattr(0, TCSANOW, &restoreOnSignal);
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

void toggleEcho::switchOffEcho() {
  if (tcgetattr(0, &oldstuff) != 0) return;  // not a terminal
  saved = true;
  newstuff = oldstuff;
  // Only ECHO: the terminal keeps its line discipline, so erase and kill
  // edit the password instead of landing in it.
  newstuff.c_lflag &= static_cast<tcflag_t>(~ECHO);
  restoreOnSignal = oldstuff;
  restorePending = 1;
  struct sigaction action {};
  action.sa_handler = restoreTerminalAndDie;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 4; ++i) sigaction(kEndingSignals[i], &action, &previousActions[i]);
  tcsetattr(0, TCSANOW, &newstuff);
}

void toggleEcho::switchOnEcho() {
  if (!saved) return;
  tcsetattr(0, TCSANOW, &oldstuff);
  saved = false;
  restorePending = 0;
  for (int i = 0; i < 4; ++i) sigaction(kEndingSignals[i], &previousActions[i], nullptr);
}
