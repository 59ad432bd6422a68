// The fan-out of one request over all replicas, against test replicas in
// this process (and one in a child process that can be killed or stopped):
// who decides, what is copied back, that the console goes on without the
// others, hung replicas, total failure with rediscovery, time-out.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <sstream>

#include "Client.h"
#include "Contract.h"
#include "FailureNotice.h"
#include "TestSupport.h"
#include "client_servants.h"

using namespace std::chrono_literals;

namespace {

std::string selfPath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// A replica in a process of its own that holds every call until killed, or
// with `answer` answers at once.
std::unique_ptr<tt::ChildProcess> startChildReplica(const std::string& name, bool answer = false) {
  auto child = std::make_unique<tt::ChildProcess>(
      selfPath(),
      std::vector<std::string>{"--gtest_also_run_disabled_tests",
                               "--gtest_filter=ChildReplica.DISABLED_Serve"},
      "", nullptr,
      std::map<std::string, std::string>{{"CLIENT_TEST_CHILD", name},
                                         {"CLIENT_TEST_ANSWER", answer ? "1" : "0"}});
  EXPECT_TRUE(child->waitForOutput("replica ready")) << child->output();
  return child;
}

class ClientFanOut : public ::testing::Test {
 protected:
  void SetUp() override {
    tt::unbindReplicas();
    ct::gate().close();
    client.replicas().setNamingContext(tt::naming());
    client.terminal().setPause([this] { ++pauses; });
  }
  void TearDown() override {
    ct::gate().open();
    tt::unbindReplicas();
  }
  ct::TestAccount* account(int i, ct::Mode m, int delayMs = 0) {
    auto* s = new ct::TestAccount(m, std::to_string(i), delayMs);  // lives as long as the ORB
    ct::bind("account" + std::to_string(i), s);
    return s;
  }
  ct::TestOrder* order(int i, ct::Mode m, int delayMs = 0) {
    auto* s = new ct::TestOrder(m, std::to_string(i), delayMs);
    ct::bind("orderObj" + std::to_string(i), s);
    return s;
  }
  void discover() {
    client.replicas().discoverAccounts();
    client.replicas().discoverOrders();
  }
  bool request(int methodNumber, int typeOfIOR) {
    (void)typeOfIOR;  // the operation's own set
    return client.requests().send(static_cast<Operation>(methodNumber), client.getClientState());
  }
  // Waits until no replica of the set has a call of this client in flight.
  bool settled(int typeOfIOR) {
    ReplicaHealth& h = client.replicas().health(typeOfIOR);
    return tt::waitFor([&] { return !h.anyBusy(); });
  }

  // The quiet console: trace lines go to `traceLog` from now on.
  void quiet() { client.terminal().channel()->traceTo(std::make_shared<std::ostream>(&traceLog)); }

  ct::Capture capture;
  ct::Capture traceLog;
  std::ostream out{&capture};
  std::istringstream in;
  Client client{in, out};
  int pauses = 0;
};

}  // namespace

// Not a test of its own: the body of the child replica process.
TEST(ChildReplica, DISABLED_Serve) {
  const char* name = std::getenv("CLIENT_TEST_CHILD");
  ASSERT_NE(name, nullptr);
  const bool answer = std::string(std::getenv("CLIENT_TEST_ANSWER")) == "1";
  auto* s = new ct::TestAccount(answer ? ct::Mode::Succeed : ct::Mode::Hang, "child");
  s->onCall = [] { std::cout << "call arrived" << std::endl; };
  ct::bind(name, s);
  std::cout << "replica ready" << std::endl;
  tt::orb()->run();
}

