#include "HistoryChecker.h"

#include <algorithm>
#include <set>

namespace tt {

namespace {

const char* const kLimitWaitlisted =
    "The client already has 3 movies with him. So he cannot checkout a movie until he returns "
    "one. Placed in waitlist though!";

bool rental(Op op) { return op == Op::Checkout || op == Op::Waitlist || op == Op::Return; }

// The states a rental request leaves its (customer, title) in, had it taken
// effect. A checkout at the limit of three joins the waiting list instead,
// and a place on the waiting list is a checkout when a copy is free.
int effectOf(const HistoryEntry& e) {
  switch (e.op) {
    case Op::Checkout:
    case Op::Waitlist: return 2 | 4;
    case Op::Return: return 1;
    default: return 0;
  }
}

// What the customer was told it came to, when it was told it took effect.
int toldEffect(const HistoryEntry& e) {
  if (e.told == Told::Refused && e.text == kLimitWaitlisted) return 4;
  if (e.told != Told::Done) return 0;
  return e.op == Op::Checkout ? 2 : effectOf(e);
}

int countBits(int possible, int bit) { return (possible & bit) ? 1 : 0; }

}  // namespace

const char* breachName(Breach b) {
  switch (b) {
    case Breach::DoneNotOnce: return "told done, not carried out exactly once";
    case Breach::FailedTookEffect: return "told it did not take effect, yet it did";
    case Breach::UnknownUnsettled: return "unknown outcome not settled one way";
    case Breach::CopiesNotConserved: return "copies not conserved";
    case Breach::OverLimit: return "more than 3 movies held";
    case Breach::WaitingOrder: return "waiting list not served in order";
    case Breach::ForeignAnswer: return "answered with another customer's data";
  }
  return "?";
}

HistoryChecker::HistoryChecker(std::vector<HistoryEntry> history, BusinessTables tables)
    : history_(std::move(history)), tables_(std::move(tables)) {
  std::stable_sort(history_.begin(), history_.end(),
                   [](const HistoryEntry& a, const HistoryEntry& b) { return a.start < b.start; });
}

std::vector<Violation> HistoryChecker::check() {
  found_.clear();
  customers_.clear();
  replay();
  checkRentals();
  checkAccounts();
  checkCopies();
  checkQueues();
  return found_;
}

void HistoryChecker::report(Breach breach, const std::string& what, const HistoryEntry* e) {
  found_.push_back(Violation{breach, what, e ? e->describe() : ""});
}

void HistoryChecker::replay() {
  for (const HistoryEntry& e : history_) {
    if (e.user.empty()) continue;
    Customer& c = customers_[e.user];
    replayAnswer(e, c);
    if (!rental(e.op) || e.title.empty()) continue;
    Track& t = c.titles[e.title];
    t.requests.push_back(&e);
    if (const int told = toldEffect(e)) t.possible = told;
    else if (e.told == Told::Unknown) t.possible |= effectOf(e);
    int mayHold = 0;
    for (auto& kv : c.titles) {
      // Another customer's return may serve a waiting row at any time.
      if (kv.second.possible & kWait) kv.second.possible |= kHeld;
      mayHold += countBits(kv.second.possible, kHeld);
    }
    if (mayHold >= 3) c.mayHaveHadThree = true;
  }
}

// Answers that name the customer's data must be about that customer.
void HistoryChecker::replayAnswer(const HistoryEntry& e, const Customer& c) {
  if (e.told != Told::Done) return;
  if (e.op == Op::LogIn && e.ticketUser != e.user)
    report(Breach::ForeignAnswer, "log-in answered with a ticket for '" + e.ticketUser + "'", &e);
  if (e.op != Op::CountHeld) return;
  long long least = 0, most = 0;
  for (const auto& kv : c.titles) {
    least += kv.second.possible == kHeld;
    most += countBits(kv.second.possible, kHeld);
  }
  if (e.held < least || e.held > std::min(most, 3LL))
    report(Breach::ForeignAnswer,
           "count of movies held answered " + std::to_string(e.held) + ", this customer held " +
               std::to_string(least) + " to " + std::to_string(most),
           &e);
}

void HistoryChecker::checkRentals() {
  std::set<Key> keys;
  for (const auto& u : customers_)
    for (const auto& t : u.second.titles) keys.insert({u.first, t.first});
  for (const auto& kv : tables_.held) keys.insert(kv.first);
  for (const auto& kv : tables_.waiting) keys.insert(kv.first);
  static const Track kNothingAsked;
  for (const Key& k : keys) {
    auto u = customers_.find(k.first);
    const Track* t = &kNothingAsked;
    if (u != customers_.end()) {
      auto found = u->second.titles.find(k.second);
      if (found != u->second.titles.end()) t = &found->second;
    }
    checkRental(k, *t);
  }
}

void HistoryChecker::checkRental(const Key& key, const Track& track) {
  const int held = tables_.held.count(key) ? tables_.held.at(key) : 0;
  const int waits = tables_.waiting.count(key) ? tables_.waiting.at(key) : 0;
  const std::string where = key.first + " / " + key.second + ": " + std::to_string(held) +
                            " held, " + std::to_string(waits) + " waiting";
  auto last = [&](auto pred) -> const HistoryEntry* {
    for (auto it = track.requests.rbegin(); it != track.requests.rend(); ++it)
      if (pred(**it)) return *it;
    return nullptr;
  };
  if (held + waits > 1) {
    if (auto e = last([](const HistoryEntry& x) { return toldEffect(x) != 0; }))
      return report(Breach::DoneNotOnce, where + ": took effect twice", e);
    if (auto e = last([](const HistoryEntry& x) { return x.told == Told::Unknown; }))
      return report(Breach::UnknownUnsettled, where + ": took effect twice", e);
    return report(Breach::FailedTookEffect, where + ": rows no request was told of",
                  last([](const HistoryEntry&) { return true; }));
  }
  const int actual = held ? kHeld : waits ? kWait : kNone;
  if (track.possible & actual) return;
  const HistoryEntry* cause = last([&](const HistoryEntry& x) { return effectOf(x) & actual; });
  if (cause && (cause->told == Told::Failed || cause->told == Told::Refused))
    return report(Breach::FailedTookEffect, where, cause);
  report(Breach::DoneNotOnce, where + ": the last request told done is not in the tables",
         last([](const HistoryEntry& x) { return toldEffect(x) != 0; }));
}

void HistoryChecker::checkAccounts() {
  std::map<std::string, std::vector<const HistoryEntry*>> byUser;
  for (const HistoryEntry& e : history_)
    if (e.op == Op::CreateAccount || e.op == Op::UpdateProfile) byUser[e.user].push_back(&e);
  for (const auto& kv : byUser) {
    auto row = tables_.phones.find(kv.first);
    std::set<std::string> phones;
    const HistoryEntry* lastDone = nullptr;
    for (const HistoryEntry* e : kv.second) {
      if (e->told == Told::Done) phones = {e->phone}, lastDone = e;
      if (e->told == Told::Unknown) phones.insert(e->phone);
    }
    if (row == tables_.phones.end()) {
      if (lastDone) report(Breach::DoneNotOnce, kv.first + ": no account", lastDone);
      continue;
    }
    if (phones.empty()) {
      report(Breach::FailedTookEffect, kv.first + ": an account no request was told of",
             kv.second.back());
    } else if (!phones.count(row->second)) {
      const HistoryEntry* cause = nullptr;
      for (const HistoryEntry* e : kv.second)
        if (e->phone == row->second && e->told != Told::Done) cause = e;
      report(cause ? Breach::FailedTookEffect : Breach::DoneNotOnce,
             kv.first + ": phone " + row->second + " in the table", cause ? cause : lastDone);
    }
  }
}

void HistoryChecker::checkCopies() {
  std::map<std::string, long long> held;
  for (const auto& kv : tables_.held) held[kv.first.second] += kv.second;
  for (const auto& kv : tables_.copies) {
    const long long h = held[kv.first];
    if (kv.second.free + h != kv.second.stock)
      report(Breach::CopiesNotConserved,
             kv.first + ": " + std::to_string(kv.second.free) + " free + " + std::to_string(h) +
                 " held, of a stock of " + std::to_string(kv.second.stock),
             nullptr);
  }
  std::set<std::string> users;
  for (const auto& kv : tables_.held) users.insert(kv.first.first);
  for (const std::string& u : users)
    if (tables_.heldBy(u) > 3)
      report(Breach::OverLimit, u + " holds " + std::to_string(tables_.heldBy(u)), nullptr);
}

void HistoryChecker::checkQueues() {
  for (const auto& kv : tables_.queues) {
    const auto copies = tables_.copies.find(kv.first);
    if (copies != tables_.copies.end() && copies->second.free > 0)
      for (const auto& w : kv.second)
        if (tables_.heldBy(w.user) < 3)
          report(Breach::WaitingOrder,
                 kv.first + ": a copy is free while " + w.user + " (holding " +
                     std::to_string(tables_.heldBy(w.user)) + ") waits",
                 waitRequest(w.user, kv.first));
    checkServedInOrder(kv.first);
  }
}

// The request that put `user` on `title`'s waiting list, as it was told.
const HistoryEntry* HistoryChecker::waitRequest(const std::string& user,
                                                const std::string& title) const {
  auto c = customers_.find(user);
  if (c == customers_.end()) return nullptr;
  auto t = c->second.titles.find(title);
  if (t == c->second.titles.end()) return nullptr;
  const HistoryEntry* found = nullptr;
  for (const HistoryEntry* e : t->second.requests) {
    if (toldEffect(*e) & kWait) found = e;
    else if (toldEffect(*e) != 0 || e->told == Told::Unknown) found = nullptr;
  }
  return found;
}

// A customer served from the list while one who was told of a place earlier,
// and could never have been at the limit, still waits.
void HistoryChecker::checkServedInOrder(const std::string& title) {
  for (const auto& kv : tables_.held) {
    if (kv.first.second != title) continue;
    const HistoryEntry* served = waitRequest(kv.first.first, title);
    if (!served) continue;
    for (const auto& w : tables_.queues.at(title)) {
      const HistoryEntry* waiting = waitRequest(w.user, title);
      if (!waiting || waiting->end >= served->start) continue;
      if (customers_.at(w.user).mayHaveHadThree) continue;
      report(Breach::WaitingOrder,
             title + ": " + kv.first.first + " was served while " + w.user +
                 ", on the list before it asked, still waits",
             served);
    }
  }
}

}  // namespace tt
