#include "CredentialRules.h"

#include <cstring>
#include <string>

namespace {

[[noreturn]] void refuse(const std::string& message) { throw TavrinException(message.c_str()); }

size_t characters(const char* value) {
  size_t n = 0;
  for (const char* p = value; *p; ++p)
    if ((static_cast<unsigned char>(*p) & 0xc0) != 0x80) ++n;
  return n;
}

void checkCommon(const char* value, const char* label) {
  if (value == nullptr || *value == '\0') refuse(std::string("The ") + label + " must not be empty");
  if (characters(value) > CredentialRules::kMaxChars)
    refuse(std::string("The ") + label + " may have at most " +
           std::to_string(CredentialRules::kMaxChars) + " characters");
  if (std::strpbrk(value, ":;/") != nullptr)
    refuse(std::string("The ") + label +
           " may not contain any of the following characters: : ; /");
}

}  // namespace

void CredentialRules::checkNew(const UserInfo& u) {
  const char* name = u.username.in();
  checkCommon(name, "user name");
  const size_t len = std::strlen(name);
  for (size_t i = 0; i < len; ++i)
    if (static_cast<unsigned char>(name[i]) < 0x20 || name[i] == 0x7f)
      refuse("The user name may not contain control characters");
  if (name[0] == ' ' || name[len - 1] == ' ')
    refuse("The user name may not begin or end with a space");
  checkCommon(u.password.in(), "password");
}

void CredentialRules::checkLogIn(const UserInfo& u) {
  if (u.username.in() == nullptr || *u.username.in() == '\0')
    refuse("The user name must not be empty");
  if (u.password.in() == nullptr || *u.password.in() == '\0')
    refuse("The password must not be empty");
}