TEST_F(ClientFanOut, FirstAnswerDecidesAndTheConsoleGoesOnWithoutTheOthers) {
  ct::TestAccount* a0 = account(0, ct::Mode::Succeed);
  ct::TestAccount* a1 = account(1, ct::Mode::Succeed, 300);
  a0->token = 10;
  a1->token = 20;
  discover();
  ASSERT_TRUE(client.login("ann", "pw"));
  EXPECT_EQ(client.getClientState(), 5002);
  EXPECT_TRUE(capture.has("Server Account0 returned ... not waiting for any other server \n"));
  EXPECT_EQ(client.ticket().token, 10);
  EXPECT_EQ(str(client.ticket().username.in()), "ann");
  EXPECT_EQ(str(client.userInfo().fName.in()), "F0");
  EXPECT_EQ(pauses, 0);
  // Replica 1 answers after the flow went on: its line stays off the
  // screens that follow, and shows, marked late, in the next request's trace.
  ASSERT_TRUE(settled(0));
  EXPECT_EQ(a1->calls, 1);
  EXPECT_EQ(client.ticket().token, 10);
  EXPECT_EQ(capture.count("Thread: Logged in successfully\n"), 1);
  client.terminal().say("the next screen");
  EXPECT_TRUE(request(9006, 0));
  const std::string text = capture.text();
  const size_t late = text.find("late: Thread: Logged in successfully\n");
  ASSERT_NE(late, std::string::npos) << text;
  EXPECT_LT(text.find("the next screen"), late);
  EXPECT_LT(late, text.find("createAndStartThread called with methodNumber as 9006"));
}

TEST_F(ClientFanOut, QuietConsoleShowsTheOutcomeAndLogsFailedAndLateReplies) {
  account(0, ct::Mode::Fail);
  account(1, ct::Mode::Succeed);
  account(2, ct::Mode::Succeed, 300);
  quiet();
  discover();
  ASSERT_TRUE(client.login("ann", "Pa55w0rd"));
  ASSERT_TRUE(settled(0));
  client.terminal().say("the next screen");
  // The customer sees the outcome once, nothing of the replicas' fates.
  EXPECT_EQ(capture.text(), "Thread: Logged in successfully\nthe next screen\n");
  EXPECT_TRUE(traceLog.has("Resolved IOR: account2\n"));
  EXPECT_TRUE(traceLog.has("Communication Failure while trying to contact server\n"));
  EXPECT_TRUE(traceLog.has("Server Account1 returned ... not waiting for any other server \n"));
  // A late reply goes to the log at once, not held for the next request.
  EXPECT_TRUE(tt::waitFor([&] { return traceLog.has("late: Thread: Logged in successfully\n"); }));
  EXPECT_FALSE(traceLog.has("Pa55w0rd"));
}

TEST_F(ClientFanOut, AnswerOfAHigherReplicaDecidesWhileALowerOneIsBusy) {
  ct::TestAccount* a0 = account(0, ct::Mode::Succeed, 400);
  ct::TestAccount* a1 = account(1, ct::Mode::Succeed);
  a0->token = 10;
  a1->token = 20;
  discover();
  ASSERT_TRUE(client.login("ann", "pw"));
  EXPECT_TRUE(capture.has("Server Account1 returned"));
  EXPECT_EQ(client.ticket().token, 20);  // the decider's ticket, not the last one
  EXPECT_EQ(str(client.userInfo().fName.in()), "F1");
}

TEST_F(ClientFanOut, RefusalIsFinalAndALogInPausesOnce) {
  account(0, ct::Mode::Refuse);
  ct::TestAccount* a1 = account(1, ct::Mode::Succeed, 300);
  account(2, ct::Mode::Refuse, 100);
  discover();
  EXPECT_FALSE(client.login("ann", "pw"));
  EXPECT_EQ(client.getClientState(), 5301);
  EXPECT_TRUE(capture.has("refused by 0\nUser couldn't be logged in, try again\n"));
  EXPECT_TRUE(capture.has("Server Account0 returned"));
  EXPECT_EQ(capture.count("all servers failed!!!!"), 0);
  EXPECT_TRUE(tt::waitFor([&] { return a1->calls == 1; }));
  EXPECT_EQ(pauses, 1);  // once, on the requesting thread
  EXPECT_EQ(client.ticket().token, 0);
}

