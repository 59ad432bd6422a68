#include "PasswordHash.h"

#include <sodium.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Unavailable.h"

namespace {

const unsigned long long kOps = 2;
const size_t kMem = 19u * 1024 * 1024;

std::mutex turnsMutex;
std::condition_variable turnFreed;
int running = 0;

// One of the kInFlight turns, held for one hash.
class Turn {
 public:
  Turn() {
    std::unique_lock<std::mutex> lock(turnsMutex);
    if (!turnFreed.wait_for(lock, std::chrono::milliseconds(PasswordHash::kWaitMs),
                            [] { return running < PasswordHash::kInFlight; }))
      throw Unavailable(Unavailable::kBudgetExhausted, "too many password checks at once");
    ++running;
  }
  ~Turn() {
    {
      std::lock_guard<std::mutex> lock(turnsMutex);
      --running;
    }
    turnFreed.notify_one();
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;
};

void sodiumReady() {
  if (sodium_init() < 0) throw Unavailable(Unavailable::kInternal, "libsodium cannot start");
}

}  // namespace

std::string PasswordHash::hash(const std::string& password) {
  sodiumReady();
  char out[crypto_pwhash_STRBYTES];
  Turn turn;
  if (crypto_pwhash_str(out, password.data(), password.size(), kOps, kMem) != 0)
    throw Unavailable(Unavailable::kInternal, "no memory for a password hash");
  return out;
}

bool PasswordHash::isHashed(const std::string& stored) {
  return stored.compare(0, 10, "$argon2id$") == 0;
}

bool PasswordHash::verify(const std::string& stored, const std::string& password) {
  sodiumReady();
  if (!isHashed(stored)) {
    // An old plain row: compare digests, so the time says nothing of where
    // the texts differ.
    unsigned char a[32], b[32];
    crypto_generichash(a, sizeof a, reinterpret_cast<const unsigned char*>(stored.data()),
                       stored.size(), nullptr, 0);
    crypto_generichash(b, sizeof b, reinterpret_cast<const unsigned char*>(password.data()),
                       password.size(), nullptr, 0);
    return !stored.empty() && sodium_memcmp(a, b, sizeof a) == 0;
  }
  Turn turn;
  return crypto_pwhash_str_verify(stored.c_str(), password.data(), password.size()) == 0;
}

bool PasswordHash::needsRehash(const std::string& stored) {
  sodiumReady();
  return !isHashed(stored) || crypto_pwhash_str_needs_rehash(stored.c_str(), kOps, kMem) != 0;
}

std::string PasswordHash::parameters() {
  return "Argon2id, t = " + std::to_string(kOps) + ", m = " + std::to_string(kMem >> 20) + " MiB";
}

int PasswordHash::inFlight() {
  std::lock_guard<std::mutex> lock(turnsMutex);
  return running;
}
