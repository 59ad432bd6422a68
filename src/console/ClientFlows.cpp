// The console dialogues: menu loop, account and session flows, movie flows.
#include <limits>
#include <sstream>

#include "Client.h"
#include "Contract.h"
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

// What the profile screen shows for a password, whatever its length.
const char* const kPasswordMask = "********";

bool isYes(char c) { return c == 'Y' || c == 'y'; }

}  // namespace

// --- input ------------------------------------------------------------------

char Client::readChoice() {
  char c = 0;
  if (!(in >> c)) throw EndOfInput();
  return c;
}

char Client::readMenuChoice() {
  const char c = readChoice();
  in.get();  // the end of the line
  return c;
}

std::string Client::readField(int maxLength, bool secret, bool enterHidden) {
  if (!in.good()) throw EndOfInput();
  paramList reader;
  std::ostringstream readerTrace;
  std::string value = reader.readInput(maxLength, in, readerTrace, secret);
  // The Enter that ended the field was not shown: end the prompt's line.
  if (enterHidden) write("\n");
  std::istringstream lines(readerTrace.str());
  for (std::string line; std::getline(lines, line);) trace(line);
  if (value.empty() && in.eof()) throw EndOfInput();
  return value;
}

std::string Client::readPassword(const std::string& prompt, int maxLength) {
  // Echo goes off before the prompt shows, so nothing typed after it is echoed.
  EchoOff hidden(&in == &std::cin);
  write(prompt);
  return readField(maxLength, true, hidden.enterHidden());
}

int Client::readNumber() {
  int n = 0;
  if (!(in >> n)) {
    if (in.eof()) throw EndOfInput();
    in.clear();
    n = 0;  // not a number: no field has it
  }
  in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  return n;
}

// --- menu loop ------------------------------------------------------------------

int Client::invokeClient() {
  i_client_state = 5000;
  displayMenu mainMenu(out, clearScreens);
  displayError errorScreen(out, clearScreens);
  displaySuccess successScreen(out, clearScreens);
  displayAuthenticatedMenu userMenu(out, clearScreens);
  display* screen = &mainMenu;
  screen->displayScreen();
  setClientID();
  selectOption();
  while (i_client_state != 5010) {
    const int s = checkClientstate();
    if (s == 5000 || s == 5500) {
      screen = &mainMenu;
      screen->displayScreen();
      selectOption();
    } else if (s == 5299) {
      screen = &userMenu;
      screen->displayScreen();
      authUserOption();
    }
  }
  return 0;
}

int Client::checkClientstate() {
  if (i_client_state > 5299 && i_client_state <= 5500) return 5500;
  if (i_client_state == 5000) return 5000;
  if (i_client_state == 5005 || i_client_state == 5007) {
    i_client_state = 5000;
    return 5000;
  }
  return 5299;
}

void Client::selectOption() {
  write("Option Selected:");
  switch (readMenuChoice()) {
    case '1':
      i_client_state = 5004;
      createAccount();
      break;
    case '2':
      i_client_state = 5001;
      login();
      break;
    case '3':
      i_client_state = 5006;
      discontinueAccount();
      break;
    default:
      i_client_state = 5000;
      say("");
      say("Invalid selection, please make a selection again");
      pause();
      break;
  }
}

void Client::authUserOption() {
  switch (readMenuChoice()) {
    case '1': search(); break;
    case '2': returnMovie(); break;
    case '3': updateProfile(); break;
    case '4': logOut(); break;
    default:
      say("Invalid option selected");
      pause();
      break;
  }
}

// --- log-in and log-out -----------------------------------------------------------

void Client::login() {
  say("");
  say("Enter a username & password(20 chars max)");
  write("username: ");
  const std::string username = readField(20);
  const std::string password = readPassword("password: ", 20);
  say("");
  login(username, password);
}

bool Client::login(const std::string& uname, const std::string& password) {
  paramList checker;
  const std::string fields[2] = {uname, password};
  const std::string errors = checker.allErrors(fields, 2, 1);
  if (!errors.empty()) {
    write("Invalid Inputs: " + errors);
    i_client_state = 5301;
    return false;
  }
  setClientTrans();
  methodNumber = 9002;
  uObj.username = CORBA::string_dup(uname.c_str());
  uObj.password = CORBA::string_dup(password.c_str());
  i_client_state = 5301;
  if (threadLogic(0)) {
    i_client_state = 5002;
    return true;
  }
  // One pause, once every worker has ended.
  pause();
  return false;
}