TEST_F(ClientFanOut, EveryReplicaGetsTheSameRequestIdentity) {
  ct::TestAccount* a0 = account(0, ct::Mode::Succeed);
  ct::TestAccount* a1 = account(1, ct::Mode::Succeed);
  ct::TestAccount* a2 = account(2, ct::Mode::Succeed);
  discover();
  client.identity().renew();
  client.identity().advance();
  client.identity().advance();
  EXPECT_TRUE(request(9001, 0));
  ASSERT_TRUE(settled(0));
  const std::string id = str(client.identity().current().clientID.in()) + "#2";
  EXPECT_EQ(a0->seen(), std::vector<std::string>{id});
  EXPECT_EQ(a1->seen(), std::vector<std::string>{id});
  EXPECT_EQ(a2->seen(), std::vector<std::string>{id});
}

TEST_F(ClientFanOut, DeadReplicaCountsAsFailedAndTheNextOneDecides) {
  auto child = startChildReplica("account0");
  child->signal(SIGKILL);
  child->wait();
  account(1, ct::Mode::Succeed);
  discover();
  EXPECT_TRUE(request(9006, 0));
  EXPECT_TRUE(capture.has("Server Account1 returned"));
  EXPECT_EQ(capture.count("Your Account has been successfully updated\n"), 1);
  ASSERT_TRUE(settled(0));
  EXPECT_FALSE(client.replicas().health(0).suspect(0));  // refused at once: no hang
}

TEST_F(ClientFanOut, AllFailedRediscoversAndTriesAtMostFourTimesPerRequest) {
  auto child = startChildReplica("account0");
  child->signal(SIGKILL);
  child->wait();
  discover();
  EXPECT_FALSE(request(9006, 0));
  EXPECT_EQ(capture.count("all servers failed!!!!"), 4);
  EXPECT_EQ(capture.count("Resolved IOR: account0"), 4);  // start-up plus three rediscoveries
  EXPECT_EQ(capture.count(" Generic Exception occured server\n"), 4);
  // The connection was refused every time: nothing can have happened.
  EXPECT_EQ(capture.count(std::string(FailureNotice::kNoEffect) + "\n"), 1);
  // The next request has its own three rediscoveries.
  EXPECT_FALSE(request(9006, 0));
  EXPECT_EQ(capture.count("all servers failed!!!!"), 8);
}

TEST_F(ClientFanOut, RediscoveryPicksUpAReplacementReplica) {
  ct::TestAccount* good = new ct::TestAccount(ct::Mode::Succeed, "new");
  ct::TestAccount* failing = account(0, ct::Mode::Fail);
  // The failing replica is replaced under its name while it fails.
  failing->onCall = [good] { ct::bind("account0", good); };
  discover();
  client.identity().advance();
  EXPECT_TRUE(request(9006, 0));
  EXPECT_EQ(capture.count("Communication Failure while contacting server\n"), 1);
  EXPECT_EQ(capture.count("all servers failed!!!!"), 1);
  EXPECT_EQ(good->calls, 1);
  // The repeat carried the same request number.
  EXPECT_EQ(failing->seen(), good->seen());
}

TEST_F(ClientFanOut, ReplicaKilledDuringTheCallIsACommunicationFailure) {
  auto child = startChildReplica("account0");
  discover();
  auto result = std::async(std::launch::async, [this] { return request(9006, 0); });
  ASSERT_TRUE(child->waitForOutput("call arrived"));
  child->signal(SIGKILL);
  EXPECT_FALSE(result.get());
  // The repeats may still reach the dying process before it is gone.
  EXPECT_GE(capture.count("Communication Failure while contacting server\n"), 1);
  EXPECT_EQ(capture.count("all servers failed!!!!"), 4);
  // The replica had the request when it died: the customer is not told it
  // did not happen.
  EXPECT_TRUE(capture.has(std::string(FailureNotice::kMayHaveEffect) + "\n"));
  EXPECT_FALSE(capture.has(FailureNotice::kNoEffect));
}

