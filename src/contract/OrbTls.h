// How a program's ORB protects IIOP. Every link is TLS unless the deployment
// runs without it (TAVRIN_TLS=off, for peers whose ORB lacks TLS):
//  - every program verifies the certificate of what it calls against the
//    deployment's CA and calls only TLS endpoints (a reference that offers
//    none fails with TRANSIENT, and nothing is sent);
//  - servers listen on TLS endpoints only and present their certificate;
//    they accept callers without a key pair (consoles carry none).
// The ORB does not compare a certificate's name with the host, so any
// certificate the CA signed for a server is trusted as a replica; one not
// issued for a server (no serverAuth) is refused by OpenSSL's own check.
//
// Environment, read by prepare():
//   TAVRIN_TLS      "off" for plain IIOP; anything else, or unset: TLS
//   TAVRIN_TLS_CA   the CA's certificate (default /etc/tavrin/tls/ca.pem)
//   TAVRIN_TLS_KEY  servers only: key and certificate in one PEM file
//                   (default /etc/tavrin/tls/replica.pem)
//
// prepare() is called once, before ORB_init, on the main thread. The
// refusal sink may be called from any thread that opens a connection.
#ifndef TAVRIN_ORBTLS_H
#define TAVRIN_ORBTLS_H

#include <omniORB4/CORBA.h>

#include <functional>
#include <string>
#include <vector>

class OrbTls {
 public:
  enum class Role { Client, Server };

  // Whether this process runs with TLS (TAVRIN_TLS is not "off").
  static bool enabled();
  // The CA certificate the process trusts: TAVRIN_TLS_CA or the default.
  static std::string caFile();

  // Checks the files and, for a server, that every -ORBendPoint in argv is
  // giop:ssl; then configures the ORB's TLS transport. False, with `error`
  // for the operator, when the program must not start: it would otherwise
  // talk in clear without a word.
  bool prepare(Role role, int argc, char** argv, std::string& error);

  // The options for ORB_init's fourth argument; valid while this object
  // lives. Empty (null-terminated) in plain mode.
  const char* (*options())[2];
  // Adds an ORB option of the program's own to options(), after prepare().
  void addOption(const std::string& name, const std::string& value);

  // Where a refused certificate is reported ("TLS: refused the certificate
  // of 127.0.0.1:PORT (CN=...): <reason>"); by default nowhere. Set before
  // the first call.
  static void onRefusal(std::function<void(const std::string&)> sink);

  // Why a call failed, when TLS is the cause: "" otherwise.
  static std::string refusalReason(const CORBA::SystemException& e);

 private:
  void flatten();

  std::vector<std::string> store_;
  std::vector<const char*> flat_;
};

#endif
