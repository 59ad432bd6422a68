// TLS on a server's database connection, as DBSettings describes it: the
// database's certificate verified against the CA and its name against the
// endpoint's host; a link that ends up in clear is refused.
// Stateless; each call works on the caller's own handle.
#ifndef TAVRIN_DBTLS_H
#define TAVRIN_DBTLS_H

#include <mysql.h>

#include <string>

#include "DBSettings.h"

class DBTls {
 public:
  // Before mysql_real_connect on `m`; nothing in plain mode.
  static void apply(MYSQL* m, const DBSettings& s);
  // After it: false, with `why`, when the link should be TLS and is not.
  static bool check(MYSQL* m, const DBSettings& s, std::string& why);
};

#endif
