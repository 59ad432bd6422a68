#include "History.h"

namespace tt {

const char* toldName(Told told) {
  switch (told) {
    case Told::Done: return "done";
    case Told::Refused: return "refused";
    case Told::Failed: return "failed";
    case Told::Unknown: return "unknown";
  }
  return "?";
}

std::string HistoryEntry::describe() const {
  std::string s = "s" + std::to_string(session) + " " + user + " " + opName(op);
  if (!title.empty()) s += " " + title;
  if (numbered) s += " #" + std::to_string(number);
  s += " told " + std::string(toldName(told));
  if (!text.empty()) s += " (" + text.substr(0, 100) + ")";
  return s;
}

HistoryEntry toEntry(const RequestRecord& r) {
  HistoryEntry e;
  e.session = r.session;
  e.user = r.user;
  e.op = r.op;
  e.title = r.title;
  e.numbered = r.hasTransaction;
  e.number = r.transactionID;
  e.start = r.startedAt;
  e.end = r.endedAt;
  e.text = r.message;
  e.ticketUser = r.ticketUser;
  e.held = r.held;
  e.phone = r.phone;
  switch (r.outcome) {
    case Outcome::Success: e.told = Told::Done; break;
    case Outcome::Refused: e.told = Told::Refused; break;
    default: {
      // A search or a count changes nothing, whatever became of it.
      const bool reads = r.op == Op::Search || r.op == Op::CountHeld;
      e.told = r.toldNoEffect || reads ? Told::Failed : Told::Unknown;
      break;
    }
  }
  return e;
}

void History::record(const RequestRecord& record) { add(toEntry(record)); }

void History::add(HistoryEntry entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(std::move(entry));
}

std::vector<HistoryEntry> History::entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::map<Told, size_t> History::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::map<Told, size_t> n;
  for (const auto& e : entries_) ++n[e.told];
  return n;
}

}  // namespace tt
