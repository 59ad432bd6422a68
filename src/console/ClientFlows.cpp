// The console dialogues: menu loop, account and session flows.
#include "Client.h"
#include "Contract.h"
#include "Display.h"
#include "paramList.h"

namespace {

// What the profile screen shows for a password, whatever its length.
const char* const kPasswordMask = "********";

bool isYes(char c) { return c == 'Y' || c == 'y'; }

// A card number as the profile screen shows it: all but the last 4 digits
// masked.
std::string maskedCard(const std::string& card) {
  if (card.size() <= 4) return card;
  return std::string(card.size() - 4, '*') + card.substr(card.size() - 4);
}

}  // namespace

// --- menu loop
// ------------------------------------------------------------------

int Client::invokeClient() {
  state_ = DialogueState::MainMenu;
  const bool clear = terminal_.clearsScreens();
  displayMenu mainMenu(terminal_.out(), clear);
  displayAuthenticatedMenu userMenu(terminal_.out(), clear);
  mainMenu.displayScreen();
  terminal_.trace("Client ID generated on client: " + requests_.identity().renew());
  selectOption();
  while (state_ != DialogueState::LoggedOut) {
    const int s = checkClientstate();
    if (s == number(DialogueState::MainMenu) || s == number(DialogueState::BackToMainMenu)) {
      mainMenu.displayScreen();
      selectOption();
    } else if (s == number(DialogueState::UserMenu)) {
      userMenu.displayScreen();
      authUserOption();
    }
  }
  return 0;
}

int Client::checkClientstate() {
  const int s = number(state_);
  if (s > number(DialogueState::UserMenu) && s <= number(DialogueState::BackToMainMenu))
    return number(DialogueState::BackToMainMenu);
  if (state_ == DialogueState::MainMenu) return s;
  if (state_ == DialogueState::Registered || state_ == DialogueState::Discontinued) {
    state_ = DialogueState::MainMenu;
    return number(state_);
  }
  return number(DialogueState::UserMenu);
}

void Client::selectOption() {
  terminal_.write("Option Selected:");
  switch (terminal_.readMenuChoice()) {
    case '1':
      state_ = DialogueState::Registering;
      createAccount();
      break;
    case '2':
      state_ = DialogueState::LoggingIn;
      login();
      break;
    case '3':
      state_ = DialogueState::Discontinuing;
      discontinueAccount();
      break;
    default:
      state_ = DialogueState::MainMenu;
      terminal_.say("");
      terminal_.say("Invalid selection, please make a selection again");
      terminal_.pause();
      break;
  }
}

void Client::authUserOption() {
  switch (terminal_.readMenuChoice()) {
    case '1': movies_.search(); break;
    case '2':
      movies_.returnMovie(terminal_.readTitle());
      terminal_.pause();
      break;
    case '3': updateProfile(); break;
    case '4': logOut(); break;
    default:
      terminal_.say("Invalid option selected");
      terminal_.pause();
      break;
  }
}

// --- log-in and log-out
// -----------------------------------------------------------

void Client::login() {
  terminal_.say("");
  terminal_.say("Enter a username & password(20 chars max)");
  terminal_.write("username: ");
  const std::string username = terminal_.readField(20);
  const std::string password = terminal_.readPassword("password: ", 20);
  terminal_.say("");
  login(username, password);
}

bool Client::login(const std::string& uname, const std::string& password) {
  paramList checker;
  const std::string fields[2] = {uname, password};
  const std::string errors = checker.allErrors(fields, 2, 1);
  state_ = DialogueState::LogInFailed;
  if (!errors.empty()) {
    terminal_.write("Invalid Inputs: " + errors);
    return false;
  }
  requests_.userInfo().username = CORBA::string_dup(uname.c_str());
  requests_.userInfo().password = CORBA::string_dup(password.c_str());
  requests_.numberRequest(Operation::LogIn, uname);
  if (requests_.send(Operation::LogIn, number(state_))) {
    state_ = DialogueState::LoggedIn;
    return true;
  }
  // One pause, once every worker has ended.
  terminal_.pause();
  return false;
}

void Client::logOut() {
  if (state_ != DialogueState::LoggedIn) {
    terminal_.say("Cannot logout user as not currently logged in");
    return;
  }
  if (requests_.send(Operation::LogOut, number(state_))) {
    state_ = DialogueState::LoggedOut;
    terminal_.say("loggin out user successfully");
  } else if (state_ == DialogueState::MainMenu) {
    terminal_.pause();  // the session had ended: the message stays readable
  }
}

// --- registration
// -------------------------------------------------------------------

void Client::createAccount() {
  terminal_.clrscr();
  terminal_.say("WELCOME TO THE ACCOUNT REGISTRATION PAGE");
  terminal_.say("");
  terminal_.say("ENTER THE FOLLOWING DETAILS");
  static const struct {
    const char* prompt;
    int maxLength;
  } form[7] = {{"1. First Name(20 Chars): ", 20},   {"2. Last Name(20 chars): ", 20},
               {"3. Address(50 chars): ", 50},      {"4. Credit Card Number(19 chars): ", 19},
               {"5. Phone Number(12 chars): ", 12}, {"6. Email(50 chars): ", 50},
               {"7. User Name(20 chars): ", 20}};
  std::string userInput[8];
  for (int i = 0; i < 7; ++i) {
    terminal_.write(form[i].prompt);
    userInput[i] = terminal_.readField(form[i].maxLength);
  }
  userInput[7] = terminal_.readPassword("8. Password: ", 20);
  createAccount(userInput);
  terminal_.pause();
}

