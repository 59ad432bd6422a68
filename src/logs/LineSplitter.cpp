#include "LineSplitter.h"

#include <cstring>

bool LineSplitter::feed(const char* data, std::size_t n) {
  const void* nl = nullptr;
  for (std::size_t i = n; i > 0; --i)
    if (data[i - 1] == '\n') {
      nl = data + i - 1;
      break;
    }
  if (nl == nullptr) {
    pending_.append(data, n);
    if (pending_.size() < kMaxPending) return true;
    return finish();
  }
  const std::size_t whole = static_cast<std::size_t>(static_cast<const char*>(nl) - data) + 1;
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
