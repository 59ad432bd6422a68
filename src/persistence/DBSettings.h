// Where the servers find their database and as whom they log in: the user,
// its password, the database name and an ordered list of endpoints.
//
// Defaults: user and database "mvrental", and one endpoint, the host
// compiled in (TAVRIN_DB_HOST) with port 0, which lets the client library
// take the port from MYSQL_TCP_PORT (3306 when unset). There is no default
// password and no default sealing key: load() refuses settings without them.
//
// A deployment overrides them, in this order (later wins):
//  1. the file named by TAVRIN_DB_SETTINGS: "key = value" lines with the keys
//     user, password, database, endpoints, seal-key and the limits below;
//     '#' starts a comment line. It holds the password and the key that
//     seals card numbers, so only the service account should read it;
//  2. the environment: TAVRIN_DB_USER, TAVRIN_DB_PASSWORD, TAVRIN_DB_NAME,
//     TAVRIN_DB_ENDPOINTS, TAVRIN_SEAL_KEY, and for the limits TAVRIN_ and
//     the key in capitals with '_' for '-' (TAVRIN_SESSION_IDLE, ...).
// Limits, whole seconds unless said otherwise: session-idle (1800) and
// session-max (43200) end a session; guess-window (900), guess-limit (5
// failures) and guess-backoff (60, doubling up to guess-backoff-max, 900)
// cut off guessing of one name's password or ticket.
// Endpoints are written "host:port,host:port" ("[v6addr]:port" for IPv6; a
// host without a port means port 0 as above). The servers use the first
// endpoint, in list order, that accepts writes.
//
// The link is TLS, with the database's certificate verified against a CA
// and its name against the endpoint's host, unless the deployment runs
// without TLS (TAVRIN_TLS=off). The CA is the file's ssl-ca, else
// TAVRIN_DB_SSL_CA, else the deployment's (TAVRIN_TLS_CA, OrbTls.h); the
// optional ssl-cert and ssl-key (TAVRIN_DB_SSL_CERT, TAVRIN_DB_SSL_KEY) give
// the servers a certificate of their own.
//
// Values only; no thread safety beyond current(), which loads once.
#ifndef TAVRIN_DBSETTINGS_H
#define TAVRIN_DBSETTINGS_H

#include <string>
#include <vector>

class DBSettings {
 public:
  // One database server. A value: made whole by its constructor or parse().
  class Endpoint {
   public:
    Endpoint() = default;
    Endpoint(std::string host, unsigned int port);

    const std::string& host() const { return host_; }
    unsigned int port() const { return port_; }  // 0: MYSQL_TCP_PORT, else 3306
    std::string text() const;  // "host:port", or "host" for port 0

    // Parses one "host", "host:port" or "[v6addr]:port". False, with
    // `error`, when it is malformed; `out` is then left as it was.
    static bool parse(const std::string& item, Endpoint& out, std::string& error);

   private:
    std::string host_;
    unsigned int port_ = 0;
  };

  // Empty until load() fills it: no endpoint, no TLS files.
  DBSettings() = default;

  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  const std::string& database() const { return database_; }
  const std::vector<Endpoint>& endpoints() const { return endpoints_; }  // never empty once loaded
  bool tls() const { return tls_; }  // false only with TAVRIN_TLS=off
  const std::string& sslCa() const { return sslCa_; }  // set whenever tls() is
  const std::string& sslCert() const { return sslCert_; }
  const std::string& sslKey() const { return sslKey_; }
  const std::string& sealKey() const { return sealKey_; }  // 64 hex digits once loaded

  struct Limits {
    long sessionIdle = 1800;
    long sessionMax = 43200;
    long guessWindow = 900;
    long guessLimit = 5;
    long guessBackoff = 60;
    long guessBackoffMax = 900;
  };
  const Limits& limits() const { return limits_; }

  // The defaults, then the file, then the environment. Returns false, with
  // `error` naming the file or variable and what is wrong with it, when a
  // file cannot be read or a value is malformed; `out` is then left as it
  // was. `warning` is set (and the settings still load) when the file can be
  // read by other accounts.
  static bool load(DBSettings& out, std::string& error, std::string& warning);

  // The settings of this process, loaded on first use. When they cannot be
  // loaded the defaults apply; servers check load() at start-up instead.
  static const DBSettings& current();

  // Parses "host:port,host:port". False, with `error`, on a malformed list;
  // `out` is then left as it was.
  static bool parseEndpoints(const std::string& text, std::vector<Endpoint>& out,
                             std::string& error);

 private:
  // The compiled-in user, database and host.
  static DBSettings defaults();
  // Each fills this object from one source, and is false, with `error`,
  // on a value it cannot use.
  bool readFile(const std::string& path, std::string& error, std::string& warning);
  bool setFromFile(const std::string& key, const std::string& value, std::string& error);
  bool readEnvironment(std::string& error);
  bool loadTls(std::string& error);
  // A limit by its file key; false when `key` is none.
  bool setLimit(const std::string& key, const std::string& value, std::string& error);

  std::string user_ = "mvrental";
  std::string password_;
  std::string sealKey_;
  Limits limits_;
  std::string database_ = "mvrental";
  std::vector<Endpoint> endpoints_;
  bool tls_ = true;
  std::string sslCa_, sslCert_, sslKey_;
};

#endif