bool Client::createAccount(const std::string* userInput) {
  paramList checker;
  const std::string errors = checker.allErrors(userInput, 8, 7);
  state_ = DialogueState::RegistrationFailed;
  if (!errors.empty()) {
    terminal_.say("ERRORS");
    terminal_.write(errors);
    return false;
  }
  terminal_.trace(" callCreateAccount() called ");
  CORBA::String_member* members[8] = {
      &requests_.userInfo().fName,    &requests_.userInfo().lName,
      &requests_.userInfo().address,  &requests_.userInfo().creditCardNum,
      &requests_.userInfo().phoneNum, &requests_.userInfo().eMail,
      &requests_.userInfo().username, &requests_.userInfo().password};
  for (int i = 0; i < 8; ++i) *members[i] = CORBA::string_dup(userInput[i].c_str());
  requests_.numberRequest(Operation::CreateAccount, userInput[6]);
  if (!requests_.send(Operation::CreateAccount, number(state_))) return false;
  state_ = DialogueState::Registered;
  return true;
}

// --- profile
// --------------------------------------------------------------------------

void Client::updateProfile() {
  terminal_.say("User Profile Update page");
  terminal_.say("Review the Current User Details");
  terminal_.say("1. FirstName: " + str(requests_.userInfo().fName.in()));
  terminal_.say("2. LastName: " + str(requests_.userInfo().lName.in()));
  terminal_.say("3. Address:    " + str(requests_.userInfo().address.in()));
  terminal_.say("4. CreditCardNumber: " + maskedCard(str(requests_.userInfo().creditCardNum.in())));
  terminal_.say("5. PhoneNumber: " + str(requests_.userInfo().phoneNum.in()));
  terminal_.say("6. email: " + str(requests_.userInfo().eMail.in()));
  terminal_.say("7. Username: " + str(requests_.userInfo().username.in()) +
                "   (Can't be modified)");
  terminal_.say(std::string("8. Password: ") + kPasswordMask);
  terminal_.say("");
  terminal_.write("Do you want to change any details (y/n): ");
  char answer = terminal_.readChoice();
  if (answer == 'N' || answer == 'n') return;
  while (isYes(answer)) {
    terminal_.say("");
    terminal_.write("Input field Number (eg: 1 for First Name): ");
    updateField(terminal_.readNumber());
    terminal_.say("");
    terminal_.write("Change further details (y/n): ");
    answer = terminal_.readChoice();
  }
  requests_.numberRequest(Operation::UpdateProfile, str(requests_.userInfo().username.in()));
  requests_.send(Operation::UpdateProfile, number(state_));
  if (state_ == DialogueState::LoggedIn || state_ == DialogueState::MainMenu) terminal_.pause();
}

void Client::updateField(int fieldNum) {
  // The same limits and checks as the registration form, the password
  // unseen as there; a value that fails them is reported and the profile
  // keeps its old value.
  struct Field {
    const char* prompt;
    int maxLength;
    CORBA::String_member* member;
    bool secret;
  };
  Field field;
  switch (fieldNum) {
    case 1: field = {"Enter First Name: ", 20, &requests_.userInfo().fName, false}; break;
    case 2: field = {"Enter Last Name: ", 20, &requests_.userInfo().lName, false}; break;
    case 3: field = {"Enter Address", 50, &requests_.userInfo().address, false}; break;
    case 4:
      field = {"Enter CreditCard Number: ", 19, &requests_.userInfo().creditCardNum, false};
      break;
    case 5: field = {"Enter Phone Number: ", 12, &requests_.userInfo().phoneNum, false}; break;
    case 6: field = {"Enter email: ", 50, &requests_.userInfo().eMail, false}; break;
    case 7:
      terminal_.say("");
      terminal_.say(
          " Username can't be changed, you may logout & discontinue "
          "your account though!!!");
      return;
    case 8: field = {"Enter password: ", 20, &requests_.userInfo().password, true}; break;
    default: terminal_.say("Invalid Entry, try again."); return;
  }
  std::string value;
  if (field.secret) {
    value = terminal_.readPassword(field.prompt, field.maxLength);
  } else {
    terminal_.write(field.prompt);
    value = terminal_.readField(field.maxLength);
  }
  // The masked card number typed back as it was shown leaves it unchanged.
  if (fieldNum == 4 && value == maskedCard(str(requests_.userInfo().creditCardNum.in()))) return;
  paramList checker;
  const std::string errors = field.secret ? checker.secretErrors(value) : checker.allErrors(value);
  if (!errors.empty()) {
    terminal_.write(errors);
    return;
  }
  *field.member = CORBA::string_dup(value.c_str());
}

// --- account removal
// ------------------------------------------------------------------

void Client::discontinueAccount() {
  login();
  if (state_ == DialogueState::LogInFailed) return;
  std::string userChoice = " ";
  while (userChoice != "Y" && userChoice != "y" && userChoice != "N" && userChoice != "n") {
    terminal_.say("Are you sure you want to discontinue your account??? (Y/N)");
    userChoice = terminal_.readField(1);
  }
  if (userChoice == "Y" || userChoice == "y") {
    requests_.numberRequest(Operation::Discontinue, str(requests_.userInfo().username.in()));
    const bool removed = requests_.send(Operation::Discontinue, number(state_));
    if (state_ != DialogueState::MainMenu)
      state_ = removed ? DialogueState::Discontinued : DialogueState::DiscontinueFailed;
  } else {
    state_ = DialogueState::DiscontinueFailed;
  }
  terminal_.pause();
}
