#include "SecretBox.h"

#include <sodium.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "DBSettings.h"
#include "Unavailable.h"

namespace {

const char kPrefix[] = "s1:";
const size_t kPrefixLen = sizeof kPrefix - 1;

void sodiumReady() {
  if (sodium_init() < 0) throw Unavailable(Unavailable::kInternal, "libsodium cannot start");
}

std::string toHex(const unsigned char* bytes, size_t n) {
  std::string out(2 * n + 1, '\0');
  sodium_bin2hex(&out[0], out.size(), bytes, n);
  out.pop_back();
  return out;
}

}  // namespace

bool SecretBox::parseKey(const std::string& hex, Key& key, std::string& error) {
  sodiumReady();
  size_t len = 0;
  Key k{};
  if (hex.size() != 2 * kKeyBytes ||
      sodium_hex2bin(k.data(), k.size(), hex.c_str(), hex.size(), nullptr, &len, nullptr) != 0 ||
      len != kKeyBytes) {
    error = "the sealing key must be 64 hexadecimal digits (openssl rand -hex 32)";
    return false;
  }
  key = k;
  sodium_memzero(k.data(), k.size());
  return true;
}

SecretBox::SecretBox(const Key& key) {
  sodiumReady();
  static_assert(crypto_kdf_KEYBYTES == kKeyBytes, "one key size");
  crypto_kdf_derive_from_key(sealKey_.data(), sealKey_.size(), 1, "tavrinsk", key.data());
  crypto_kdf_derive_from_key(tagKey_.data(), tagKey_.size(), 2, "tavrinsk", key.data());
}

SecretBox::~SecretBox() {
  sodium_memzero(sealKey_.data(), sealKey_.size());
  sodium_memzero(tagKey_.data(), tagKey_.size());
}

std::string SecretBox::seal(const std::string& plain) const {
  std::vector<unsigned char> box(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES +
                                 plain.size());
  randombytes_buf(box.data(), crypto_secretbox_NONCEBYTES);
  crypto_secretbox_easy(box.data() + crypto_secretbox_NONCEBYTES,
                        reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                        box.data(), sealKey_.data());
  std::string b64(sodium_base64_ENCODED_LEN(box.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(&b64[0], b64.size(), box.data(), box.size(), sodium_base64_VARIANT_ORIGINAL);
  b64.resize(std::strlen(b64.c_str()));
  return kPrefix + b64;
}

bool SecretBox::isSealed(const std::string& text) {
  return text.compare(0, kPrefixLen, kPrefix) == 0;
}

bool SecretBox::open(const std::string& sealed, std::string& plain) const {
  if (!isSealed(sealed)) return false;
  const std::string b64 = sealed.substr(kPrefixLen);
  // Nothing after the prefix: no box to decode (and no buffer to decode into).
  if (b64.empty()) return false;
  std::vector<unsigned char> box(b64.size());
  size_t len = 0;
  if (sodium_base642bin(box.data(), box.size(), b64.c_str(), b64.size(), nullptr, &len, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      len < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES)
    return false;
  const size_t cipherLen = len - crypto_secretbox_NONCEBYTES;
  std::string out(cipherLen - crypto_secretbox_MACBYTES, '\0');
  if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(&out[0]),
                                 box.data() + crypto_secretbox_NONCEBYTES, cipherLen, box.data(),
                                 sealKey_.data()) != 0)
    return false;
  plain.swap(out);
  return true;
}

std::string SecretBox::tag(const char* purpose, std::initializer_list<std::string> parts) const {
  crypto_generichash_state state;
  crypto_generichash_init(&state, tagKey_.data(), tagKey_.size(), 32);
  auto add = [&state](const std::string& part) {
    const uint64_t n = part.size();
    unsigned char len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(n >> (8 * i));
    crypto_generichash_update(&state, len, sizeof len);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(part.data()),
                              part.size());
  };
  add(purpose);
  for (const std::string& p : parts) add(p);
  unsigned char out[32];
  crypto_generichash_final(&state, out, sizeof out);
  return toHex(out, sizeof out);
}

const SecretBox& SecretBox::deployment() {
  static std::unique_ptr<SecretBox> box;
  static std::once_flag once;
  std::call_once(once, [] {
    Key key{};
    std::string error;
    if (parseKey(DBSettings::current().sealKey(), key, error)) box.reset(new SecretBox(key));
    sodium_memzero(key.data(), key.size());
  });
  if (!box) throw Unavailable(Unavailable::kInternal, "no sealing key in the settings");
  return *box;
}
