// The rules for user names and passwords, the same as the console's checks:
// not empty, at most kMaxChars characters, none of ':', ';', '/'; a user
// name also has no control character and no space at either end (an alias
// of another name to the database's comparison). The server applies them
// itself, whatever client sends the request.
//
// Stateless; thread safe. A value that breaks a rule raises TavrinException
// with a sentence that names the rule, never the value.
#ifndef TAVRIN_CREDENTIALRULES_H
#define TAVRIN_CREDENTIALRULES_H

#include <ServerIDL.hh>

#include <cstddef>

class CredentialRules {
 public:
  static constexpr size_t kMaxChars = 20;

  // A registration or a profile change: the full rules for both.
  static void checkNew(const UserInfo& u);
  // A log-in: names and passwords from before the rules still log in, so
  // only what no account can hold is refused (empty).
  static void checkLogIn(const UserInfo& u);
};

#endif
