#include "DBSettings.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

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

bool parseOne(const std::string& item, DBSettings::Endpoint& ep, std::string& error) {
  std::string host, port;
  if (!item.empty() && item[0] == '[') {
    size_t close = item.find(']');
    if (close == std::string::npos) {
      error = "'" + item + "' lacks the closing ']'";
      return false;
    }
    host = item.substr(1, close - 1);
    std::string rest = item.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') {
        error = "'" + item + "' has text after ']' that is not ':port'";
        return false;
      }
      port = rest.substr(1);
      if (port.empty()) {
        error = "'" + item + "' has no port after ':'";
        return false;
      }
    }
  } else {
    size_t colon = item.find(':');
    if (colon != std::string::npos && item.find(':', colon + 1) != std::string::npos) {
      error = "'" + item + "': write an IPv6 address in brackets, [addr]:port";
      return false;
    }
    host = item.substr(0, colon);
    if (colon != std::string::npos) {
      port = item.substr(colon + 1);
      if (port.empty()) {
        error = "'" + item + "' has no port after ':'";
        return false;
      }
    }
  }
  if (host.empty()) {
    error = "'" + item + "' has no host";
    return false;
  }
  ep.host = host;
  ep.port = 0;
  if (!port.empty() && !parsePort(port, ep.port)) {
    error = "'" + item + "' has no valid port (1 to 65535)";
    return false;
  }
  return true;
}

bool readFile(const std::string& path, DBSettings& out, std::string& error,
              std::string& warning) {
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
    std::string where = path + " line " + std::to_string(number);
    if (eq == std::string::npos) {
      error = where + ": expected key = value";
      return false;
    }
    std::string key = trim(t.substr(0, eq));
    std::string value = trim(t.substr(eq + 1));
    if (key == "user") {
      out.user = value;
    } else if (key == "password") {
      out.password = value;
    } else if (key == "database") {
      out.database = value;
    } else if (key == "endpoints") {
      std::string why;
      if (!DBSettings::parseEndpoints(value, out.endpoints, why)) {
        error = where + ": " + why;
        return false;
      }
    } else if (key == "ssl-ca") {
      out.sslCa = value;
    } else if (key == "ssl-cert") {
      out.sslCert = value;
    } else if (key == "ssl-key") {
      out.sslKey = value;
    } else {
      error = where + ": unknown key '" + key +
              "' (user, password, database, endpoints, ssl-ca, ssl-cert, ssl-key)";
      return false;
    }
  }
  return true;
}

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : nullptr;
}

// TLS files from the environment over the file's; a link that should be
// encrypted but cannot be verified is a settings error, not a plain link.
bool loadTls(DBSettings& s, std::string& error) {
  s.tls = OrbTls::enabled();
  if (const char* v = env("TAVRIN_DB_SSL_CA")) s.sslCa = v;
  if (const char* v = env("TAVRIN_DB_SSL_CERT")) s.sslCert = v;
  if (const char* v = env("TAVRIN_DB_SSL_KEY")) s.sslKey = v;
  if (!s.tls) return true;
  if (s.sslCa.empty()) s.sslCa = OrbTls::caFile();
  if (s.sslCert.empty() != s.sslKey.empty()) {
    error = "ssl-cert and ssl-key go together: give both or neither";
    return false;
  }
  for (const std::string* f : {&s.sslCa, &s.sslCert, &s.sslKey}) {
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

}  // namespace

std::string DBSettings::Endpoint::text() const {
  std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return port == 0 ? h : h + ":" + std::to_string(port);
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
    if (!parseOne(item, ep, error)) return false;
    list.push_back(ep);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  out = list;
  return true;
}

bool DBSettings::load(DBSettings& out, std::string& error, std::string& warning) {
  DBSettings s;
  s.endpoints.push_back(Endpoint{TAVRIN_DB_HOST, 0});
  error.clear();
  warning.clear();
  if (const char* file = env("TAVRIN_DB_SETTINGS")) {
    if (!readFile(file, s, error, warning)) return false;
  }
  if (const char* v = env("TAVRIN_DB_USER")) s.user = v;
  if (const char* v = env("TAVRIN_DB_PASSWORD")) s.password = v;
  if (const char* v = env("TAVRIN_DB_NAME")) s.database = v;
  if (const char* v = env("TAVRIN_DB_ENDPOINTS")) {
    std::string why;
    if (!parseEndpoints(v, s.endpoints, why)) {
      error = "TAVRIN_DB_ENDPOINTS: " + why;
      return false;
    }
  }
  if (!loadTls(s, error)) return false;
  if (s.user.empty() || s.database.empty()) {
    error = "the database user and database name must not be empty";
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
      settings = DBSettings();
      settings.endpoints.push_back(Endpoint{TAVRIN_DB_HOST, 0});
      settings.tls = OrbTls::enabled();
      if (settings.tls) settings.sslCa = OrbTls::caFile();
    }
  });
  return settings;
}