void Client::logOut() {
  if (i_client_state != 5002) {
    say("Cannot logout user as not currently logged in");
    return;
  }
  methodNumber = 9007;
  if (threadLogic(0)) {
    i_client_state = 5010;
    say("loggin out user successfully");
  }
}

// --- registration -------------------------------------------------------------------

void Client::createAccount() {
  clrscr();
  say("WELCOME TO THE ACCOUNT REGISTRATION PAGE");
  say("");
  say("ENTER THE FOLLOWING DETAILS");
  static const struct {
    const char* prompt;
    int maxLength;
  } form[7] = {{"1. First Name(20 Chars): ", 20},       {"2. Last Name(20 chars): ", 20},
               {"3. Address(50 chars): ", 50},          {"4. Credit Card Number(19 chars): ", 19},
               {"5. Phone Number(12 chars): ", 12},     {"6. Email(50 chars): ", 50},
               {"7. User Name(20 chars): ", 20}};
  std::string userInput[8];
  for (int i = 0; i < 7; ++i) {
    write(form[i].prompt);
    userInput[i] = readField(form[i].maxLength);
  }
  userInput[7] = readPassword("8. Password: ", 20);
  callCreateAccount(userInput);
  pause();
}

bool Client::callCreateAccount(const std::string* userInput) {
  paramList checker;
  const std::string errors = checker.allErrors(userInput, 8, 7);
  if (!errors.empty()) {
    say("ERRORS");
    write(errors);
    i_client_state = 5302;
    return false;
  }
  setClientTrans();
  methodNumber = 9001;
  trace(" callCreateAccount() called ");
  CORBA::String_member* members[8] = {&uObj.fName,    &uObj.lName,         &uObj.address,
                                      &uObj.creditCardNum, &uObj.phoneNum, &uObj.eMail,
                                      &uObj.username, &uObj.password};
  for (int i = 0; i < 8; ++i) *members[i] = CORBA::string_dup(userInput[i].c_str());
  i_client_state = 5302;
  if (threadLogic(0)) {
    i_client_state = 5005;
    return true;
  }
  return false;
}

bool Client::createAccount(const std::string& afname, const std::string& alname,
                           const std::string& aaddress, const std::string& acreditcardNum,
                           const std::string& aphoneNum, const std::string& aemail,
                           const std::string& auname, const std::string& apassword) {
  trace("createAccount() called ");
  const std::string userInput[8] = {afname,    alname, aaddress, acreditcardNum,
                                    aphoneNum, aemail, auname,   apassword};
  return callCreateAccount(userInput);
}

// --- profile --------------------------------------------------------------------------

void Client::updateProfile() {
  say("User Profile Update page");
  say("Review the Current User Details");
  say("1. FirstName: " + str(uObj.fName.in()));
  say("2. LastName: " + str(uObj.lName.in()));
  say("3. Address:    " + str(uObj.address.in()));
  say("4. CreditCardNumber: " + str(uObj.creditCardNum.in()));
  say("5. PhoneNumber: " + str(uObj.phoneNum.in()));
  say("6. email: " + str(uObj.eMail.in()));
  say("7. Username: " + str(uObj.username.in()) + "   (Can't be modified)");
  say(std::string("8. Password: ") + kPasswordMask);
  say("");
  write("Do you want to change any details (y/n): ");
  char answer = readChoice();
  if (answer == 'N' || answer == 'n') return;
  while (isYes(answer)) {
    say("");
    write("Input field Number (eg: 1 for First Name): ");
    updateField(readNumber());
    say("");
    write("Change further details (y/n): ");
    answer = readChoice();
  }
  methodNumber = 9006;
  setClientTrans();
  threadLogic(0);
  pause();
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
    case 1: field = {"Enter First Name: ", 20, &uObj.fName, false}; break;
    case 2: field = {"Enter Last Name: ", 20, &uObj.lName, false}; break;
    case 3: field = {"Enter Address", 50, &uObj.address, false}; break;
    case 4: field = {"Enter CreditCard Number: ", 19, &uObj.creditCardNum, false}; break;
    case 5: field = {"Enter Phone Number: ", 12, &uObj.phoneNum, false}; break;
    case 6: field = {"Enter email: ", 50, &uObj.eMail, false}; break;
    case 7:
      say("");
      say(" Username can't be changed, you may logout & discontinue your account though!!!");
      return;
    case 8: field = {"Enter password: ", 20, &uObj.password, true}; break;
    default:
      say("Invalid Entry, try again.");
      return;
  }
  std::string value;
  if (field.secret) {
    value = readPassword(field.prompt, field.maxLength);
  } else {
    write(field.prompt);
    value = readField(field.maxLength);
  }
  paramList checker;
  const std::string errors = field.secret ? checker.secretErrors(value) : checker.allErrors(value);
  if (!errors.empty()) {
    write(errors);
    return;
  }
  *field.member = CORBA::string_dup(value.c_str());
}

