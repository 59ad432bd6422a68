// Checks a chaos run's history (what every session was told) against the
// business tables once the deployment is quiet:
//  - a request told done took effect exactly once;
//  - a request told failed (or refused) never took effect;
//  - an unknown outcome was settled one way, not both nor twice;
//  - copies are conserved for every title (free + held = stock);
//  - waiting lists are served in order (no copy free while a customer
//    below the limit waits; nobody served ahead of one who asked first
//    and could not have been at the limit), and nobody holds more than 3;
//  - every answer carrying a customer's data was that customer's.
// Each session is one customer, and its requests ran one after another, so
// replaying them gives what each (customer, title) may have come to; another
// customer's return may only turn a waiting row into a held one.
//
// Not thread safe; a checker is used once, by one thread.
#ifndef TAVRIN_HISTORYCHECKER_H
#define TAVRIN_HISTORYCHECKER_H

#include <map>
#include <string>
#include <vector>

#include "BusinessTables.h"
#include "History.h"

namespace tt {

enum class Breach {
  DoneNotOnce,        // told done, yet not in the tables, or in them twice
  FailedTookEffect,   // told failed or refused, yet in the tables
  UnknownUnsettled,   // an unknown outcome that took effect twice
  CopiesNotConserved,
  OverLimit,
  WaitingOrder,
  ForeignAnswer,      // answered with another customer's data
};
const char* breachName(Breach breach);

struct Violation {
  Breach breach;
  std::string what;
  std::string request;  // the request it concerns, "" when none
};

class HistoryChecker {
 public:
  HistoryChecker(std::vector<HistoryEntry> history, BusinessTables tables);
  std::vector<Violation> check();

 private:
  // What one (customer, title) may be: a set of these bits.
  enum : int { kNone = 1, kHeld = 2, kWait = 4 };
  struct Track {
    int possible = kNone;
    std::vector<const HistoryEntry*> requests;
  };
  struct Customer {
    std::map<std::string, Track> titles;
    bool mayHaveHadThree = false;  // at some point it may have held 3
  };
  using Key = BusinessTables::UserTitle;

  void replay();
  void replayAnswer(const HistoryEntry& e, const Customer& c);
  void checkRentals();
  void checkRental(const Key& key, const Track& track);
  void checkAccounts();
  void checkCopies();
  void checkQueues();
  void checkServedInOrder(const std::string& title);
  const HistoryEntry* waitRequest(const std::string& user, const std::string& title) const;
  void report(Breach breach, const std::string& what, const HistoryEntry* e);

  std::vector<HistoryEntry> history_;
  BusinessTables tables_;
  std::map<std::string, Customer> customers_;
  std::vector<Violation> found_;
};

}  // namespace tt

#endif
