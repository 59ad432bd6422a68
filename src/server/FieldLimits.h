// The widths of the columns that the fields of a request are written into
// (db/schema.sql), checked before any statement: a value that no column
// would take is refused with a TavrinException that names the field and
// its limit, and echoes nothing of the value. The limits count characters,
// as the columns do, and a value is never more than 4 bytes a character.
// Stateless; thread safe.
#ifndef TAVRIN_FIELDLIMITS_H
#define TAVRIN_FIELDLIMITS_H

#include <ServerIDL.hh>

#include <cstddef>

class FieldLimits {
 public:
  static constexpr size_t kNameChars = 64;       // fName, lName, username, clientID
  static constexpr size_t kShortChars = 64;      // creditCardNum, phoneNum
  static constexpr size_t kLongChars = 255;      // address, eMail, password, title

  // Every field of a profile.
  static void checkProfile(const UserInfo& u);
  // The fields a log-in or a discontinuation writes: user name and password.
  static void checkCredentials(const UserInfo& u);
  static void check(const Ticket& t);
  static void check(const ClientTransaction& c);
  // The title, the one field of a MovieInfo that a statement uses.
  static void checkTitle(const MovieInfo& m);
  static void check(const MovieInfo& m) { checkTitle(m); }
  // A UserInfo as a request uses it, for serveRequest's list of fields:
  // Profile{u} checks every field, Credentials{u} the user name and password.
  struct Profile {
    const UserInfo& user;
  };
  struct Credentials {
    const UserInfo& user;
  };
  static void check(const Profile& p) { checkProfile(p.user); }
  static void check(const Credentials& c) { checkCredentials(c.user); }

  // Raises "The <label> is too long: at most <maxChars> characters are
  // accepted" when `value` has more characters than `maxChars`, or more
  // bytes than such a value can have.
  static void checkText(const char* value, const char* label, size_t maxChars);
};

#endif