// --- account removal ------------------------------------------------------------------

void Client::discontinueAccount() {
  login();
  if (i_client_state == 5301) return;
  methodNumber = 9003;
  std::string userChoice = " ";
  while (userChoice != "Y" && userChoice != "y" && userChoice != "N" && userChoice != "n") {
    say("Are you sure you want to discontinue your account??? (Y/N)");
    userChoice = readField(1);
  }
  if (userChoice == "Y" || userChoice == "y") {
    setClientTrans();
    i_client_state = threadLogic(0) ? 5007 : 5306;
  } else {
    i_client_state = 5306;
  }
  pause();
}

// --- movies ------------------------------------------------------------------------------

std::string Client::titleEntry() {
  say("Enter the Movie Title(Max 100 Chars)");
  say("");
  write("Movie Title: ");
  return readField(100);
}

void Client::search() {
  trace("in search");
  const std::string movStr = titleEntry();
  callSearch(movStr);
  if (movieObj.count == 0) {
    say("Movie currently unavailable");
    say("");
    write("Do you want place the movie in WaitList (y/n): ");
    if (isYes(readChoice())) waitList();
  } else {
    say("");
    write("Do you want to check out movie (y/n): ");
    if (isYes(readChoice())) checkOutMovie();
  }
  pause();
}

void Client::showMovie() {
  say("!!!!!!!!!!!!************************************** MOVIE DETAILS "
      "*********************************************!!!!!!!!!!");
  say("");
  say("Title: " + str(movieObj.title.in()));
  say("Director: " + str(movieObj.director.in()));
  say("Release date: " + str(movieObj.releaseDate.in()));
  say("Cast: " + str(movieObj.cast.in()));
  say("Banner: " + str(movieObj.banner.in()));
  say("Category: " + str(movieObj.category.in()));
  say("Rated: " + str(movieObj.rated.in()));
  say("");
  say("!!!!!!!!!!!!!*********************************************************************"
      "******************************!!!!!!!!!");
}

bool Client::callSearch(const std::string& movStr) {
  paramList checker;
  const std::string errors = checker.allErrors(movStr);
  if (!errors.empty()) {
    write(errors);
    // The permission to check out belongs to the last search only.
    searchStatus = false;
    return false;
  }
  movieObj.title = CORBA::string_dup(movStr.c_str());
  trace("Client: Before Having Called Thread ..... movieTitle: " + movStr);
  methodNumber = 9004;
  trace("before thread !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!");
  trace(searchStatus ? "searchStatus: is true" : "searchStatus: is false");
  // A failed search must not leave the previous movie open for checkout.
  searchStatus = threadLogic(1);
  trace("after thread !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!");
  trace(searchStatus ? "searchStatus: is true" : "searchStatus: is false");
  showMovie();
  return searchStatus;
}

bool Client::search(const std::string& movStr, bool userPreference) {
  const bool status = callSearch(movStr);
  if (userPreference) {
    if (movieObj.count == 0)
      waitList();
    else
      checkOutMovie();
  }
  return status;
}

void Client::checkOutMovie() {
  if (!searchStatus) {
    say("Cannot checkout Movie without searching for it");
    return;
  }
  methodNumber = 9009;
  setClientTrans();
  threadLogic(1);
  searchStatus = false;
}

void Client::waitList() {
  if (movieObj.count == 0 && searchStatus) {
    methodNumber = 9008;
    setClientTrans();
    threadLogic(1);
  } else {
    say("Movie can't be placed in waitList, Invalid request");
  }
  searchStatus = false;
}

void Client::returnMovie() {
  const std::string movStr = titleEntry();
  callretMovie(movStr);
  pause();
}

bool Client::callretMovie(const std::string& movStr) {
  paramList checker;
  const std::string errors = checker.allErrors(movStr);
  if (!errors.empty()) {
    write(errors);
    return false;
  }
  movieObj.title = CORBA::string_dup(movStr.c_str());
  methodNumber = 9005;
  setClientTrans();
  return threadLogic(1);
}
