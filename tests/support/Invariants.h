// The checks that end every system scenario, and the reliability report.
//
// The database keeps only the final state, which cannot tell a request that
// took effect twice from two requests. So the scenarios install an audit
// trail first: triggers that copy every committed change of the rental tables
// into the table tt_audit (rolled-back work leaves no audit row). The checks
// then compare that trail with the requests the clients sent:
//
//  1. for every movie, the copies available plus the rows held equal the
//     copies it had when the scenario began;
//  2. no customer holds more than 3 movies;
//  3. no customer waits twice for one movie;
//  4. no request took effect twice: no (user, clientID, request number) was
//     logged twice, no customer got a movie more often than the
//     checkout and waitlist requests sent for it, no movie's count went up
//     more often than returns were sent for it, no account or session was
//     created more often than asked;
//  5. every request a client was told succeeded has taken effect: it was
//     logged, and its change (row held, row removed, profile written, ticket
//     stored) is in the trail;
//  6. no request a client was told did not take effect (failed or timed
//     out, with no call that could have taken effect) was logged, then or
//     later: the scenario checks once no replica may still be working on it.
//
// Single-threaded: call these from the test's main thread after the load.
#ifndef TAVRIN_INVARIANTS_H
#define TAVRIN_INVARIANTS_H

#include <map>
#include <string>
#include <vector>

#include "LoadDriver.h"
#include "TestSupport.h"

namespace tt {

class AuditTrail {
 public:
  // Creates tt_audit (emptied) and the triggers.
  static void install(TestDB& db);
  // Drops the triggers and the table.
  static void uninstall(TestDB& db);
  static void clear(TestDB& db);
  // Closes the cached handles of tt_audit. After a dump has read the table
  // (./tavrin backup), MariaDB 10.11 may hand a server's next LOCK TABLES a
  // handle that the triggers then refuse ("Can't update table 'tt_audit' in
  // stored function/trigger ...", error 1442) until the handles are closed.
  // Only tables written by triggers are affected: the service has none.
  static void refresh(TestDB& db);
};

// The copies of every movie when the scenario begins (after TestDB::reset,
// with nothing held).
using Baseline = std::map<unsigned long, long long>;
Baseline takeBaseline(TestDB& db);

struct InvariantResult {
  std::vector<std::string> violations;
  size_t checks = 0;  // individual comparisons made
  // Requests refused by the rental rules at the deciding replica, yet carried
  // out by another: the replicas' answers diverged, and the client was told
  // the opposite of what happened.
  std::vector<std::string> refusedButCarriedOut;
  bool ok() const { return violations.empty() && refusedButCarriedOut.empty(); }
  std::string describe(size_t max = 20) const;
};

// `records`: every request sent to the deployment during the scenario.
InvariantResult checkInvariants(TestDB& db, const Baseline& baseline,
                                const std::vector<RequestRecord>& records);

// --- report ---------------------------------------------------------------------

struct ScenarioSummary {
  std::string id;        // row key, e.g. "load-16"
  std::string scenario;  // what the row shows
  size_t requests = 0;
  size_t clientFailures = 0;  // requests not carried out, rental rules aside
  size_t refusals = 0;        // refused as designed (rental rules, bad input, forgeries)
  size_t violations = 0;
  std::string recovery = "-";  // time to recover, or "-" where nothing failed
  double maxWaitMs = 0;        // longest a client waited for one request
  std::string notes;
  std::string command;  // reproduces the row
};

// Prints the scenario's one summary line.
void printSummary(const ScenarioSummary& s);
// Writes or replaces the scenario's row in docs/reliability.md (or in the file
// named by TAVRIN_RELIABILITY_REPORT).
void recordScenario(const ScenarioSummary& s);
// "12.3 s", or "85 ms" below a second
std::string seconds(double ms);

}  // namespace tt

#endif
