// Client basics that need no server: the decision rule, what is known of
// hung replicas, what a failed request is told, the state check, the client
// identity, the string helpers, the request number and the command line.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>

#include "Client.h"
#include "ClientIdentity.h"
#include "Contract.h"
#include "FailureNotice.h"
#include "ReplicaClock.h"
#include "ReplicaClocks.h"
#include "ReplicaHealth.h"
#include "TestSupport.h"
#include "TextHelpers.h"

using Ended = ReplicaHealth::Ended;
using Indexes = std::vector<size_t>;

TEST(DecisionScan, LowestDecidedIndexWins) {
  EXPECT_EQ(FanOut::decide({1, 1}), 0);
  EXPECT_EQ(FanOut::decide({0, 1, 2}), 1);   // an open worker does not block a later answer
  EXPECT_EQ(FanOut::decide({-1, 2, 1}), 1);  // a refusal is as final as a success
  EXPECT_EQ(FanOut::decide({-1, -1, 1}), 2);
  EXPECT_EQ(FanOut::decide({2, 1}), 0);
}

TEST(DecisionScan, AllFailedOnlyWhenEveryWorkerFailed) {
  EXPECT_EQ(FanOut::decide({-1, -1, -1}), -1);
  EXPECT_EQ(FanOut::decide({}), -1);  // no replica at all
  EXPECT_EQ(FanOut::decide({-1, 0, -1}), -2);
  EXPECT_EQ(FanOut::decide({0, 0}), -2);
  EXPECT_EQ(FanOut::decide({-1, 5}), -2);  // anything but 1, 2, -1 is still open
}

TEST(Suspicion, BusyAndSuspectReplicasAreSkippedWhileAnotherIsTrusted) {
  std::vector<std::string> trace;
  ReplicaHealth h("orderObj", [&](const std::string& l) { trace.push_back(l); });
  h.reset(3);
  Indexes skipped;
  EXPECT_EQ(h.choose(&skipped), (Indexes{0, 1, 2}));
  EXPECT_TRUE(skipped.empty());
  // Never a second call to a replica whose call has not ended.
  EXPECT_EQ(h.choose(&skipped), Indexes{});
  EXPECT_TRUE(h.anyBusy());
  h.callEnded(1, Ended::Answered);
  h.callEnded(2, Ended::Failed);  // a failure at once is no hang
  EXPECT_EQ(h.choose(&skipped), (Indexes{1, 2}));
  EXPECT_EQ(skipped, Indexes{0});
  h.callEnded(1, Ended::Answered);
  h.callEnded(2, Ended::Answered);
  EXPECT_TRUE(trace.empty());

  h.callEnded(0, Ended::Hung);
  EXPECT_TRUE(h.suspect(0));
  EXPECT_EQ(h.choose(&skipped), (Indexes{1, 2}));
  EXPECT_EQ(skipped, Indexes{0});
  h.callEnded(1, Ended::Hung);
  h.callEnded(2, Ended::Hung);
  // Every replica suspect: all of them are called, as before.
  EXPECT_EQ(h.choose(), (Indexes{0, 1, 2}));
  h.callEnded(0, Ended::Failed);
  h.callEnded(1, Ended::Answered);  // an answer readmits
  h.callEnded(2, Ended::Hung);
  EXPECT_TRUE(h.suspect(0));
  EXPECT_FALSE(h.suspect(1));
  EXPECT_EQ(h.choose(), Indexes{1});
  h.callEnded(1, Ended::Answered);
  // One line per change, none for what did not change.
  EXPECT_EQ(trace, (std::vector<std::string>{
                       "Replica orderObj0 is suspect: its call timed out",
                       "Replica orderObj1 is suspect: its call timed out",
                       "Replica orderObj2 is suspect: its call timed out",
                       "Replica orderObj1 is trusted again: it answered"}));

  // Once the replicas called for an attempt failed, the rest: suspects
  // too, and a busy one only once its call has ended.
  EXPECT_EQ(h.choose(&skipped), Indexes{1});
  EXPECT_EQ(skipped, (Indexes{0, 2}));
  EXPECT_EQ(h.choose(&skipped, {1}), (Indexes{0, 2}));
  h.callEnded(1, Ended::Failed);
  EXPECT_FALSE(h.anyBusy({0, 1, 2}));
  EXPECT_TRUE(h.anyBusy({1}));
  EXPECT_EQ(h.choose(nullptr, {0, 1, 2}), Indexes{});
  for (size_t i : {0, 2}) h.callEnded(i, Ended::Failed);
  // While the request is open, a trusted replica whose earlier call ended
  // gets it too; suspects wait for the others to fail.
  EXPECT_EQ(h.choose(), Indexes{1});
  EXPECT_EQ(h.chooseFreed({1}), Indexes{});
  h.callEnded(0, Ended::Answered);
  EXPECT_EQ(h.chooseFreed({1}), Indexes{0});
  EXPECT_EQ(h.chooseFreed({1}), Indexes{});
  for (size_t i : {0, 1}) h.callEnded(i, Ended::Answered);

  // A new discovery forgets suspicion.
  h.reset(3);
  EXPECT_FALSE(h.suspect(0));
  EXPECT_EQ(h.choose(), (Indexes{0, 1, 2}));
}

