#include "ClientIdentity.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

struct HostAddress {
  bool known = false;
  unsigned char octets[4] = {0, 0, 0, 0};
};

HostAddress lookUpHost() {
  HostAddress a;
  char name[256] = {0};
  if (gethostname(name, sizeof name - 1) != 0) return a;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return a;
  const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  std::memcpy(a.octets, &in->sin_addr, 4);
  a.known = true;
  freeaddrinfo(found);
  return a;
}

bool readAll(int fd, unsigned char* p, size_t n) {
  while (n > 0) {
    const ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

ClientIdentity::ClientIdentity(Random random) : random_(std::move(random)) {}

std::string ClientIdentity::compose(const unsigned char* ipv4, long pid, uint64_t random) {
  char buf[64];
  const unsigned a = ipv4 ? ipv4[0] : 0, b = ipv4 ? ipv4[1] : 0, c = ipv4 ? ipv4[2] : 0,
                 d = ipv4 ? ipv4[3] : 0;
  std::snprintf(buf, sizeof buf, "%03u%03u%03u%03u%010ld%020llu", a, b, c, d,
                pid < 0 ? 0L : pid % 10000000000L, static_cast<unsigned long long>(random));
  return buf;
}

bool ClientIdentity::hostAddress(unsigned char ipv4[4]) {
  static const HostAddress host = lookUpHost();
  if (!host.known) return false;
  if (ipv4 != nullptr) std::memcpy(ipv4, host.octets, 4);
  return true;
}

uint64_t ClientIdentity::systemRandom() {
  uint64_t v = 0;
  unsigned char* p = reinterpret_cast<unsigned char*>(&v);
  size_t got = 0;
  while (got < sizeof v) {
    const ssize_t r = getrandom(p + got, sizeof v - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (got == sizeof v) return v;
  // A kernel without getrandom: the same source through its device.
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  const bool ok = fd >= 0 && readAll(fd, p, sizeof v);
  if (fd >= 0) close(fd);
  if (ok) return v;
  // No random source at all: the finest clock reading still keeps apart
  // processes that share address and pid at different moments.
  return static_cast<uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
}

std::string ClientIdentity::generate() const {
  unsigned char octets[4];
  const bool known = hostAddress(octets);
  return compose(known ? octets : nullptr, static_cast<long>(getpid()), random_());
}

const std::string& ClientIdentity::renew() {
  id_ = generate();
  number_ = 0;
  fixed_ = false;
  return id_;
}

void ClientIdentity::fix(const std::string& id) {
  id_ = id;
  fixed_ = true;
}

bool ClientIdentity::advance() {
  const auto next = static_cast<CORBA::UShort>(static_cast<CORBA::UShort>(number_) + 1u);
  if (next == 0 && !fixed_) {
    renew();
    number_ = 1;
    return true;
  }
  number_ = static_cast<CORBA::Short>(next);
  return false;
}

ClientTransaction ClientIdentity::current() const {
  ClientTransaction t;
  t.clientID = CORBA::string_dup(id_.c_str());
  t.transactionID = number_;
  return t;
}
