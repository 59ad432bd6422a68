#include "DBSettings.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <utility>

#include "OrbTls.h"

#ifndef TAVRIN_DB_HOST
#define TAVRIN_DB_HOST "127.0.0.1"
#endif

namespace {

std::string trim(const std::string& s) {
  const char* blanks = " \t\r\n";
  size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

bool parsePort(const std::string& text, unsigned int& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
  if (v == 0 || v > 65535) return false;
  port = static_cast<unsigned int>(v);
  return true;
}

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : nullptr;
}

}  // namespace

DBSettings::Endpoint::Endpoint(std::string host, unsigned int port)
    : host_(std::move(host)), port_(port) {}

std::string DBSettings::Endpoint::text() const {
  std::string h = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
  return port_ == 0 ? h : h + ":" + std::to_string(port_);
}

namespace {

// Splits "[v6addr]" or "[v6addr]:port" into its host and port texts.
bool splitBracketed(const std::string& item, std::string& host, std::string& port,
                    std::string& error) {
  size_t close = item.find(']');
  if (close == std::string::npos) {
    error = "'" + item + "' lacks the closing ']'";
    return false;
  }
  host = item.substr(1, close - 1);
  std::string rest = item.substr(close + 1);
  if (rest.empty()) return true;
  if (rest[0] != ':') {
    error = "'" + item + "' has text after ']' that is not ':port'";
    return false;
  }
  port = rest.substr(1);
  if (port.empty()) {
    error = "'" + item + "' has no port after ':'";
    return false;
  }
  return true;
}

// Splits "host" or "host:port" into its host and port texts.
bool splitPlain(const std::string& item, std::string& host, std::string& port,
                std::string& error) {
  size_t colon = item.find(':');
  if (colon != std::string::npos && item.find(':', colon + 1) != std::string::npos) {
    error = "'" + item + "': write an IPv6 address in brackets, [addr]:port";
    return false;
  }
  host = item.substr(0, colon);
  if (colon == std::string::npos) return true;
  port = item.substr(colon + 1);
  if (port.empty()) {
    error = "'" + item + "' has no port after ':'";
    return false;
  }
  return true;
}

}  // namespace

bool DBSettings::Endpoint::parse(const std::string& item, Endpoint& out, std::string& error) {
  std::string host, portText;
  bool split = !item.empty() && item[0] == '[' ? splitBracketed(item, host, portText, error)
                                               : splitPlain(item, host, portText, error);
  if (!split) return false;
  if (host.empty()) {
    error = "'" + item + "' has no host";
    return false;
  }
  unsigned int port = 0;
  if (!portText.empty() && !parsePort(portText, port)) {
    error = "'" + item + "' has no valid port (1 to 65535)";
    return false;
  }
  out = Endpoint(host, port);
  return true;
}

bool DBSettings::parseEndpoints(const std::string& text, std::vector<Endpoint>& out,
                                std::string& error) {
  std::vector<Endpoint> list;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    std::string item = trim(text.substr(start, comma == std::string::npos ? std::string::npos
                                                                           : comma - start));
    Endpoint ep;
    if (item.empty()) {
      error = "empty endpoint in '" + text + "'";
      return false;
    }
    if (!Endpoint::parse(item, ep, error)) return false;
    list.push_back(ep);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  out = list;
  return true;
}

bool DBSettings::readFile(const std::string& path, std::string& error, std::string& warning) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    warning = path + " can be read by other accounts; it holds the database password: chmod 600 it";
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::string t = trim(line);
    if (t.empty() || t[0] == '#') continue;
    size_t eq = t.find('=');
    std::string why;
    if (eq == std::string::npos) {
      why = "expected key = value";
    } else if (setFromFile(trim(t.substr(0, eq)), trim(t.substr(eq + 1)), why)) {
      continue;
    }
    error = path + " line " + std::to_string(number) + ": " + why;
    return false;
  }
  return true;
}

bool DBSettings::setFromFile(const std::string& key, const std::string& value,
                             std::string& error) {
  if (key == "user") {
    user_ = value;
  } else if (key == "password") {
    password_ = value;
  } else if (key == "database") {
    database_ = value;
  } else if (key == "endpoints") {
    return parseEndpoints(value, endpoints_, error);
  } else if (key == "ssl-ca") {
    sslCa_ = value;
  } else if (key == "ssl-cert") {
    sslCert_ = value;
  } else if (key == "ssl-key") {
    sslKey_ = value;
  } else if (key == "seal-key") {
    sealKey_ = value;
  } else if (!setLimit(key, value, error)) {
    if (error.empty())
      error = "unknown key '" + key +
              "' (user, password, database, endpoints, ssl-ca, ssl-cert, ssl-key, seal-key, "
              "session-idle, session-max, guess-window, guess-limit, guess-backoff, "
              "guess-backoff-max)";
    return false;
  }
  return true;
}