TEST(Suspicion, SuspectsAreProbedOneAtATimeEveryFewSeconds) {
  ReplicaHealth h("account");
  h.reset(2);
  h.choose();
  h.callEnded(0, Ended::Hung);
  h.callEnded(1, Ended::Answered);
  const auto now = ReplicaHealth::Clock::now();
  const auto interval = ReplicaHealth::kProbeInterval;
  EXPECT_EQ(h.dueForProbe(now), Indexes{});  // it has just failed to answer
  EXPECT_EQ(h.dueForProbe(now + interval), Indexes{0});
  EXPECT_TRUE(h.busy(0));
  EXPECT_EQ(h.dueForProbe(now + 3 * interval), Indexes{});  // its probe is in flight
  EXPECT_EQ(h.choose(), Indexes{1});
  h.callEnded(1, Ended::Answered);
  h.probeEnded(0, false);
  EXPECT_TRUE(h.suspect(0));
  EXPECT_EQ(h.dueForProbe(now + interval + interval / 2), Indexes{});
  EXPECT_EQ(h.dueForProbe(now + 2 * interval), Indexes{0});
  h.probeEnded(0, true);
  EXPECT_FALSE(h.suspect(0));
  EXPECT_EQ(h.choose(), (Indexes{0, 1}));
  // A call still in flight across a rediscovery stays counted.
  h.reset(2);
  EXPECT_TRUE(h.busy(0));
  EXPECT_EQ(h.choose(), Indexes{});
}

TEST(FailureNotice, SaysNoEffectOnlyWhenNoCallCouldHaveHadOne) {
  FailureNotice none;
  EXPECT_STREQ(none.line(), FailureNotice::kNoEffect);  // no replica was called at all
  none.callFailed(CORBA::COMPLETED_NO);
  none.callFailed(CORBA::COMPLETED_NO);
  EXPECT_FALSE(none.mayHaveTakenEffect());
  EXPECT_STREQ(none.line(),
               "The service could not complete your request. It did not take effect; please "
               "try again.");
  for (CORBA::CompletionStatus c : {CORBA::COMPLETED_MAYBE, CORBA::COMPLETED_YES}) {
    FailureNotice maybe;
    maybe.callFailed(CORBA::COMPLETED_NO);
    maybe.callFailed(c);
    EXPECT_TRUE(maybe.mayHaveTakenEffect());
    EXPECT_STREQ(maybe.line(),
                 "The service could not confirm your request. It may have taken effect; please "
                 "check before you try again.");
  }
  FailureNotice running;
  running.callStillRunning();
  EXPECT_TRUE(running.mayHaveTakenEffect());
}

TEST(StateCheck, MapsStatesToTheNextMenu) {
  Client c;
  struct Row {
    int state, menu, after;
  } rows[] = {
      {5000, 5000, 5000}, {5005, 5000, 5000}, {5007, 5000, 5000}, {5301, 5500, 5301},
      {5302, 5500, 5302}, {5306, 5500, 5306}, {5300, 5500, 5300}, {5500, 5500, 5500},
      {5299, 5299, 5299}, {5501, 5299, 5501}, {5002, 5299, 5002},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.state);
    c.setClientState(static_cast<DialogueState>(r.state));
    EXPECT_EQ(c.checkClientstate(), r.menu);
    EXPECT_EQ(c.getClientState(), r.after);
  }
}

