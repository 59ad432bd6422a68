#include "ConsoleTerminal.h"

#include <limits>
#include <sstream>

#include "Display.h"
#include "paramList.h"

namespace {

// Echo stays off only while the password is typed, whatever happens; the
// terminal is standard input, so only a console reading from it has one.
class EchoOff {
 public:
  explicit EchoOff(bool terminal) : terminal_(terminal) {
    if (terminal_) echo.switchOffEcho();
  }
  ~EchoOff() {
    if (terminal_) echo.switchOnEcho();
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  bool enterHidden() const { return terminal_ && echo.enterHidden(); }

 private:
  bool terminal_;
  toggleEcho echo;
};

}  // namespace

ConsoleTerminal::ConsoleTerminal(std::istream& in, std::ostream& out)
    : in_(in),
      out_(out),
      channel_(std::make_shared<ConsoleChannel>(out)),
      clearScreens_(&out == &std::cout) {}

void ConsoleTerminal::say(const std::string& line) { channel_->say(line); }

void ConsoleTerminal::write(const std::string& text) { channel_->write(text); }

void ConsoleTerminal::trace(const std::string& line) { channel_->trace(line); }

void ConsoleTerminal::pause() {
  if (pauseHook_) {
    pauseHook_();
    return;
  }
  // The prompt goes out whole; the wait for Enter holds no lock, so
  // workers and probes finishing meanwhile are not held up.
  channel_->say("");
  channel_->say("PRESS ENTER TO CONTINUE");
  toggleEcho::waitForEnter(0);
}

void ConsoleTerminal::clrscr() {
  if (!clearScreens_) return;
  out_.flush();
  toggleEcho::clrscr();
}

char ConsoleTerminal::readChoice() {
  char c = 0;
  if (!(in_ >> c)) throw EndOfInput();
  return c;
}

char ConsoleTerminal::readMenuChoice() {
  const char c = readChoice();
  in_.get();  // the end of the line
  return c;
}

std::string ConsoleTerminal::readField(int maxLength, bool secret, bool enterHidden) {
  if (!in_.good()) throw EndOfInput();
  paramList reader;
  std::ostringstream readerTrace;
  std::string value = reader.readInput(maxLength, in_, readerTrace, secret);
  // The Enter that ended the field was not shown: end the prompt's line.
  if (enterHidden) write("\n");
  std::istringstream lines(readerTrace.str());
  for (std::string line; std::getline(lines, line);) trace(line);
  if (value.empty() && in_.eof()) throw EndOfInput();
  return value;
}

std::string ConsoleTerminal::readPassword(const std::string& prompt, int maxLength) {
  // Echo goes off before the prompt shows, so nothing typed after it is echoed.
  EchoOff hidden(&in_ == &std::cin);
  write(prompt);
  return readField(maxLength, true, hidden.enterHidden());
}

int ConsoleTerminal::readNumber() {
  int n = 0;
  if (!(in_ >> n)) {
    if (in_.eof()) throw EndOfInput();
    in_.clear();
    n = 0;  // not a number: no field has it
  }
  in_.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  return n;
}

std::string ConsoleTerminal::readTitle() {
  say("Enter the Movie Title(Max 100 Chars)");
  say("");
  write("Movie Title: ");
  return readField(100);
}
