// The physical limit: the statements one order replica runs for a checkout
// and for a return, sent straight through the persistence layer on this
// process's one database connection. No CORBA, no replicas, no trace lines
// of the business layer: the best the database allows for the same work.
#ifndef TAVRIN_BENCH_BASELINE_H
#define TAVRIN_BENCH_BASELINE_H

#include <ServerIDL.hh>

#include <string>
#include <vector>

class TransactionGuard;

namespace bench {

class Baseline {
 public:
  // `user` must exist with a session whose token is `token`.
  Baseline(const std::string& user, CORBA::Long token, const std::string& clientID);
  // One checkout of the movie, then its return. On failure `failure` names
  // the statement and the database's error.
  bool pair(CORBA::ULong movieID, const std::string& title, std::string* failure);
  // The time of each COMMIT sent since the last call, in ms.
  std::vector<double> takeCommitTimes();

 private:
  bool checkout(CORBA::ULong movieID, std::string* failure);
  bool giveBack(CORBA::ULong movieID, const std::string& title, std::string* failure);
  ClientTransaction nextTransaction();
  void timedCommit(::TransactionGuard& tx);

  Ticket ticket_;
  std::string user_;  // escaped
  std::string clientID_;
  short transactionID_ = 0;
  std::vector<double> commits_;
};

}  // namespace bench

#endif