TEST(ClientIdentity, AddressPidAndRandomInFixedWidths) {
  std::ostringstream out;
  Client c(std::cin, out);
  c.identity().renew();
  const std::string id = str(c.identity().current().clientID.in());
  ASSERT_EQ(id.size(), 42u) << id;
  EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
  char pid[16];
  std::snprintf(pid, sizeof pid, "%010d", static_cast<int>(getpid()));
  EXPECT_EQ(id.substr(12, 10), pid);
  // Another client of the same process differs in its random part only.
  Client d(std::cin, out);
  d.identity().renew();
  const std::string other = str(d.identity().current().clientID.in());
  EXPECT_EQ(other.substr(0, 22), id.substr(0, 22));
  EXPECT_NE(other, id);

  const unsigned char a[4] = {10, 0, 0, 1};
  EXPECT_EQ(ClientIdentity::compose(a, 2345, 7),
            "010000000001" "0000002345" "00000000000000000007");
  // Unknown address: zeros; the largest random value still fits.
  EXPECT_EQ(ClientIdentity::compose(nullptr, 1, UINT64_MAX),
            "000000000000" "0000000001" "18446744073709551615");
  // Pairs whose plain digits run together stay apart: each part reads back.
  std::set<std::string> seen;
  const unsigned char addresses[][4] = {{10, 0, 0, 1}, {10, 0, 0, 12}, {100, 0, 0, 1},
                                        {1, 0, 0, 1},  {1, 0, 0, 11},  {255, 255, 255, 255}};
  for (const auto& addr : addresses) {
    for (long p : {1L, 12L, 123L, 2345L, 345L, 4194304L, 2147483647L}) {
      const std::string digits = ClientIdentity::compose(addr, p, 0);
      EXPECT_TRUE(seen.insert(digits).second) << digits;
      for (int k = 0; k < 4; ++k)
        EXPECT_EQ(std::stoi(digits.substr(3 * static_cast<size_t>(k), 3)), addr[k]);
      EXPECT_EQ(std::stol(digits.substr(12, 10)), p);
    }
  }
}

TEST(ClientIdentity, UsedUpRequestNumbersTakeAFreshIdentity) {
  uint64_t draws = 0;
  ClientIdentity fresh([&draws] { return ++draws; });
  const std::string first = fresh.renew();
  fresh.number() = -2;  // 65,534 numbers used
  EXPECT_FALSE(fresh.advance());
  EXPECT_EQ(fresh.number(), -1);
  EXPECT_TRUE(fresh.advance());
  EXPECT_NE(fresh.id(), first);
  EXPECT_EQ(fresh.id().substr(0, 22), first.substr(0, 22));
  EXPECT_EQ(fresh.number(), 1);

  // A given identity is kept; its numbers wrap on.
  ClientIdentity fixed;
  fixed.fix("777");
  fixed.number() = -1;
  EXPECT_FALSE(fixed.advance());
  EXPECT_EQ(fixed.number(), 0);
  EXPECT_EQ(fixed.id(), "777");

  // The console's keys never repeat within one process, across the wrap.
  std::ostringstream out;
  Client c(std::cin, out);
  c.identity().renew();
  std::set<std::string> keys;
  for (int i = 0; i < 70000; ++i) {
    c.requests().numberRequest(Operation::Return, "t");
    const ClientTransaction t = c.identity().current();
    ASSERT_TRUE(keys.insert(str(t.clientID.in()) + "#" + std::to_string(t.transactionID)).second)
        << "request " << i;
  }
  const std::string renewed = str(c.identity().current().clientID.in());
  EXPECT_NE(out.str().find("Request numbers used up; Client ID generated on client: " + renewed +
                           "\n"),
            std::string::npos);
}

TEST(StringHelpers, RemoveStrRemovesEveryOccurrenceAgainFromTheStart) {
  std::string s = "1.2.3.4";
  removeStr(s, ".");
  EXPECT_EQ(s, "1234");
  s = "aabb";
  removeStr(s, "ab");  // "aabb" -> "ab" -> ""
  EXPECT_EQ(s, "");
  s = "nothing here";
  removeStr(s, "xyz");
  EXPECT_EQ(s, "nothing here");
  s = "keep";
  removeStr(s, "");  // must end
  EXPECT_EQ(s, "keep");
}

TEST(StringHelpers, IntToStrIsDecimal) {
  EXPECT_EQ(intToStr(0), "0");
  EXPECT_EQ(intToStr(-42), "-42");
  EXPECT_EQ(intToStr(2147483647), "2147483647");
  EXPECT_EQ(intToStr(-2147483647 - 1), "-2147483648");
}

