// The deployment's secret key at work: sealing values at rest (card numbers,
// the ticket of a logged log-in) with an authenticated cipher, and keyed
// hashes (tags) of values that must be compared but never stored (session
// tokens, the credentials a logged log-in was made with). One 32-byte key,
// kept in the servers' settings file, never in the database; the sealing
// and tagging keys are derived from it, so one never serves the other.
//
// Immutable once made; thread safe. Raises nothing but Unavailable, from
// deployment(), when the settings hold no key.
#ifndef TAVRIN_SECRETBOX_H
#define TAVRIN_SECRETBOX_H

#include <array>
#include <initializer_list>
#include <string>

class SecretBox {
 public:
  static constexpr size_t kKeyBytes = 32;
  using Key = std::array<unsigned char, kKeyBytes>;

  // A key written as 64 hexadecimal digits. False, with `error`, otherwise.
  static bool parseKey(const std::string& hex, Key& key, std::string& error);

  explicit SecretBox(const Key& key);
  ~SecretBox();  // wipes the keys
  SecretBox(const SecretBox&) = delete;
  SecretBox& operator=(const SecretBox&) = delete;

  // "s1:" and the base64 of a fresh nonce and the ciphertext.
  std::string seal(const std::string& plain) const;
  // False when `sealed` is not sealed, or was sealed under another key, or
  // was changed: `plain` is then left as it was.
  bool open(const std::string& sealed, std::string& plain) const;
  // Whether `text` has the form seal() writes (says nothing of its key).
  static bool isSealed(const std::string& text);

  // 64 hexadecimal digits: the keyed hash of `parts` under `purpose`. The
  // parts are length-prefixed, so no two lists give the same input.
  std::string tag(const char* purpose, std::initializer_list<std::string> parts) const;

  // The key of this process's settings (DBSettings), made on first use.
  static const SecretBox& deployment();

 private:
  Key sealKey_;
  Key tagKey_;
};

#endif
