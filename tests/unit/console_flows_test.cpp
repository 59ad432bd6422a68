// The console dialogues driven from a script of typed lines, with no
// replica registered: every request that reaches the fan-out fails, so
// these cases check what is read, validated, stored and sent.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "Client.h"
#include "Contract.h"

namespace {

class Console {
 public:
  explicit Console(const std::string& typed) : in(typed), client(in, out) {
    client.terminal().setPause([this] { ++pauses; });
  }
  std::string text() const { return out.str(); }
  bool printed(const std::string& s) const { return text().find(s) != std::string::npos; }
  int count(const std::string& s) const {
    int n = 0;
    const std::string t = text();
    for (size_t at = t.find(s); at != std::string::npos; at = t.find(s, at + s.size())) ++n;
    return n;
  }
  bool sentSomething() const { return printed("createAndStartThread called"); }
  short requestNumber() { return client.identity().current().transactionID; }

  std::istringstream in;
  std::ostringstream out;
  Client client;
  int pauses = 0;
};

void fillProfile(UserInfo& u) {
  u.fName = CORBA::string_dup("Ann");
  u.lName = CORBA::string_dup("Lee");
  u.address = CORBA::string_dup("Elm");
  u.creditCardNum = CORBA::string_dup("4111");
  u.phoneNum = CORBA::string_dup("555");
  u.eMail = CORBA::string_dup("a@b");
  u.username = CORBA::string_dup("ann");
  u.password = CORBA::string_dup("Pa55w0rd");
}

}  // namespace

TEST(MainMenu, InvalidChoicePausesAndStaysAtTheMenu) {
  Console c("7\n");
  c.client.selectOption();
  EXPECT_TRUE(c.printed("Option Selected:\nInvalid selection, please make a selection again\n"));
  EXPECT_EQ(c.pauses, 1);
  EXPECT_EQ(c.client.getClientState(), 5000);
  EXPECT_FALSE(c.sentSomething());
}

TEST(MainMenu, MenuLoopShowsTheMenuAgainAndStopsAtEndOfInput) {
  Console c("7\n");
  EXPECT_THROW(c.client.invokeClient(), EndOfInput);
  EXPECT_EQ(c.count("1.Create Account"), 2);
  EXPECT_TRUE(c.printed("Client ID generated on client: "));
}

TEST(MainMenu, EndOfInputStopsEveryKindOfRead) {
  {
    Console c("");
    EXPECT_THROW(c.client.selectOption(), EndOfInput);
  }
  {
    Console c("2\n");  // log-in chosen, then the input ends
    EXPECT_THROW(c.client.selectOption(), EndOfInput);
    EXPECT_FALSE(c.sentSomething());
  }
  {
    Console c("y\n");
    EXPECT_THROW(c.client.updateProfile(), EndOfInput);
  }
}

TEST(LoginFlow, EmptyUserNameIsReportedAndNothingIsSent) {
  Console c("2\n\nsecret\n");
  c.client.selectOption();
  EXPECT_TRUE(c.printed("Invalid Inputs: Empty field 0 not allowed\n"));
  EXPECT_EQ(c.client.getClientState(), 5301);
  EXPECT_EQ(c.requestNumber(), 0);  // no request number used up
  EXPECT_FALSE(c.sentSomething());
  EXPECT_EQ(c.pauses, 0);
  EXPECT_FALSE(c.printed("secret"));  // the password never reaches the screen
}

TEST(LoginFlow, ForbiddenCharactersAreReportedPerFieldWithoutShowingThePassword) {
  Console c("");
  EXPECT_FALSE(c.client.login("a:b", "p/w"));
  EXPECT_TRUE(c.printed("Invalid Inputs: Input \"a:b\" may not contain any of the following "
                        "characters: :\nThe password may not contain any of the following "
                        "characters: /\n"));
  EXPECT_FALSE(c.printed("p/w"));
  EXPECT_FALSE(c.sentSomething());
}

