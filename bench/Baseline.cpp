#include "Baseline.h"

#include <chrono>
#include <string>

#include "Contract.h"
#include <optional>

#include "CustTransaction.h"
#include "DBConnection.h"
#include "DBFailure.h"
#include "DBQuery.h"
#include "DBTransaction.h"
#include "RowLock.h"
#include "SecretBox.h"
#include "TestSupport.h"
#include "TransactionGuard.h"

namespace bench {

namespace {

bool run(DBQuery& q, const std::string& stmt, std::string* failure) {
  try {
    q.query(stmt);
    return true;
  } catch (const DBFailure& f) {
    *failure = stmt + ": " + f.what();
    return false;
  }
}

// Sends a select and reads its whole result, as the servers do; the number
// of rows, or -1 on failure.
long select(DBQuery& q, const std::string& stmt, std::string* failure) {
  if (!run(q, stmt, failure)) return -1;
  try {
    long n = q.storeResults();
    while (q.isRows()) {
    }
    return n;
  } catch (const DBFailure& f) {
    *failure = stmt + ": no result: " + f.what();
    return -1;
  }
}

std::string tagOf(const Ticket& t) {
  return SecretBox::deployment().tag("ticket", {str(t.username.in()), std::to_string(t.token)});
}

// The request log's key of a request made with `t`.
CustTransaction::Key logKey(const Ticket& t, const ClientTransaction& ct, const char* operation) {
  CustTransaction::Key k;
  k.username = str(t.username.in());
  k.clientID = str(ct.clientID.in());
  k.transactionID = ct.transactionID;
  k.operation = operation;
  k.callerTag = tagOf(t);
  return k;
}

// The servant's ticket check, which runs before the table lock.
bool validate(DBQuery& q, const Ticket& t, std::string* failure) {
  long n = select(q,
                  "select * from ticket where username = '" +
                      DBConnection::escape(str(t.username.in())) + "' and tokenTag = '" +
                      tagOf(t) + "'",
                  failure);
  if (n == 1) return true;
  if (n >= 0) *failure = "the ticket is not valid";
  return false;
}

// The title's and the customer's rows, as the servers lock them.
bool lock(std::optional<RowLock>& held, CORBA::ULong movieID, const Ticket& t,
          std::string* failure) {
  try {
    held.emplace(LockFamily::kMovies,
                 std::vector<LockedRow>{LockedRow::movie(movieID), LockedRow::user(str(t.username.in()))});
    return true;
  } catch (const DBFailure& f) {
    *failure = std::string("lock: ") + f.what();
    return false;
  }
}

}  // namespace

Baseline::Baseline(const std::string& user, CORBA::Long token, const std::string& clientID)
    : ticket_(tt::makeTicket(user, token)),
      user_(DBConnection::escape(user)),
      clientID_(clientID) {}

ClientTransaction Baseline::nextTransaction() {
  return tt::makeTrans(clientID_, ++transactionID_);
}

void Baseline::timedCommit(TransactionGuard& tx) {
  auto start = std::chrono::steady_clock::now();
  tx.commit();
  commits_.push_back(
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
}

std::vector<double> Baseline::takeCommitTimes() {
  std::vector<double> out;
  out.swap(commits_);
  return out;
}

bool Baseline::pair(CORBA::ULong movieID, const std::string& title, std::string* failure) {
  return checkout(movieID, failure) && giveBack(movieID, title, failure);
}

bool Baseline::checkout(CORBA::ULong movieID, std::string* failure) {
  const std::string id = std::to_string(movieID);
  const ClientTransaction ct = nextTransaction();
  DBQuery q;
  CustTransaction log;
  bool ok = false;
  try {
    TransactionGuard tx;
    std::optional<RowLock> held;
    if (validate(q, ticket_, failure) && lock(held, movieID, ticket_, failure)) {
      if (log.CheckTransaction(logKey(ticket_, ct, "checkoutMovie"))) {
        *failure = "request already logged";
      } else {
        ok = select(q, "select count(username) from checkedoutmovies where userName = '" + user_ + "'",
                    failure) == 1 &&
             select(q, "select count from movie where movieID = " + id, failure) == 1 &&
             run(q, "update movie set count = count - 1 where movieID = " + id, failure) &&
             run(q, "insert into checkedoutmovies values('" + user_ + "', " + id + ")", failure);
        if (ok) log.AddTransaction(logKey(ticket_, ct, "checkoutMovie"));
      }
      if (ok) timedCommit(tx);
    }
  } catch (const std::exception& e) {
    ok = false;
    *failure = e.what();
  }
  DBTransaction::endRequest();
  return ok;
}

bool Baseline::giveBack(CORBA::ULong movieID, const std::string& title, std::string* failure) {
  const std::string id = std::to_string(movieID);
  const ClientTransaction ct = nextTransaction();
  DBQuery q;
  CustTransaction log;
  bool ok = false;
  try {
    TransactionGuard tx;
    std::optional<RowLock> held;
    if (validate(q, ticket_, failure) && lock(held, movieID, ticket_, failure)) {
      if (log.CheckTransaction(logKey(ticket_, ct, "returnMovie"))) {
        *failure = "request already logged";
      } else {
        ok = select(q, "select * from movie where title = '" + DBConnection::escape(title) + "'",
                    failure) == 1 &&
             select(q,
                    "select * from checkedoutmovies where username = '" + user_ +
                        "' and movieID = " + id,
                    failure) >= 1 &&
             run(q, "update movie set count = count + 1 where movieID = " + id, failure) &&
             run(q,
                 "delete from checkedoutmovies where username = '" + user_ +
                     "' and movieID = " + id,
                 failure) &&
             select(q, "select count from movie where movieID = " + id, failure) == 1;
        if (ok) {
          log.AddTransaction(logKey(ticket_, ct, "returnMovie"));
          // The two waiting-list passes of a return; nobody waits here.
          ok = select(q,
                      "select username from waitlistedmovies where movieID = " + id +
                          " order by timeofrequest asc",
                      failure) >= 0 &&
               select(q,
                      "select movieID from waitlistedmovies where username = '" + user_ +
                          "' order by timeofrequest asc",
                      failure) >= 0;
        }
      }
      if (ok) timedCommit(tx);
    }
  } catch (const std::exception& e) {
    ok = false;
    *failure = e.what();
  }
  DBTransaction::endRequest();
  return ok;
}

}  // namespace bench
