// The business tables as they stand: accounts, movies held and waited for,
// and the copies of every title, read once the deployment is quiet. What the
// history checker compares the customers' history with; never the request
// log, which is the mechanism under test.
#ifndef TAVRIN_BUSINESSTABLES_H
#define TAVRIN_BUSINESSTABLES_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Invariants.h"
#include "TestSupport.h"

namespace tt {

struct BusinessTables {
  using UserTitle = std::pair<std::string, std::string>;
  struct Copies {
    long long free = 0;   // movie.count
    long long stock = 0;  // the copies it had when the run began
  };
  struct Waiting {
    std::string user;
    std::string since;  // timeofrequest, as the table orders it
  };
  std::map<std::string, std::string> phones;  // username -> phoneNum
  std::map<UserTitle, int> held;               // rows in checkedoutmovies
  std::map<UserTitle, int> waiting;            // rows in waitlistedmovies
  std::map<std::string, Copies> copies;        // by title
  std::map<std::string, std::vector<Waiting>> queues;  // by title, oldest first

  int heldBy(const std::string& user) const;
  // Reads the tables through `db`; `baseline` gives each movie's stock.
  static BusinessTables read(TestDB& db, const Baseline& baseline);
};

}  // namespace tt

#endif