TEST(LoginFlow, FailedLogInPausesOnceAfterAllAttempts) {
  Console c("");
  EXPECT_FALSE(c.client.login("ann", "pw"));
  EXPECT_EQ(c.count("all servers failed!!!!"), 4);
  // No replica was there to call: the customer may simply try again.
  EXPECT_EQ(c.count("The service could not complete your request. It did not take effect; please "
                    "try again.\n"),
            1);
  EXPECT_EQ(c.pauses, 1);
  EXPECT_EQ(c.client.getClientState(), 5301);
  EXPECT_EQ(c.requestNumber(), 1);
  EXPECT_EQ(str(c.client.userInfo().username.in()), "ann");
}

TEST(Registration, InvalidFormIsReportedPausedAndNotSent) {
  Console c("1\nAnn\n\nElm 1\n4111\n555\na:b@c\nann\nse;cret\n");
  c.client.selectOption();
  EXPECT_TRUE(c.printed("WELCOME TO THE ACCOUNT REGISTRATION PAGE\n\nENTER THE FOLLOWING DETAILS\n"));
  EXPECT_TRUE(c.printed("8. Password: "));
  EXPECT_TRUE(c.printed("ERRORS\nEmpty field 1 not allowed\n"
                        "Input \"a:b@c\" may not contain any of the following characters: :\n"
                        "The password may not contain any of the following characters: ;\n"));
  EXPECT_FALSE(c.printed("se;cret"));  // neither in the error nor in the trace
  EXPECT_EQ(c.client.getClientState(), 5302);
  EXPECT_EQ(c.pauses, 1);
  EXPECT_FALSE(c.sentSomething());
  EXPECT_EQ(c.requestNumber(), 0);
}

TEST(ProfileUpdate, WholeLinesAreReadValidatedAndSent) {
  Console c(
      "y\n1\nAnnabel\n"
      "y\n8\nbad/N3wPass\n"
      "y\n8\nN3wPass\n"
      "y\n3\n12 Main Street\n"
      "y\n5\nbad:phone\n"
      "y\n6\n\n"
      "y\n7\n"
      "y\n9\n"
      "y\nfoo\n"
      "x\n");
  fillProfile(c.client.userInfo());
  c.client.updateProfile();
  const UserInfo& u = c.client.userInfo();
  EXPECT_EQ(str(u.fName.in()), "Annabel");
  EXPECT_EQ(str(u.address.in()), "12 Main Street");
  EXPECT_EQ(str(u.phoneNum.in()), "555");  // invalid: reported, not stored
  EXPECT_EQ(str(u.eMail.in()), "a@b");     // empty: reported, not stored
  EXPECT_EQ(str(u.username.in()), "ann");
  EXPECT_EQ(str(u.password.in()), "N3wPass");
  // The password is never shown: not on the screen, not in an error, not in the trace.
  EXPECT_TRUE(c.printed("8. Password: ********\n"));
  EXPECT_TRUE(c.printed("Enter password: "));
  EXPECT_TRUE(c.printed("The password may not contain any of the following characters: /\n"));
  EXPECT_FALSE(c.printed("Pa55w0rd"));
  EXPECT_FALSE(c.printed("N3wPass"));
  EXPECT_TRUE(c.printed("Input \"bad:phone\" may not contain any of the following characters: :\n"));
  EXPECT_TRUE(c.printed("Enter email: "));
  EXPECT_TRUE(c.printed("Empty field not allowed\n"));
  EXPECT_TRUE(c.printed("\n Username can't be changed, you may logout & discontinue your account "
                        "though!!!\n"));
  EXPECT_EQ(c.count("Invalid Entry, try again.\n"), 2);  // 9 and a non-number
  EXPECT_TRUE(c.printed("7. Username: ann   (Can't be modified)\n"));
  EXPECT_TRUE(c.printed("3. Address:    Elm\n"));
  EXPECT_TRUE(c.printed("createAndStartThread called with methodNumber as 9006"));
  EXPECT_EQ(c.requestNumber(), 1);
  EXPECT_EQ(c.pauses, 1);
}

