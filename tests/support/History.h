// What every customer session was told, request by request: the record a
// chaos run keeps and the checker (HistoryChecker) reads afterwards.
//
// Thread safe: sessions record from their own threads while the run goes on.
#ifndef TAVRIN_HISTORY_H
#define TAVRIN_HISTORY_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "LoadDriver.h"

namespace tt {

// What a session was finally told of one request.
enum class Told {
  Done,     // carried out
  Refused,  // refused, with a text
  Failed,   // not carried out, and told it did not take effect
  Unknown,  // not decided: it may or may not have taken effect
};
const char* toldName(Told told);

struct HistoryEntry {
  int session = -1;
  std::string user;
  Op op = Op::Search;
  std::string title;        // order operations
  bool numbered = false;    // carries a request number
  short number = 0;         // valid when numbered
  Clock::time_point start, end;
  Told told = Told::Failed;
  std::string text;         // the refusal, or what failed
  std::string ticketUser;   // logIn told done: whom the ticket names
  long long held = -1;      // countHeld told done: the count answered
  std::string phone;        // createAccount, updateProfile: the phone sent
  // "s3 load3 checkout title2 #17 told done", for reports.
  std::string describe() const;
};

HistoryEntry toEntry(const RequestRecord& record);

class History {
 public:
  void record(const RequestRecord& record);
  void add(HistoryEntry entry);
  // Every entry so far, in the order they were recorded.
  std::vector<HistoryEntry> entries() const;
  std::map<Told, size_t> counts() const;

 private:
  mutable std::mutex mutex_;
  std::vector<HistoryEntry> entries_;
};

}  // namespace tt

#endif
