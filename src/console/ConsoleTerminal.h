// The console's terminal: what the customer types (menu choices, fields,
// hidden passwords, numbers), the lines they read, the Enter pause and the
// clearing of the screen. Trace lines go through here too (the channel
// decides where they land).
//
// Not thread safe for input: the requesting thread reads. Output goes
// through the shared ConsoleChannel, safe from any thread. No lock is held
// while waiting for input.
#ifndef TAVRIN_CONSOLETERMINAL_H
#define TAVRIN_CONSOLETERMINAL_H

#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "ConsoleChannel.h"

// Raised by the console reads when standard input has ended.
struct EndOfInput {};

class ConsoleTerminal {
 public:
  // `in` and `out` must outlive the terminal.
  ConsoleTerminal(std::istream& in, std::ostream& out);

  void say(const std::string& line);    // one whole customer line
  void write(const std::string& text);  // customer text as it is, flushed
  void trace(const std::string& line);  // one whole trace line
  const std::shared_ptr<ConsoleChannel>& channel() const { return channel_; }

  char readChoice();      // one character after white space
  char readMenuChoice();  // the same, then the end of the line
  // `enterHidden`: the terminal will not show the Enter that ends the field.
  std::string readField(int maxLength, bool secret = false, bool enterHidden = false);
  std::string readPassword(const std::string& prompt, int maxLength);
  int readNumber();  // the rest of the line is discarded
  std::string readTitle();  // the movie title prompt and its field

  // What "PRESS ENTER TO CONTINUE" does; by default one byte from fd 0.
  void setPause(std::function<void()> pause) { pauseHook_ = std::move(pause); }
  void pause();
  void setScreenClearing(bool on) { clearScreens_ = on; }
  bool clearsScreens() const { return clearScreens_; }
  void clrscr();
  std::ostream& out() { return out_; }

 private:
  std::istream& in_;
  std::ostream& out_;
  std::shared_ptr<ConsoleChannel> channel_;
  std::function<void()> pauseHook_;
  bool clearScreens_;
};

#endif