namespace {

struct LimitKey {
  const char* key;
  const char* env;
  long DBSettings::Limits::*field;
};

const LimitKey kLimitKeys[] = {
    {"session-idle", "TAVRIN_SESSION_IDLE", &DBSettings::Limits::sessionIdle},
    {"session-max", "TAVRIN_SESSION_MAX", &DBSettings::Limits::sessionMax},
    {"guess-window", "TAVRIN_GUESS_WINDOW", &DBSettings::Limits::guessWindow},
    {"guess-limit", "TAVRIN_GUESS_LIMIT", &DBSettings::Limits::guessLimit},
    {"guess-backoff", "TAVRIN_GUESS_BACKOFF", &DBSettings::Limits::guessBackoff},
    {"guess-backoff-max", "TAVRIN_GUESS_BACKOFF_MAX", &DBSettings::Limits::guessBackoffMax},
};

bool parseLimit(const std::string& text, long& out) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (v < 1) return false;
  out = v;
  return true;
}

}  // namespace

bool DBSettings::setLimit(const std::string& key, const std::string& value, std::string& error) {
  error.clear();
  for (const LimitKey& k : kLimitKeys) {
    if (key != k.key) continue;
    if (parseLimit(value, limits_.*k.field)) return true;
    error = key + " must be a whole number from 1 up";
    return false;
  }
  return false;
}

bool DBSettings::readEnvironment(std::string& error) {
  if (const char* v = env("TAVRIN_DB_USER")) user_ = v;
  if (const char* v = env("TAVRIN_DB_PASSWORD")) password_ = v;
  if (const char* v = env("TAVRIN_DB_NAME")) database_ = v;
  if (const char* v = env("TAVRIN_SEAL_KEY")) sealKey_ = v;
  for (const LimitKey& k : kLimitKeys) {
    const char* v = env(k.env);
    if (v == nullptr) continue;
    std::string why;
    if (!setLimit(k.key, v, why)) {
      error = std::string(k.env) + ": " + why;
      return false;
    }
  }
  if (const char* v = env("TAVRIN_DB_ENDPOINTS")) {
    std::string why;
    if (!parseEndpoints(v, endpoints_, why)) {
      error = "TAVRIN_DB_ENDPOINTS: " + why;
      return false;
    }
  }
  return true;
}

// TLS files from the environment over the file's; a link that should be
// encrypted but cannot be verified is a settings error, not a plain link.
bool DBSettings::loadTls(std::string& error) {
  tls_ = OrbTls::enabled();
  if (const char* v = env("TAVRIN_DB_SSL_CA")) sslCa_ = v;
  if (const char* v = env("TAVRIN_DB_SSL_CERT")) sslCert_ = v;
  if (const char* v = env("TAVRIN_DB_SSL_KEY")) sslKey_ = v;
  if (!tls_) return true;
  if (sslCa_.empty()) sslCa_ = OrbTls::caFile();
  if (sslCert_.empty() != sslKey_.empty()) {
    error = "ssl-cert and ssl-key go together: give both or neither";
    return false;
  }
  for (const std::string* f : {&sslCa_, &sslCert_, &sslKey_}) {
    if (f->empty()) continue;
    std::ifstream in(*f);
    if (!in) {
      error = "cannot read " + *f + " (" + std::strerror(errno) +
              "), needed for TLS to the database (TAVRIN_TLS=off for plain links)";
      return false;
    }
  }
  return true;
}

DBSettings DBSettings::defaults() {
  DBSettings s;
  s.endpoints_.emplace_back(TAVRIN_DB_HOST, 0);
  return s;
}

bool DBSettings::load(DBSettings& out, std::string& error, std::string& warning) {
  DBSettings s = defaults();
  error.clear();
  warning.clear();
  if (const char* file = env("TAVRIN_DB_SETTINGS")) {
    if (!s.readFile(file, error, warning)) return false;
  }
  if (!s.readEnvironment(error) || !s.loadTls(error)) return false;
  if (s.user_.empty() || s.database_.empty()) {
    error = "the database user and database name must not be empty";
    return false;
  }
  // No compiled-in fall-back: a server without its credentials stops.
  if (s.password_.empty()) {
    error = "no database password configured: give 'password' in the file named by "
            "TAVRIN_DB_SETTINGS (or TAVRIN_DB_PASSWORD)";
    return false;
  }
  if (s.sealKey_.size() != 64 || s.sealKey_.find_first_not_of("0123456789abcdefABCDEF") !=
                                     std::string::npos) {
    error = "no sealing key configured: give 'seal-key' (64 hexadecimal digits, "
            "openssl rand -hex 32) in the file named by TAVRIN_DB_SETTINGS (or TAVRIN_SEAL_KEY)";
    return false;
  }
  out = s;
  return true;
}

const DBSettings& DBSettings::current() {
  static DBSettings settings;
  static std::once_flag once;
  std::call_once(once, [] {
    std::string error, warning;
    if (!load(settings, error, warning)) {
      settings = defaults();
      settings.tls_ = OrbTls::enabled();
      if (settings.tls_) settings.sslCa_ = OrbTls::caFile();
    }
  });
  return settings;
}
