#include "OrbTls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <omniORB4/minorCode.h>
#include <omniORB4/sslContext.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

namespace {

const char* const kDefaultCa = "/etc/tavrin/tls/ca.pem";
const char* const kDefaultKey = "/etc/tavrin/tls/replica.pem";

std::string env(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

bool readable(const std::string& path, const char* what, const char* variable,
              std::string& error) {
  std::ifstream in(path);
  if (in) return true;
  error = std::string("TLS: cannot read the ") + what + " " + path + " (" + std::strerror(errno) +
          "): set " + variable + ", or run the deployment with TAVRIN_TLS=off";
  return false;
}

std::mutex sinkMutex;
std::function<void(const std::string&)> refusalSink;

void report(const std::string& line) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  if (refusalSink) refusalSink(line);
}

// The address of the peer of the connection being verified.
std::string peerOf(X509_STORE_CTX* ctx) {
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (ssl == nullptr || getpeername(SSL_get_fd(ssl), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return "a peer";
  char host[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (sa.ss_family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&sa);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
  } else if (sa.ss_family == AF_INET6) {
    auto* in = reinterpret_cast<sockaddr_in6*>(&sa);
    inet_ntop(AF_INET6, &in->sin6_addr, host, sizeof host);
    port = ntohs(in->sin6_port);
  }
  return std::string(host) + ":" + std::to_string(port);
}

std::string subjectOf(X509* cert) {
  if (cert == nullptr) return "no certificate";
  char buf[256];
  X509_NAME_oneline(X509_get_subject_name(cert), buf, sizeof buf);
  return buf;
}

// OpenSSL's verdict, unchanged (a caller also refuses a certificate not
// issued for a server: "unsuitable certificate purpose"); a refusal is
// reported with its reason.
int verifyPeer(int ok, X509_STORE_CTX* ctx) {
  if (!ok) {
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    report("TLS: refused the certificate of " + peerOf(ctx) + " (" + subjectOf(cert) +
           "): " + X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx)));
  }
  return ok;
}

// The endpoints given with -ORBendPoint; false when one is not TLS.
bool endpointsAreTls(int argc, char** argv, bool& anyGiven, std::string& error) {
  anyGiven = false;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-ORBendPoint") != 0) continue;
    anyGiven = true;
    const std::string ep = argv[i + 1];
    if (ep.rfind("giop:ssl:", 0) != 0) {
      error = "TLS: the endpoint " + ep +
              " is not a TLS endpoint: give giop:ssl:HOST:PORT, or run the deployment with "
              "TAVRIN_TLS=off";
      return false;
    }
  }
  return true;
}

}  // namespace

bool OrbTls::enabled() { return env("TAVRIN_TLS", "") != "off"; }

std::string OrbTls::caFile() { return env("TAVRIN_TLS_CA", kDefaultCa); }

bool OrbTls::prepare(Role role, int argc, char** argv, std::string& error) {
  store_.clear();
  if (enabled()) {
    const std::string ca = caFile();
    if (!readable(ca, "CA certificate", "TAVRIN_TLS_CA", error)) return false;
    store_ = {"sslCAFile", ca, "clientTransportRule", "* ssl"};
    if (role == Role::Server) {
      const std::string key = env("TAVRIN_TLS_KEY", kDefaultKey);
      if (!readable(key, "key and certificate", "TAVRIN_TLS_KEY", error)) return false;
      bool anyEndpoint = false;
      if (!endpointsAreTls(argc, argv, anyEndpoint, error)) return false;
      // The key file holds no pass phrase; without this the transport asks
      // for one and fails every handshake.
      store_.insert(store_.end(), {"sslKeyFile", key, "sslKeyPassword", ""});
      if (!anyEndpoint) store_.insert(store_.end(), {"endPoint", "giop:ssl::"});
    }
    // Servers ask callers for a certificate but accept those without one
    // (consoles); either side still verifies the certificate it is shown.
    sslContext::verify_mode = role == Role::Server ? SSL_VERIFY_PEER
                                                   : SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
    sslContext::verify_callback = verifyPeer;
  }
  flatten();
  return true;
}

void OrbTls::addOption(const std::string& name, const std::string& value) {
  store_.insert(store_.end(), {name, value});
  flatten();
}

void OrbTls::flatten() {
  flat_.clear();
  for (const std::string& s : store_) flat_.push_back(s.c_str());
  flat_.push_back(nullptr);
  flat_.push_back(nullptr);
}

const char* (*OrbTls::options())[2] {
  return reinterpret_cast<const char* (*)[2]>(flat_.data());
}

void OrbTls::onRefusal(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  refusalSink = std::move(sink);
}

std::string OrbTls::refusalReason(const CORBA::SystemException& e) {
  if (!enabled() || CORBA::TRANSIENT::_downcast(&e) == nullptr) return "";
  if (e.minor() == omni::TRANSIENT_NoUsableProfile)
    return "its reference offers no TLS endpoint; a replica must listen on TLS";
  return "";
}
