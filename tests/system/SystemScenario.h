// Shared frame of the reliability scenarios: a deployment of 3 account and 3
// order replicas on the private MariaDB and omniNames, a fresh catalogue with
// the audit trail, and the closing checks that every scenario ends with.
#ifndef TAVRIN_SYSTEMSCENARIO_H
#define TAVRIN_SYSTEMSCENARIO_H

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "Invariants.h"
#include "LoadDriver.h"
#include "TestSupport.h"

namespace tt {

// title1 .. titleN: 3 copies each in the catalogue.
inline std::vector<std::string> testTitles(int n) {
  std::vector<std::string> t;
  for (int i = 1; i <= n; ++i) t.push_back("title" + std::to_string(i));
  return t;
}

inline std::string reproduce(const std::string& filter) {
  return "./tavrin test -R " + filter;
}

class SystemScenario : public ::testing::Test {
 protected:
  // Each test starts from its own deployment: fault scenarios kill replicas.
  void startDeployment(int accounts = 3, int orders = 3) {
    configureOrb();
    deployment_ = std::make_unique<Deployment>(accounts, orders);
  }

  void SetUp() override {
    TestDB db;
    db.reset();
    AuditTrail::install(db);
    baseline_ = takeBaseline(db);
  }

  void TearDown() override {
    if (deployment_) {
      const std::string reports = deployment_->sanitizerReports();
      EXPECT_TRUE(reports.empty()) << reports;
    }
    deployment_.reset();
    TestDB db;
    AuditTrail::uninstall(db);
  }

  // Checks the invariants against `records`, prints the summary line and
  // writes the report row. Opens a connection of its own: the database may
  // have been restarted since SetUp.
  // With `countOutcomes` false the summary's failure and refusal counts are
  // the caller's (scenarios where refusals are the expected answer).
  void finish(ScenarioSummary summary, const std::vector<RequestRecord>& records,
              bool countOutcomes = true) {
    // A request the client was told did not take effect must not take
    // effect later either: check once no replica may still be working on
    // it, that is, once its client's deadline (10 s) has passed.
    Clock::time_point settled = Clock::now();
    for (const auto& r : records)
      if (r.toldNoEffect) settled = std::max(settled, r.startedAt + std::chrono::seconds(11));
    std::this_thread::sleep_until(settled);
    TestDB db;
    InvariantResult inv = checkInvariants(db, baseline_, records);
    summary.requests = records.size();
    if (countOutcomes) {
      summary.clientFailures = countFailures(records);
      summary.refusals = countBusinessRefusals(records);
    }
    summary.violations = inv.violations.size() + inv.refusedButCarriedOut.size();
    summary.maxWaitMs = maxElapsedMs(records);
    printSummary(summary);
    std::cout << inv.describe(200) << std::endl;
    for (const OpStats& s : statsByOp(records)) {
      std::cout << "  " << opName(s.op) << ": " << s.count << " sent, " << s.failures
                << " not carried out, p50 " << s.p50 << " ms, p95 " << s.p95 << " ms, max "
                << s.max << " ms, longest until the session went on " << s.maxElapsed << " ms"
                << std::endl;
    }
    // What the clients were told when a request was not carried out.
    std::map<std::string, size_t> told;
    for (const auto& r : records)
      if (r.outcome != Outcome::Success)
        ++told[std::string(opName(r.op)) + ": " + outcomeName(r.outcome) + ": " +
               r.message.substr(0, 120)];
    for (const auto& kv : told) std::cout << "  " << kv.second << " x " << kv.first << std::endl;
    recordScenario(summary);
    EXPECT_TRUE(inv.ok()) << inv.describe();
    if (!inv.ok()) dumpTrail(db, records);
  }

  // For the diagnosis of a violation: the audit trail, and the requests of
  // the users in it.
  static void dumpTrail(TestDB& db, const std::vector<RequestRecord>& records) {
    std::cout << "audit trail:" << std::endl;
    for (const auto& r : db.rows("select id, tbl, action, username, clientID, transactionID,"
                                 " movieID, oldValue, newValue, at from tt_audit order by id"))
      std::cout << "  " << r[0] << " " << r[1] << " " << r[2] << " u=" << r[3].substr(0, 40)
                << " c=" << r[4].substr(0, 24) << " t=" << r[5] << " m=" << r[6] << " "
                << r[7] << "->" << r[8] << " " << r[9] << std::endl;
    std::cout << "requests:" << std::endl;
    for (const auto& r : records)
      std::cout << "  s" << r.session << " " << r.user.substr(0, 40) << " " << opName(r.op)
                << " t=" << r.transactionID << " m=" << r.movieID << " " << r.title.substr(0, 20)
                << " -> " << outcomeName(r.outcome) << " by " << r.decidedBy << ": "
                << r.message.substr(0, 80) << std::endl;
  }

  std::unique_ptr<Deployment> deployment_;
  Baseline baseline_;
};

}  // namespace tt

#endif