TEST_F(ClientFanOut, NamingServiceDownAtRediscoveryFailsOnlyThatRequest) {
  ct::TestAccount* a0 = account(0, ct::Mode::Fail);
  discover();
  CORBA::Object_var gone = tt::orb()->string_to_object("corbaloc::127.0.0.1:1/NameService");
  CosNaming::NamingContext_var unreachable = CosNaming::NamingContext::_unchecked_narrow(gone);
  client.replicas().setNamingContext(unreachable.in());
  EXPECT_FALSE(request(9006, 0));
  EXPECT_EQ(capture.count("all servers failed!!!!"), 1);
  EXPECT_TRUE(capture.has("The Naming Service could not be reached to find the servers again: "
                          "TRANSIENT\n" +
                          std::string(FailureNotice::kMayHaveEffect) + "\n"))
      << capture.text();
  // The session goes on with the replicas it knew.
  a0->mode = ct::Mode::Succeed;
  EXPECT_TRUE(request(9006, 0));
  EXPECT_EQ(a0->calls, 2);
}

// An outcome left unknown is settled, not pushed to the customer: asked,
// the console sends the same request again under its number and reports
// what really happened. Declined, a later repeat of the same request keeps
// the number as well; only a settled request lets the next one move on.
TEST_F(ClientFanOut, UnknownOutcomeIsSentAgainUnderTheSameNumber) {
  ct::TestAccount* a0 = account(0, ct::Mode::Fail);
  discover();
  CORBA::Object_var gone = tt::orb()->string_to_object("corbaloc::127.0.0.1:1/NameService");
  CosNaming::NamingContext_var unreachable = CosNaming::NamingContext::_unchecked_narrow(gone);
  client.replicas().setNamingContext(unreachable.in());  // no rediscovery: unknown at once
  client.userInfo().username = CORBA::string_dup("ann");
  client.requests().settleUnknown(true, 0);
  in.str("y\n");
  a0->onCall = [a0] {
    if (a0->calls == 2) a0->mode = ct::Mode::Succeed;  // the second call
  };
  client.requests().numberRequest(Operation::UpdateProfile, "ann");
  EXPECT_TRUE(request(9006, 0));
  EXPECT_TRUE(capture.has("The service could not confirm your request yet.\n"
                          "Do you want to try again (y/n): "))
      << capture.text();
  EXPECT_TRUE(capture.has("Your Account has been successfully updated\n"));
  EXPECT_FALSE(capture.has(FailureNotice::kMayHaveEffect));
  std::vector<std::string> seen = a0->seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], seen[1]);

  a0->onCall = nullptr;
  a0->mode = ct::Mode::Fail;
  client.requests().numberRequest(Operation::UpdateProfile, "ann");
  const short unsettled = client.identity().number();
  in.clear();
  in.str("n\n");
  EXPECT_FALSE(request(9006, 0));
  EXPECT_TRUE(capture.has(std::string(FailureNotice::kMayHaveEffect) + "\n"));
  a0->mode = ct::Mode::Succeed;
  client.requests().numberRequest(Operation::UpdateProfile, "ann");
  EXPECT_EQ(client.identity().number(), unsettled);
  EXPECT_TRUE(request(9006, 0));
  seen = a0->seen();
  EXPECT_EQ(seen.back(), seen[seen.size() - 2]);
  client.requests().numberRequest(Operation::UpdateProfile, "ann");
  EXPECT_EQ(client.identity().number(), unsettled + 1);
}

