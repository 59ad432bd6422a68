#include "Invariants.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <tuple>

namespace tt {

// --- audit trail -------------------------------------------------------------------

namespace {

struct TriggerDef {
  const char* name;
  const char* event;  // "AFTER INSERT ON transactions"
  const char* values;
};

// Columns: tbl, action, username, clientID, transactionID, movieID, oldValue, newValue.
const TriggerDef kTriggers[] = {
    {"tt_audit_tx_i", "AFTER INSERT ON transactions",
     // 'R': logged as refused, with the answer later replicas repeat.
     "('transactions',IF(NEW.refusal='','I','R'),NEW.username,NEW.clientID,"
     "NEW.transactionID,0,0,0)"},
    // 'U': an entry inserted first in its transaction, given the refusal
    // its request was answered with before the commit. Other updates (a
    // log-in's sealed answer blanked when its session ends) log nothing new.
    {"tt_audit_tx_u", "AFTER UPDATE ON transactions",
     "SELECT 'transactions','U',NEW.username,NEW.clientID,NEW.transactionID,0,0,0 "
     "FROM DUAL WHERE NEW.refusal <> OLD.refusal"},
    {"tt_audit_co_i", "AFTER INSERT ON checkedoutmovies",
     "('checkedoutmovies','I',NEW.username,'',0,NEW.movieID,0,0)"},
    {"tt_audit_co_d", "AFTER DELETE ON checkedoutmovies",
     "('checkedoutmovies','D',OLD.username,'',0,OLD.movieID,0,0)"},
    {"tt_audit_wl_i", "AFTER INSERT ON waitlistedmovies",
     "('waitlistedmovies','I',NEW.username,'',0,NEW.movieID,0,0)"},
    {"tt_audit_wl_d", "AFTER DELETE ON waitlistedmovies",
     "('waitlistedmovies','D',OLD.username,'',0,OLD.movieID,0,0)"},
    {"tt_audit_mv_u", "AFTER UPDATE ON movie",
     "('movie','U','','',0,NEW.movieID,OLD.count,NEW.count)"},
    {"tt_audit_user_i", "AFTER INSERT ON user", "('user','I',NEW.username,'',0,0,0,0)"},
    {"tt_audit_user_u", "AFTER UPDATE ON user", "('user','U',NEW.username,'',0,0,0,0)"},
    {"tt_audit_user_d", "AFTER DELETE ON user", "('user','D',OLD.username,'',0,0,0,0)"},
    {"tt_audit_ticket_i", "AFTER INSERT ON ticket",
     "('ticket','I',NEW.username,'',0,0,0,CONV(LEFT(NEW.tokenTag,15),16,10))"},
    {"tt_audit_ticket_d", "AFTER DELETE ON ticket",
     "('ticket','D',OLD.username,'',0,0,CONV(LEFT(OLD.tokenTag,15),16,10),0)"},
};

}  // namespace

void AuditTrail::install(TestDB& db) {
  uninstall(db);
  // Text columns: an audit row must never fail the statement it records.
  db.exec(
      "CREATE TABLE tt_audit ("
      " id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,"
      " tbl VARCHAR(32) NOT NULL, action CHAR(1) NOT NULL,"
      " username TEXT NOT NULL, clientID TEXT NOT NULL, transactionID INT NOT NULL,"
      " movieID BIGINT NOT NULL, oldValue BIGINT NOT NULL, newValue BIGINT NOT NULL,"
      " at TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6)"
      ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci");
  for (const TriggerDef& t : kTriggers) {
    db.exec(std::string("CREATE TRIGGER ") + t.name + " " + t.event +
            " FOR EACH ROW INSERT INTO tt_audit (tbl, action, username, clientID,"
            " transactionID, movieID, oldValue, newValue) " +
            (t.values[0] == '(' ? "VALUES " : "") + t.values);
  }
}

void AuditTrail::uninstall(TestDB& db) {
  for (const TriggerDef& t : kTriggers) db.exec(std::string("DROP TRIGGER IF EXISTS ") + t.name);
  db.exec("DROP TABLE IF EXISTS tt_audit");
}

void AuditTrail::clear(TestDB& db) { db.exec("DELETE FROM tt_audit"); }

// In short tries: a flush queued behind a request that waits for another's
// row would hold up that other's next audit row, and both would wait until
// the lock wait limit (the database sees no cycle across the two kinds of
// lock).
void AuditTrail::refresh(TestDB& db) {
  db.exec("SET SESSION lock_wait_timeout = 1");
  bool flushed = false;
  for (int i = 0; i < 30 && !flushed; ++i) flushed = db.tryExec("FLUSH TABLES tt_audit");
  db.exec("SET SESSION lock_wait_timeout = DEFAULT");
  EXPECT_TRUE(flushed) << "the audit trail's table was never flushed";
}

Baseline takeBaseline(TestDB& db) {
  Baseline b;
  for (const auto& row : db.rows("select movieID, count from movie"))
    b[std::stoul(row[0])] = std::stoll(row[1]);
  for (const auto& row : db.rows("select movieID, count(*) from checkedoutmovies group by movieID"))
    b[std::stoul(row[0])] += std::stoll(row[1]);
  return b;
}

// --- checks ---------------------------------------------------------------------------

std::string InvariantResult::describe(size_t max) const {
  std::ostringstream os;
  os << violations.size() << " invariant violation(s) in " << checks << " checks";
  for (size_t i = 0; i < violations.size() && i < max; ++i) os << "\n  - " << violations[i];
  if (violations.size() > max) os << "\n  ... and " << violations.size() - max << " more";
  if (!refusedButCarriedOut.empty()) {
    os << "\n" << refusedButCarriedOut.size()
       << " request(s) refused by the deciding replica but carried out by another";
    for (size_t i = 0; i < refusedButCarriedOut.size() && i < max; ++i)
      os << "\n  ! " << refusedButCarriedOut[i];
  }
  return os.str();
}

namespace {

using UserMovie = std::pair<std::string, unsigned long>;
using TxKey = std::tuple<std::string, std::string, int>;

// Audited events, counted by key.
struct Trail {
  std::map<TxKey, long> logged;  // carried out or refused
  std::set<TxKey> carriedOut;
  std::map<UserMovie, long> heldIns, heldDel, waitIns;
  std::map<unsigned long, long> countUp, countDown;
  std::map<std::string, long> userIns, userUpd, ticketIns;
  // (user, the first 15 hex digits of the token's keyed hash) inserted
  std::set<std::pair<std::string, long long>> tickets;
};

Trail readTrail(TestDB& db) {
  Trail t;
  for (const auto& r : db.rows("select tbl, action, username, clientID, transactionID, movieID,"
                               " oldValue, newValue from tt_audit order by id")) {
    const std::string& tbl = r[0];
    const std::string& action = r[1];
    const std::string& user = r[2];
    unsigned long movie = std::stoul(r[5]);
    long long oldValue = std::stoll(r[6]);
    long long newValue = std::stoll(r[7]);
    if (tbl == "transactions") {
      TxKey key(user, r[3], std::stoi(r[4]));
      if (action == "U") {
        t.carriedOut.erase(key);  // the same entry, now a refusal
        continue;
      }
      ++t.logged[key];
      if (action == "I") t.carriedOut.insert(key);
    } else if (tbl == "checkedoutmovies") {
      ++(action == "I" ? t.heldIns : t.heldDel)[UserMovie(user, movie)];
    } else if (tbl == "waitlistedmovies") {
      if (action == "I") ++t.waitIns[UserMovie(user, movie)];
    } else if (tbl == "movie") {
      if (newValue > oldValue) t.countUp[movie] += newValue - oldValue;
      if (newValue < oldValue) t.countDown[movie] += oldValue - newValue;
    } else if (tbl == "user") {
      if (action == "I") ++t.userIns[user];
      if (action == "U") ++t.userUpd[user];
    } else if (tbl == "ticket" && action == "I") {
      ++t.ticketIns[user];
      t.tickets.insert({user, newValue});
    }
  }
  return t;
}

template <typename K>
long at(const std::map<K, long>& m, const K& k) {
  auto it = m.find(k);
  return it == m.end() ? 0 : it->second;
}

std::string describeKey(const UserMovie& k) {
  return "user '" + k.first + "', movie " + std::to_string(k.second);
}

}  // namespace

InvariantResult checkInvariants(TestDB& db, const Baseline& baseline,
                                const std::vector<RequestRecord>& records) {
  InvariantResult res;
  auto fail = [&res](const std::string& v) { res.violations.push_back(v); };

  // 1. Copies.
  std::map<unsigned long, long long> free, held;
  std::map<std::string, unsigned long> idOfTitle;
  for (const auto& r : db.rows("select movieID, count, title from movie")) {
    free[std::stoul(r[0])] = std::stoll(r[1]);
    idOfTitle[r[2]] = std::stoul(r[0]);
  }
  for (const auto& r : db.rows("select movieID, count(*) from checkedoutmovies group by movieID"))
    held[std::stoul(r[0])] = std::stoll(r[1]);
  for (const auto& kv : baseline) {
    ++res.checks;
    long long now = free.count(kv.first) ? free[kv.first] : 0;
    long long h = held.count(kv.first) ? held[kv.first] : 0;
    if (now + h != kv.second)
      fail("movie " + std::to_string(kv.first) + ": " + std::to_string(now) + " free + " +
           std::to_string(h) + " held, but " + std::to_string(kv.second) + " copies at the start");
  }
  for (const auto& kv : free) {
    ++res.checks;
    if (!baseline.count(kv.first)) fail("movie " + std::to_string(kv.first) + " appeared");
  }

  // 2. At most three held.
  ++res.checks;
  for (const auto& r : db.rows("select username, count(*) from checkedoutmovies group by username"
                               " having count(*) > 3"))
    fail("user '" + r[0] + "' holds " + r[1] + " movies");

  // 3. One waiting row per customer and movie.
  ++res.checks;
  for (const auto& r : db.rows("select username, movieID, count(*) from waitlistedmovies"
                               " group by username, movieID having count(*) > 1"))
    fail("user '" + r[0] + "' waits " + r[2] + " times for movie " + r[1]);

  // What the clients sent, and what they were told.
  Trail trail = readTrail(db);
  std::map<UserMovie, long> sentRent, okCheckout, okRent, okReturn;
  std::map<unsigned long, long> sentReturnOfMovie, sentRentOfMovie;
  std::map<std::string, long> sentCreate, sentLogIn, okCreate, okUpdate;
  std::map<TxKey, Op> opOfKey;
  for (const auto& r : records) {
    if (r.hasTransaction) opOfKey[TxKey(r.user, r.clientID, r.transactionID)] = r.op;
    bool ok = r.outcome == Outcome::Success;
    switch (r.op) {
      case Op::Checkout:
      case Op::Waitlist: {
        UserMovie k(r.user, r.movieID);
        ++sentRent[k];
        ++sentRentOfMovie[r.movieID];
        if (ok) {
          ++okRent[k];
          if (r.op == Op::Checkout) ++okCheckout[k];
        }
        break;
      }
      case Op::Return: {
        auto it = idOfTitle.find(r.title);
        if (it == idOfTitle.end()) break;
        ++sentReturnOfMovie[it->second];
        if (ok) ++okReturn[UserMovie(r.user, it->second)];
        break;
      }
      case Op::CreateAccount:
        ++sentCreate[r.user];
        if (ok) ++okCreate[r.user];
        break;
      case Op::LogIn:
        ++sentLogIn[r.user];
        break;
      case Op::UpdateProfile:
        if (ok) ++okUpdate[r.user];
        break;
      default:
        break;
    }
  }

  // 4. Nothing took effect twice.
  for (const auto& kv : trail.logged) {
    ++res.checks;
    if (kv.second < 2) continue;
    auto op = opOfKey.find(kv.first);
    fail("request " + std::to_string(std::get<2>(kv.first)) + " of user '" +
         std::get<0>(kv.first) + "' at client " + std::get<1>(kv.first) + " (" +
         (op == opOfKey.end() ? std::string("not sent by this scenario") : opName(op->second)) +
         ") was logged " + std::to_string(kv.second) + " times");
  }
  for (const auto& kv : trail.heldIns) {
    ++res.checks;
    if (kv.second > at(sentRent, kv.first))
      fail(describeKey(kv.first) + ": checked out " + std::to_string(kv.second) + " times from " +
           std::to_string(at(sentRent, kv.first)) + " checkout/waitlist requests");
  }
  for (const auto& kv : trail.waitIns) {
    ++res.checks;
    if (kv.second > at(sentRent, kv.first))
      fail(describeKey(kv.first) + ": waitlisted " + std::to_string(kv.second) + " times from " +
           std::to_string(at(sentRent, kv.first)) + " checkout/waitlist requests");
  }
  for (const auto& kv : trail.countUp) {
    ++res.checks;
    if (kv.second > at(sentReturnOfMovie, kv.first))
      fail("movie " + std::to_string(kv.first) + ": count raised " + std::to_string(kv.second) +
           " times from " + std::to_string(at(sentReturnOfMovie, kv.first)) + " returns");
  }
  for (const auto& kv : trail.countDown) {
    ++res.checks;
    if (kv.second > at(sentRentOfMovie, kv.first))
      fail("movie " + std::to_string(kv.first) + ": count lowered " + std::to_string(kv.second) +
           " times from " + std::to_string(at(sentRentOfMovie, kv.first)) +
           " checkout/waitlist requests");
  }
  for (const auto& kv : trail.userIns) {
    ++res.checks;
    if (kv.second > at(sentCreate, kv.first))
      fail("account '" + kv.first + "' created " + std::to_string(kv.second) + " times from " +
           std::to_string(at(sentCreate, kv.first)) + " requests");
  }
  for (const auto& kv : trail.ticketIns) {
    ++res.checks;
    if (kv.second > at(sentLogIn, kv.first))
      fail("user '" + kv.first + "' got " + std::to_string(kv.second) + " sessions from " +
           std::to_string(at(sentLogIn, kv.first)) + " log-ins");
  }

  // 5. Every confirmed request took effect.
  for (const auto& r : records) {
    if (r.outcome != Outcome::Success) continue;
    if (r.hasTransaction && r.op != Op::LogIn) {
      ++res.checks;
      if (!trail.carriedOut.count(TxKey(r.user, r.clientID, r.transactionID)))
        fail(std::string(opName(r.op)) + " request " + std::to_string(r.transactionID) +
             " of user '" + r.user + "' was confirmed but never carried out");
    }
    if (r.op == Op::LogIn) {
      ++res.checks;
      const long long stored = std::stoll(ticketTag(r.user, r.token).substr(0, 15), nullptr, 16);
      if (!trail.tickets.count({r.user, stored}))
        fail("log-in of user '" + r.user + "' was confirmed with token " +
             std::to_string(r.token) + ", which was never stored");
    }
  }
  // 6. A request the client was told did not take effect never did, then
  // or later.
  for (const auto& r : records) {
    if (!r.toldNoEffect || !r.hasTransaction) continue;
    ++res.checks;
    if (trail.carriedOut.count(TxKey(r.user, r.clientID, r.transactionID)))
      fail(std::string(opName(r.op)) + " request " + std::to_string(r.transactionID) +
           " of user '" + r.user + "' was reported as not taking effect (" +
           r.message.substr(0, 80) + "), but it did");
  }
  for (const auto& r : records) {
    if (!isBusinessRefusal(r) || !r.hasTransaction) continue;
    if (trail.carriedOut.count(TxKey(r.user, r.clientID, r.transactionID)))
      res.refusedButCarriedOut.push_back(std::string(opName(r.op)) + " request " +
                                         std::to_string(r.transactionID) + " of user '" + r.user +
                                         "' was refused (" + r.message +
                                         ") by replica " + std::to_string(r.decidedBy) +
                                         " but carried out by another");
  }
  for (const auto& kv : okCheckout) {
    ++res.checks;
    if (kv.second > at(trail.heldIns, kv.first))
      fail(describeKey(kv.first) + ": " + std::to_string(kv.second) +
           " confirmed checkouts, but only " + std::to_string(at(trail.heldIns, kv.first)) +
           " rows were added");
  }
  for (const auto& kv : okRent) {
    ++res.checks;
    long effects = at(trail.heldIns, kv.first) + at(trail.waitIns, kv.first);
    if (kv.second > effects)
      fail(describeKey(kv.first) + ": " + std::to_string(kv.second) +
           " confirmed checkouts and waitlistings, but only " + std::to_string(effects) +
           " rows were added");
  }
  for (const auto& kv : okReturn) {
    ++res.checks;
    if (kv.second > at(trail.heldDel, kv.first))
      fail(describeKey(kv.first) + ": " + std::to_string(kv.second) +
           " confirmed returns, but only " + std::to_string(at(trail.heldDel, kv.first)) +
           " rows were removed");
  }
  for (const auto& kv : okCreate) {
    ++res.checks;
    if (kv.second > at(trail.userIns, kv.first))
      fail("account '" + kv.first + "' was confirmed but never created");
  }
  for (const auto& kv : okUpdate) {
    ++res.checks;
    if (kv.second > at(trail.userUpd, kv.first))
      fail("user '" + kv.first + "': " + std::to_string(kv.second) +
           " confirmed profile updates, but only " + std::to_string(at(trail.userUpd, kv.first)) +
           " were written");
  }
  return res;
}

// --- report ---------------------------------------------------------------------------

namespace {

const char* const kOrder[] = {"load-16",     "soak-64",    "crash",
                              "frozen",      "db-restart", "naming-restart",
                              "hosts-partition", "bad-input", "access"};

std::string reportPath() {
  const char* p = std::getenv("TAVRIN_RELIABILITY_REPORT");
  if (p != nullptr && *p != '\0') return p;
  return sourceDir() + "/docs/reliability.md";
}

std::string cell(std::string s) {
  std::replace(s.begin(), s.end(), '|', '/');
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s;
}

std::string machine() {
  std::string model;
  std::ifstream cpu("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpu, line)) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  struct utsname u;
  uname(&u);
  std::ostringstream os;
  os << (model.empty() ? "unknown CPU" : model) << ", " << sysconf(_SC_NPROCESSORS_ONLN)
     << " cores, Linux " << u.release;
  return os.str();
}

std::string today() {
  char buf[32];
  time_t t = time(nullptr);
  struct tm tmv;
  gmtime_r(&t, &tmv);
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tmv);
  return buf;
}

// Replaces the lines between "<!-- name:begin -->" and "<!-- name:end -->".
void replaceBlock(std::string& text, const std::string& name, const std::string& body) {
  std::string begin = "<!-- " + name + ":begin -->\n";
  std::string end = "<!-- " + name + ":end -->";
  size_t b = text.find(begin);
  size_t e = text.find(end);
  if (b == std::string::npos || e == std::string::npos || e < b) {
    text += "\n" + begin + body + end + "\n";
    return;
  }
  text.replace(b + begin.size(), e - b - begin.size(), body);
}

std::string block(const std::string& text, const std::string& name) {
  std::string begin = "<!-- " + name + ":begin -->\n";
  size_t b = text.find(begin);
  size_t e = text.find("<!-- " + name + ":end -->");
  if (b == std::string::npos || e == std::string::npos || e < b) return "";
  return text.substr(b + begin.size(), e - b - begin.size());
}

// Table rows keyed by their hidden id comment, e.g. "| ... | <!-- load-16 -->".
std::map<std::string, std::string> rowsOf(const std::string& body) {
  std::map<std::string, std::string> rows;
  std::istringstream in(body);
  std::string line;
  while (std::getline(in, line)) {
    size_t k = line.rfind("<!-- ");
    if (line.empty() || line[0] != '|' || k == std::string::npos) continue;
    size_t e = line.find(" -->", k);
    if (e == std::string::npos) continue;
    rows[line.substr(k + 5, e - k - 5)] = line;
  }
  return rows;
}

std::string assemble(const std::string& header, std::map<std::string, std::string> rows) {
  std::string out = header;
  for (const char* id : kOrder) {
    auto it = rows.find(id);
    if (it == rows.end()) continue;
    out += it->second + "\n";
    rows.erase(it);
  }
  for (const auto& kv : rows) out += kv.second + "\n";
  return out;
}

}  // namespace

std::string seconds(double ms) {
  char buf[32];
  if (ms < 1000.0)
    std::snprintf(buf, sizeof buf, "%.0f ms", ms < 0 ? 0.0 : ms);
  else
    std::snprintf(buf, sizeof buf, "%.1f s", ms / 1000.0);
  return buf;
}

void printSummary(const ScenarioSummary& s) {
  std::cout << "SUMMARY " << s.id << ": " << s.requests << " requests, " << s.clientFailures
            << " failures seen by clients, " << s.refusals << " refused as designed, "
            << s.violations << " invariant violations, recovery "
            << s.recovery << ", longest wait " << seconds(s.maxWaitMs)
            << (s.notes.empty() ? "" : "; " + s.notes) << std::endl;
}

void recordScenario(const ScenarioSummary& s) {
  std::string path = reportPath();
  std::string text;
  {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
  }
  if (text.empty()) text = "# Reliability\n";

  auto results = rowsOf(block(text, "results"));
  std::ostringstream row;
  row << "| " << cell(s.scenario) << " | " << s.requests << " | " << s.clientFailures << " | "
      << s.refusals << " | " << s.violations << " | " << cell(s.recovery) << " | " << seconds(s.maxWaitMs) << " | "
      << cell(s.notes) << " | " << today() << " <!-- " << s.id << " -->";
  results[s.id] = row.str();
  replaceBlock(text, "results",
               assemble("| scenario | requests sent | failures seen by clients | refused as "
                        "designed | invariant violations | time to recover | longest wait | "
                        "notes | run |\n"
                        "|---|---|---|---|---|---|---|---|---|\n",
                        results));

  auto commands = rowsOf(block(text, "commands"));
  commands[s.id] = "| " + cell(s.scenario) + " | `" + s.command + "` <!-- " + s.id + " -->";
  replaceBlock(text, "commands", assemble("| scenario | command |\n|---|---|\n", commands));

  replaceBlock(text, "machine", "Last row written " + today() + " on " + machine() + ".\n");

  std::ofstream out(path, std::ios::trunc);
  out << text;
  if (!out) std::cerr << "could not write " << path << std::endl;
}

}  // namespace tt
