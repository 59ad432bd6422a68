// The console's screens (two boxed menus, plain message screens) and the
// terminal control used around them: clearing, the Enter pause, and echo
// switched off while a password is typed.
#ifndef TAVRIN_DISPLAY_H
#define TAVRIN_DISPLAY_H

#include <termios.h>

#include <iostream>
#include <string>

class display {
 public:
  // Screens write to `out`; `clearFirst` lets the menus clear the terminal
  // before drawing (off when the output is not the terminal).
  explicit display(std::ostream& out = std::cout, bool clearFirst = true);
  virtual ~display();
  virtual void displayScreen() = 0;

  std::string outputMessage;

 protected:
  std::ostream& out;
  bool clearFirst;
};

class displayMenu : public display {
 public:
  using display::display;
  void displayScreen() override;
};

class displayAuthenticatedMenu : public display {
 public:
  using display::display;
  void displayScreen() override;
};

class displayError : public display {
 public:
  using display::display;
  void displayScreen() override;
};

class displaySuccess : public display {
 public:
  using display::display;
  void displayScreen() override;
};

class toggleEcho {
 public:
  // Waits for the user: prints the prompt, then reads exactly one byte
  // straight from `fd`, past any stream buffer.
  static void enterInput(int fd = 0, std::ostream& out = std::cout);
  // Reads exactly one byte straight from `fd`.
  static void waitForEnter(int fd = 0);
  static void clrscr();

  // Echo off while a secret is typed; line editing (erase, kill) stays.
  void switchOffEcho();
  void switchOnEcho();
  // Echo is off and the terminal does not show the Enter that ends a line
  // either: the program must end the prompt's line itself.
  bool enterHidden() const { return saved && (newstuff.c_lflag & ECHONL) == 0; }

 private:
  struct termios oldstuff {};
  struct termios newstuff {};
  bool saved = false;
};

// Menu geometry, shared with the tests.
constexpr int kMenuWidth = 116;

#endif