TEST_F(ClientFanOut, TimeOutWaitsForTheCallsAndNeverReportsACarriedOutRequestAsFailed) {
  // In another process: calls within one process bypass the ORB's limit.
  auto child = startChildReplica("account0");
  ct::TestAccount* a1 = account(1, ct::Mode::Hang);
  discover();
  const auto start = std::chrono::steady_clock::now();
  auto result = std::async(std::launch::async, [this] { return request(9006, 0); });
  ASSERT_TRUE(tt::waitFor([&] { return capture.has("TIME_OUT: Server Responses Not Received"); },
                          30s));
  // Replica 1 carries the request out just as the client stopped waiting.
  ct::gate().open();
  EXPECT_TRUE(result.get());
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(capture.has("timeOut:vec: 0\n"));  // replica 1, still at work
  EXPECT_TRUE(capture.has("Server Account1 carried the request out as the time ran out"));
  EXPECT_FALSE(capture.has("The service could not"));
  EXPECT_EQ(a1->calls, 1);
  // The hung replica's call ended at the limit; it is suspect now.
  EXPECT_TRUE(capture.has("Replica account0 is suspect: its call timed out\n"));
  EXPECT_TRUE(client.replicas().health(0).suspect(0));
  EXPECT_NE(child->output().find("call arrived"), std::string::npos);
  EXPECT_GE(waited, 9s);
  EXPECT_LT(waited, 25s);  // the replica itself would hold the call for 30 s
}

TEST_F(ClientFanOut, BusyReplicaIsNeitherWaitedForNorCalledTwiceUntilTheOthersFail) {
  ct::TestAccount* a0 = account(0, ct::Mode::Hang);
  ct::TestAccount* a1 = account(1, ct::Mode::Succeed);
  discover();
  auto first = std::async(std::launch::async, [this] { return request(9006, 0); });
  ASSERT_EQ(first.wait_for(5s), std::future_status::ready) << "waited for the busy replica";
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(capture.has("Server Account1 returned"));
  // The console went on before replica 0 need have the call in hand.
  ASSERT_TRUE(tt::waitFor([&] { return a0->calls == 1; }));
  EXPECT_TRUE(request(9006, 0));
  EXPECT_TRUE(capture.has("Not calling replicas 0: suspect, or a call to them has not ended\n"));
  EXPECT_EQ(a0->calls, 1);
  // Replica 1 fails now: the request waits for replica 0's call to end and
  // then goes to it, rather than fail while a replica was never asked.
  a1->mode = ct::Mode::Fail;
  auto third = std::async(std::launch::async, [this] { return request(9006, 0); });
  ASSERT_TRUE(tt::waitFor([&] { return capture.has("Communication Failure while contacting"); }));
  EXPECT_EQ(third.wait_for(200ms), std::future_status::timeout);
  ct::gate().open();
  EXPECT_TRUE(third.get());
  EXPECT_TRUE(capture.has("Every replica called so far failed: calling replicas 0 as well\n"));
  EXPECT_EQ(capture.count("all servers failed!!!!"), 0);
  EXPECT_EQ(a0->calls, 2);
  EXPECT_TRUE(capture.has("late: Your Account has been successfully updated\n"));
}

TEST_F(ClientFanOut, ReplicaFreedDuringARequestGetsItAndTheDecisionKeepsReplicaOrder) {
  ct::TestAccount* a0 = account(0, ct::Mode::Succeed);
  ct::TestAccount* a1 = account(1, ct::Mode::Succeed, 300);
  ct::TestAccount* a2 = account(2, ct::Mode::Succeed, 300);
  discover();
  EXPECT_TRUE(request(9006, 0));  // decided by 0; 1 and 2 are still at it
  // Replica 0 hangs from now on; the next request can only start with it.
  a0->mode = ct::Mode::Hang;
  auto next = std::async(std::launch::async, [this] { return request(9006, 0); });
  ASSERT_EQ(next.wait_for(5s), std::future_status::ready) << capture.text();
  EXPECT_TRUE(next.get());
  EXPECT_TRUE(capture.has("Not calling replicas 1 2: suspect, or a call to them has not ended\n"));
  EXPECT_TRUE(capture.has("Their earlier calls have ended: calling replicas"));
  EXPECT_EQ(a0->calls, 2);
  ASSERT_TRUE(tt::waitFor([&] { return a1->calls == 2 && a2->calls == 2; }));
  ct::gate().open();
  ASSERT_TRUE(settled(0));
}

