#include "FieldLimits.h"

#include <cstring>
#include <string>

namespace {

// Characters of a UTF-8 text: bytes that do not continue one.
size_t characters(const char* value, size_t bytes) {
  size_t n = 0;
  for (size_t i = 0; i < bytes; ++i)
    if ((static_cast<unsigned char>(value[i]) & 0xc0) != 0x80) ++n;
  return n;
}

}  // namespace

void FieldLimits::checkText(const char* value, const char* label, size_t maxChars) {
  if (value == nullptr) return;
  const size_t bytes = std::strlen(value);
  if (bytes <= maxChars) return;
  if (bytes <= 4 * maxChars && characters(value, bytes) <= maxChars) return;
  throw TavrinException((std::string("The ") + label + " is too long: at most " +
                         std::to_string(maxChars) + " characters are accepted")
                            .c_str());
}

void FieldLimits::checkProfile(const UserInfo& u) {
  checkText(u.fName.in(), "first name", kNameChars);
  checkText(u.lName.in(), "last name", kNameChars);
  checkText(u.address.in(), "address", kLongChars);
  checkText(u.creditCardNum.in(), "credit card number", kShortChars);
  checkText(u.phoneNum.in(), "phone number", kShortChars);
  checkText(u.eMail.in(), "e-mail address", kLongChars);
  checkCredentials(u);
}

void FieldLimits::checkCredentials(const UserInfo& u) {
  checkText(u.username.in(), "user name", kNameChars);
  checkText(u.password.in(), "password", kLongChars);
}

void FieldLimits::check(const Ticket& t) {
  checkText(t.username.in(), "user name", kNameChars);
}

void FieldLimits::check(const ClientTransaction& c) {
  checkText(c.clientID.in(), "client identity", kNameChars);
}

void FieldLimits::checkTitle(const MovieInfo& m) { checkText(m.title.in(), "title", kLongChars); }
