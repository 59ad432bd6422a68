#include "DBTls.h"

void DBTls::apply(MYSQL* m, const DBSettings& s) {
  if (!s.tls()) return;
  mysql_options(m, MYSQL_OPT_SSL_CA, s.sslCa().c_str());
  if (!s.sslCert().empty()) {
    mysql_options(m, MYSQL_OPT_SSL_CERT, s.sslCert().c_str());
    mysql_options(m, MYSQL_OPT_SSL_KEY, s.sslKey().c_str());
  }
  // Encryption alone would let anyone with a certificate pose as the
  // database; the CA and the host name decide.
  my_bool on = 1;
  mysql_options(m, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on);
  mysql_options(m, MYSQL_OPT_SSL_ENFORCE, &on);
}

bool DBTls::check(MYSQL* m, const DBSettings& s, std::string& why) {
  if (!s.tls() || mysql_get_ssl_cipher(m) != nullptr) return true;
  why = "the database link is not encrypted (TLS is required)";
  return false;
}
