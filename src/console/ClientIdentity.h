// The identity of one client instance and its request numbers: the pair
// (clientID, transactionID) that every replica uses to recognise a request
// it has already carried out. It must never repeat, across hosts, processes
// and time, so the identity is
//
//   host IPv4 octets, each 3 digits   12 digits (all zeros: address unknown)
//   process id                        10 digits
//   64 random bits                    20 digits
//
// 42 decimal digits in all: fixed widths, so no two (address, pid) pairs
// give the same digits, and the random part keeps apart what they cannot
// (containers that all run as pid 1, recycled pids, hosts that all map to
// 127.0.1.1). When the 16-bit request number has used all its values, the
// client takes a fresh identity instead of reusing its own keys.
//
// Not thread safe: one owner thread (the console's requesting thread, or a
// load-driver session's thread). Copies are taken by value for the workers.
#ifndef TAVRIN_CLIENTIDENTITY_H
#define TAVRIN_CLIENTIDENTITY_H

#include <ServerIDL.hh>

#include <cstdint>
#include <functional>
#include <string>

class ClientIdentity {
 public:
  // The random part of each identity; tests inject their own.
  using Random = std::function<uint64_t()>;

  // No identity yet (empty), request number 0.
  explicit ClientIdentity(Random random = systemRandom);

  // The digits for one (address, pid, random) triple; `ipv4` is the four
  // octets in network order, or nullptr when the address is unknown.
  static std::string compose(const unsigned char* ipv4, long pid, uint64_t random);
  // The host's first IPv4 address, looked up once per process (thread
  // safe). False, and `ipv4` untouched, when the host has none.
  static bool hostAddress(unsigned char ipv4[4]);
  // 64 bits from the system's random source.
  static uint64_t systemRandom();

  // A new identity for this host and process; does not change the state.
  std::string generate() const;
  // Takes a fresh identity; the request number starts again at 0.
  const std::string& renew();
  // Uses `id` as it is from now on, also after the request number wraps
  // (for peers that replay or forge a given identity).
  void fix(const std::string& id);

  const std::string& id() const { return id_; }
  CORBA::Short number() const { return number_; }
  // The number the last request carried; the next one carries it plus one.
  CORBA::Short& number() { return number_; }

  // Advances the request number for the next request (16-bit arithmetic,
  // 32767 is followed by -32768). Once the identity has used all 65,535
  // numbers it takes a fresh one first, starting again at 1, and returns
  // true; a fixed identity wraps on to 0 instead.
  bool advance();

  ClientTransaction current() const;

 private:
  Random random_;
  std::string id_;
  CORBA::Short number_ = 0;
  bool fixed_ = false;
};

#endif