TEST(RequestNumber, StartsAtZeroAndWrapsAtSixteenBits) {
  Client c;
  EXPECT_EQ(c.identity().current().transactionID, 0);
  c.identity().advance();
  EXPECT_EQ(c.identity().current().transactionID, 1);
  for (int i = 1; i < 32767; ++i) c.identity().advance();
  EXPECT_EQ(c.identity().current().transactionID, 32767);
  c.identity().advance();
  EXPECT_EQ(c.identity().current().transactionID, -32768);
  c.identity().advance();
  EXPECT_EQ(c.identity().current().transactionID, -32767);
}

namespace {

// Runs the built Client with `args`; returns its exit status and output.
int runClient(const std::string& args, std::string& output) {
  const std::string cmd = tt::binDir() + "/Client " + args + " </dev/null 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[512];
  output.clear();
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) output.append(buf, n);
  const int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

TEST(CommandLine, WrongModeGivesUsageAndStatus255) {
  const std::string usage =
      "Client program called with incorrect parameters.\n"
      "Correct usage: Client -ORBInitRef <naming service> -manual\n"
      "OR\n"
      "Client -ORBInitRef <naming service> -auto <unique number per client>\n";
  for (const std::string args :
       {"", "-auto", "-manual -ORBInitRef NameService=corbaname::127.0.0.1:1",
        "-auto 3 -ORBInitRef NameService=corbaname::127.0.0.1:1", "-interactive", "5 -auto"}) {
    SCOPED_TRACE("args: " + args);
    std::string output;
    EXPECT_EQ(runClient(args, output), 255);
    EXPECT_EQ(output, usage);
  }
}

// Offsets from round trips (the middle of the call against the replica's
// reading); a long round trip never replaces a close estimate; a skew over
// a second is traced once per host; deadlines are stated in the replica's
// clock, less the estimate's uncertainty.
TEST(ReplicaClocks, EstimatesEachReplicasOffsetAndStatesDeadlinesInIt) {
  using namespace std::chrono;
  std::vector<std::string> lines;
  ReplicaClocks clocks([&](const std::string& l) { lines.push_back(l); });
  clocks.reset(kOrderSet, 2);
  EXPECT_FALSE(clocks.known(kOrderSet, 0));
  const ReplicaClocks::Wall::time_point t0(seconds(1700000000));
  clocks.record(kOrderSet, 0, t0, t0 + milliseconds(100), t0 + milliseconds(50) - seconds(15),
                "hostA");
  ASSERT_TRUE(clocks.known(kOrderSet, 0));
  EXPECT_FALSE(clocks.known(kOrderSet, 1));
  const auto limit = ReplicaClocks::Steady::now() + seconds(10);
  const auto stated = clocks.deadlineFor(kOrderSet, 0, limit);
  const auto inReplicaClock = ReplicaClocks::Wall::now() - seconds(15) + seconds(10);
  EXPECT_NEAR(duration_cast<milliseconds>(stated - inReplicaClock).count(), -51, 200);

  clocks.record(kOrderSet, 0, t0, t0 + seconds(2), t0 + seconds(1), "hostA");
  EXPECT_NEAR(duration_cast<milliseconds>(clocks.deadlineFor(kOrderSet, 0, limit) - stated).count(),
              0, 200);
  clocks.record(kOrderSet, 1, t0, t0 + milliseconds(10), t0 + milliseconds(5) - seconds(15),
                "hostA");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("replica host hostA is 15000 ms behind this console's"),
            std::string::npos)
      << lines[0];
  // In step within a second: nothing to trace. A rediscovery measures anew.
  clocks.record(kAccountSet, 0, t0, t0, t0 + milliseconds(900), "hostB");
  EXPECT_EQ(lines.size(), 1u);
  clocks.reset(kOrderSet, 2);
  EXPECT_FALSE(clocks.known(kOrderSet, 0));
}

TEST(ReplicaClocks, HostOfAnOrbAddress) {
  EXPECT_EQ(ReplicaClock::hostOf("giop:tcp:127.0.0.1:2809"), "127.0.0.1");
  EXPECT_EQ(ReplicaClock::hostOf("giop:ssl:db.example.org:443"), "db.example.org");
  EXPECT_EQ(ReplicaClock::hostOf("giop:tcp:[::1]:2809"), "[::1]");
}
