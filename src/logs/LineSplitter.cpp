#include "LineSplitter.h"

bool LineSplitter::feed(const char* data, std::size_t n) {
  std::size_t whole = n;  // bytes up to and including the last newline
  while (whole > 0 && data[whole - 1] != '\n') --whole;
  if (whole == 0) {
    pending_.append(data, n);
    return pending_.size() < kMaxPending || finish();
  }
  pending_.append(data, whole);
  bool ok = sink_(pending_.data(), pending_.size());
  pending_.assign(data + whole, n - whole);
  return ok;
}

bool LineSplitter::finish() {
  if (pending_.empty()) return true;
  bool ok = sink_(pending_.data(), pending_.size());
  pending_.clear();
  return ok;
}
