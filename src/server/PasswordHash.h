// Stored passwords: salted Argon2id hashes (libsodium, t = 2, m = 19 MiB),
// verified in constant time. A row from before hashing holds the password
// itself; verify() accepts it (compared in constant time too) and
// needsRehash() says the row is to be rewritten with hash().
//
// Each hash takes 19 MiB for tens of milliseconds: at most kInFlight run at
// once in a process, so that a burst of log-ins cannot exhaust its memory;
// the others wait their turn, up to kWaitMs, then give up (Unavailable).
//
// Thread safe. Raises Unavailable when no hash could be made (out of memory,
// no turn in time); a wrong password is false, never an exception.
#ifndef TAVRIN_PASSWORDHASH_H
#define TAVRIN_PASSWORDHASH_H

#include <string>

class PasswordHash {
 public:
  static constexpr int kInFlight = 2;
  static constexpr int kWaitMs = 5000;

  static std::string hash(const std::string& password);
  // Whether `password` is the one `stored` (a hash, or a plain old row) holds.
  static bool verify(const std::string& stored, const std::string& password);
  // True for a plain old row, or a hash of weaker parameters than today's.
  static bool needsRehash(const std::string& stored);
  static bool isHashed(const std::string& stored);
  // "Argon2id, t = 2, m = 19 MiB": for the benchmark's report.
  static std::string parameters();
  // Hashes running in this process right now.
  static int inFlight();
};

#endif
