// Where the console's dialogue stands; the numbers are the ones the trace
// prints.
#ifndef TAVRIN_DIALOGUESTATE_H
#define TAVRIN_DIALOGUESTATE_H

enum class DialogueState {
  MainMenu = 5000,
  LoggingIn = 5001,
  LoggedIn = 5002,
  Registering = 5004,
  Registered = 5005,
  Discontinuing = 5006,
  Discontinued = 5007,
  LoggedOut = 5010,  // the program ends
  UserMenu = 5299,
  LogInFailed = 5301,
  RegistrationFailed = 5302,
  DiscontinueFailed = 5306,
  BackToMainMenu = 5500,
};

inline int number(DialogueState s) { return static_cast<int>(s); }

#endif