TEST_F(ClientFanOut, FrozenReplicaIsSkippedUntilItAnswersAgain) {
  auto child = startChildReplica("account0", true);
  account(1, ct::Mode::Succeed);
  discover();
  EXPECT_TRUE(request(9006, 0));  // connects to both
  ASSERT_TRUE(settled(0));
  ASSERT_TRUE(child->stop());
  const auto frozen = std::chrono::steady_clock::now();
  EXPECT_TRUE(request(9006, 0));
  EXPECT_LT(std::chrono::steady_clock::now() - frozen, 5s);
  // Its call runs into the timeout; from then on it is skipped.
  ASSERT_TRUE(tt::waitFor([&] { return client.replicas().health(0).suspect(0); }, 20s));
  EXPECT_FALSE(client.replicas().health(0).busy(0));
  EXPECT_TRUE(request(9006, 0));
  EXPECT_TRUE(capture.has("Not calling replicas 0"));
  child->signal(SIGCONT);
  // A liveness probe readmits it within a few seconds of requests.
  ASSERT_TRUE(tt::waitFor(
      [&] {
        EXPECT_TRUE(request(9006, 0));
        return !client.replicas().health(0).suspect(0);
      },
      20s))
      << capture.text();
  EXPECT_TRUE(capture.has("Replica account0 is trusted again: it answered a liveness probe"));
  ASSERT_TRUE(settled(0));
  client.terminal().say("-- readmitted --");
  EXPECT_TRUE(request(9006, 0));
  const std::string text = capture.text();
  EXPECT_EQ(text.find("Not calling replicas", text.find("-- readmitted --")), std::string::npos);
}

TEST_F(ClientFanOut, SearchFillsTheMovieAndCheckoutSendsIt) {
  ct::TestOrder* o0 = order(0, ct::Mode::Succeed);
  ct::TestOrder* o1 = order(1, ct::Mode::Succeed);
  discover();
  client.identity().renew();
  ASSERT_TRUE(client.movies().search("Heat", false));
  EXPECT_TRUE(client.movies().searchFound());
  const MovieInfo& m = client.requests().movieInfo();
  EXPECT_EQ(m.movieID, 42u);
  EXPECT_EQ(m.count, 3u);
  EXPECT_EQ(str(m.title.in()), "Heat");
  // The record is the deciding replica's reply.
  const std::string decided = capture.has("Server Account0 returned") ? "D0" : "D1";
  EXPECT_EQ(str(m.director.in()), decided);
  EXPECT_TRUE(capture.has("Title: Heat\nDirector: D"));
  EXPECT_TRUE(capture.has(std::string(79, '*') + "\n"));
  EXPECT_EQ(client.identity().current().transactionID, 0);

  ASSERT_TRUE(settled(1));
  client.movies().checkOutMovie();
  EXPECT_FALSE(client.movies().searchFound());
  ASSERT_TRUE(settled(1));
  EXPECT_EQ(o0->lastMovieID, 42u);
  EXPECT_EQ(o1->lastMovieID, 42u);
  EXPECT_EQ(o0->seen(), o1->seen());
  EXPECT_EQ(client.identity().current().transactionID, 1);
  EXPECT_TRUE(capture.has("Movie has been checked out\n"));
}

TEST_F(ClientFanOut, WaitlistIsSentOnlyForAMovieWithoutCopies) {
  ct::TestOrder* o0 = order(0, ct::Mode::Succeed);
  o0->copies = 0;
  discover();
  EXPECT_TRUE(client.movies().search("Heat", true));
  EXPECT_EQ(capture.count("Movie has been placed in the Waitlist\n"), 1);
  EXPECT_EQ(o0->lastMovieID, 42u);
  EXPECT_FALSE(client.movies().searchFound());
}
