#include "CallerAddress.h"

namespace {
thread_local std::string address;
}

std::string CallerAddress::hostOf(const std::string& peer) {
  // giop:<transport>:<host>:<port>, the host of IPv6 in brackets.
  size_t start = peer.find(':');
  start = start == std::string::npos ? std::string::npos : peer.find(':', start + 1);
  if (start == std::string::npos) return "";
  std::string rest = peer.substr(start + 1);
  size_t colon = rest.rfind(':');
  if (colon != std::string::npos) rest.resize(colon);
  if (rest.size() >= 2 && rest.front() == '[' && rest.back() == ']')
    rest = rest.substr(1, rest.size() - 2);
  return rest.substr(0, 64);
}

void CallerAddress::record(const char* peer) { address = peer ? hostOf(peer) : ""; }

std::string CallerAddress::current() { return address; }
