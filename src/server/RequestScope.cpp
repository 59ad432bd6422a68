#include "RequestScope.h"

#include "DBTransaction.h"

namespace {
std::mutex& requestMutex() {
  static std::mutex m;
  return m;
}
}  // namespace

RequestScope::RequestScope() : lock_(requestMutex()) {}

RequestScope::~RequestScope() {
  DBTransaction transaction;
  transaction.endRequest();
}