TEST(ProfileUpdate, AnsweringNoSendsNothing) {
  Console c("n\n");
  fillProfile(c.client.userInfo());
  c.client.updateProfile();
  EXPECT_FALSE(c.sentSomething());
  EXPECT_EQ(c.pauses, 0);
  EXPECT_EQ(c.requestNumber(), 0);
}

TEST(SessionFlows, LogOutNeedsALoggedInUser) {
  Console c("");
  c.client.setClientState(DialogueState::MainMenu);
  c.client.logOut();
  EXPECT_TRUE(c.printed("Cannot logout user as not currently logged in\n"));
  EXPECT_FALSE(c.sentSomething());
}

TEST(SessionFlows, DiscontinueStopsWhenTheLogInFails) {
  Console c("3\n\npw\n");
  c.client.selectOption();
  EXPECT_EQ(c.client.getClientState(), 5301);
  EXPECT_FALSE(c.printed("Are you sure"));
  EXPECT_EQ(c.pauses, 0);
}

TEST(MovieFlows, CheckoutAndWaitlistNeedASuccessfulSearch) {
  Console c("");
  c.client.movies().checkOutMovie();
  EXPECT_TRUE(c.printed("Cannot checkout Movie without searching for it\n"));
  c.client.movies().waitList();
  EXPECT_TRUE(c.printed("Movie can't be placed in waitList, Invalid request\n"));
  EXPECT_FALSE(c.sentSomething());
  EXPECT_EQ(c.requestNumber(), 0);
}

TEST(MovieFlows, AFailedSearchShowsNoCardAndWithdrawsThePermissionToCheckOut) {
  Console c("");
  EXPECT_FALSE(c.client.movies().search("Other Title", false));
  EXPECT_FALSE(c.client.movies().searchFound());
  EXPECT_FALSE(c.printed("MOVIE DETAILS"));
  EXPECT_FALSE(c.printed("\nTitle: Other Title\n"));
  c.client.movies().checkOutMovie();
  EXPECT_TRUE(c.printed("Cannot checkout Movie without searching for it\n"));
  EXPECT_EQ(c.requestNumber(), 0);  // search carries no request number
}

TEST(MovieFlows, InvalidTitleIsReportedAndNotSent) {
  Console c("");
  EXPECT_FALSE(c.client.movies().search("a/b", false));
  EXPECT_TRUE(c.printed("Input \"a/b\" may not contain any of the following characters: /\n"));
  EXPECT_FALSE(c.printed("MOVIE DETAILS"));
  EXPECT_FALSE(c.client.movies().returnMovie(""));
  EXPECT_TRUE(c.printed("Empty field not allowed\n"));
  EXPECT_FALSE(c.sentSomething());
}

TEST(MovieFlows, InteractiveSearchCutsTheTitleAndOffersNothingWhenItFails) {
  Console c("1\n" + std::string(150, 't') + "\nn\n");
  c.client.authUserOption();
  EXPECT_TRUE(c.printed("Client: Before Having Called Thread ..... movieTitle: " +
                        std::string(100, 't') + "\n"));
  EXPECT_FALSE(c.printed(std::string(101, 't')));
  EXPECT_FALSE(c.printed("Movie currently unavailable"));
  EXPECT_FALSE(c.printed("Do you want"));
  EXPECT_EQ(c.pauses, 1);
}

TEST(MovieFlows, ReturnUsesANewRequestNumberWithoutASearch) {
  Console c("2\nSome Title\n");
  c.client.authUserOption();
  EXPECT_TRUE(c.printed("createAndStartThread called with methodNumber as 9005"));
  EXPECT_EQ(c.requestNumber(), 1);
  EXPECT_EQ(str(c.client.requests().movieInfo().title.in()), "Some Title");
  EXPECT_EQ(c.pauses, 1);
}
