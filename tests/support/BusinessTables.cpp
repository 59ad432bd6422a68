#include "BusinessTables.h"

namespace tt {

int BusinessTables::heldBy(const std::string& user) const {
  int n = 0;
  for (const auto& kv : held)
    if (kv.first.first == user) n += kv.second;
  return n;
}

BusinessTables BusinessTables::read(TestDB& db, const Baseline& baseline) {
  BusinessTables t;
  for (const auto& r : db.rows("select username, phoneNum from user")) t.phones[r[0]] = r[1];
  for (const auto& r : db.rows("select movieID, title, count from movie")) {
    auto stock = baseline.find(std::stoul(r[0]));
    t.copies[r[1]] = Copies{std::stoll(r[2]), stock == baseline.end() ? 0 : stock->second};
  }
  for (const auto& r : db.rows("select c.username, m.title from checkedoutmovies c"
                               " left join movie m on m.movieID = c.movieID"))
    ++t.held[{r[0], r[1]}];
  for (const auto& r : db.rows("select w.username, m.title, w.timeofrequest from waitlistedmovies w"
                               " left join movie m on m.movieID = w.movieID"
                               " order by w.timeofrequest, w.username")) {
    ++t.waiting[{r[0], r[1]}];
    t.queues[r[1]].push_back(Waiting{r[0], r[2]});
  }
  return t;
}

}  // namespace tt
