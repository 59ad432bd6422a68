// Where the servers find their database and as whom they log in: the user,
// its password, the database name and an ordered list of endpoints.
//
// Defaults: user and database "mvrental", its password, and one endpoint, the
// host compiled in (TAVRIN_DB_HOST) with port 0, which lets the client
// library take the port from MYSQL_TCP_PORT (3306 when unset).
//
// A deployment overrides them, in this order (later wins):
//  1. the file named by TAVRIN_DB_SETTINGS: "key = value" lines with the keys
//     user, password, database and endpoints; '#' starts a comment line. It
//     holds the password, so only the service account should read it;
//  2. the environment: TAVRIN_DB_USER, TAVRIN_DB_PASSWORD, TAVRIN_DB_NAME,
//     TAVRIN_DB_ENDPOINTS.
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
  struct Endpoint {
    std::string host;
    unsigned int port = 0;  // 0: MYSQL_TCP_PORT, else 3306
    std::string text() const;  // "host:port", or "host" for port 0
  };

  std::string user = "mvrental";
  std::string password = "p8xk42qe";
  std::string database = "mvrental";
  std::vector<Endpoint> endpoints;  // never empty once loaded
  bool tls = true;                  // false only with TAVRIN_TLS=off
  std::string sslCa, sslCert, sslKey;  // sslCa set whenever tls is

  // The defaults, then the file, then the environment. Returns false, with
  // `error` naming the file or variable and what is wrong with it, when a
  // file cannot be read or a value is malformed. `warning` is set (and the
  // settings still load) when the file can be read by other accounts.
  static bool load(DBSettings& out, std::string& error, std::string& warning);

  // The settings of this process, loaded on first use. When they cannot be
  // loaded the defaults apply; servers check load() at start-up instead.
  static const DBSettings& current();

  // Parses "host:port,host:port". False, with `error`, on a malformed list.
  static bool parseEndpoints(const std::string& text, std::vector<Endpoint>& out,
                             std::string& error);
};

#endif
