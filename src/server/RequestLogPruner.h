// Keeps the request log (table `transactions`) to its last day, whoever
// wrote the rows: a log-out empties only that user's rows, and requests
// refused before any log-in (a registration under a made-up identity, say)
// leave rows that no log-out ever reaches.
//
// A thread of the server process runs one round at start-up and then every
// kInterval. A round deletes rows older than kMaxAgeHours in batches of at
// most kBatchRows, each batch one statement in autocommit under a
// RequestScope of its own: it takes a connection of the pool like a
// request, takes no row lock of a request's, and gives the connection back
// between two batches. A batch is given kBatchBudget, lock waits included,
// so it holds a connection no longer. At most
// kMaxBatches per round, so a backlog is worked off over several rounds. A
// batch that fails (a lock wait, the database gone) ends the round with one
// trace line; the next round tries again. Every replica of both servers
// prunes: the rows are no one's in particular, and a batch that finds
// nothing left costs one indexed lookup.
//
// Thread safe; the thread and its state live until the process ends.
#ifndef TAVRIN_REQUESTLOGPRUNER_H
#define TAVRIN_REQUESTLOGPRUNER_H

#include <chrono>

class RequestLogPruner {
 public:
  static constexpr std::chrono::minutes kInterval{10};
  static constexpr int kMaxAgeHours = 24;
  static constexpr int kBatchRows = 500;
  static constexpr int kMaxBatches = 20;
  static constexpr std::chrono::milliseconds kBatchBudget{1000};

  // Starts the thread; later calls do nothing.
  static void start();

  // One round, on the calling thread: the rows it deleted.
  static long long pruneOnce();

 private:
  // One batch: the rows it deleted.
  static long long pruneBatch();
};

#endif
