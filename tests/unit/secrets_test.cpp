// Secrets at rest: password hashes and the upgrade of old plain rows, and
// sealing (round trip, tampering, another key) and keyed hashes.
#include <gtest/gtest.h>

#include <string>

#include "PasswordHash.h"
#include "SecretBox.h"

namespace {

SecretBox::Key keyOf(char digit) {
  SecretBox::Key key{};
  std::string error;
  EXPECT_TRUE(SecretBox::parseKey(std::string(64, digit), key, error)) << error;
  return key;
}

TEST(PasswordHashTest, HashesVerifyAndOldPlainRowsAreUpgraded) {
  const std::string stored = PasswordHash::hash("S3cretPW!");
  EXPECT_TRUE(PasswordHash::isHashed(stored));
  EXPECT_EQ(stored.find("S3cretPW!"), std::string::npos);
  EXPECT_NE(PasswordHash::hash("S3cretPW!"), stored) << "salted: no two hashes alike";
  EXPECT_TRUE(PasswordHash::verify(stored, "S3cretPW!"));
  EXPECT_FALSE(PasswordHash::verify(stored, "s3cretPW!"));
  EXPECT_FALSE(PasswordHash::needsRehash(stored));
  // A row from before hashing: still verified, and marked for rewriting.
  EXPECT_TRUE(PasswordHash::verify("oldplain", "oldplain"));
  EXPECT_FALSE(PasswordHash::verify("oldplain", "oldplaiN"));
  EXPECT_FALSE(PasswordHash::verify("", "")) << "an empty row matches nothing";
  EXPECT_TRUE(PasswordHash::needsRehash("oldplain"));
  EXPECT_EQ(PasswordHash::inFlight(), 0);
}

TEST(SecretBoxTest, SealedValuesOpenOnlyUnchangedAndUnderTheirKey) {
  SecretBox box(keyOf('a'));
  SecretBox other(keyOf('b'));
  const std::string sealed = box.seal("4111111111111111");
  EXPECT_TRUE(SecretBox::isSealed(sealed));
  EXPECT_EQ(sealed.find("4111111111111111"), std::string::npos);
  EXPECT_NE(box.seal("4111111111111111"), sealed) << "a fresh nonce each time";
  std::string plain = "untouched";
  ASSERT_TRUE(box.open(sealed, plain));
  EXPECT_EQ(plain, "4111111111111111");

  plain = "untouched";
  EXPECT_FALSE(other.open(sealed, plain)) << "another deployment's key";
  std::string tampered = sealed;
  tampered[tampered.size() / 2] = tampered[tampered.size() / 2] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(box.open(tampered, plain));
  EXPECT_FALSE(box.open("4111111111111111", plain)) << "an old plain value is not sealed";
  EXPECT_FALSE(box.open("s1:", plain));
  EXPECT_EQ(plain, "untouched");

  // Keyed hashes: stable under one key, different under another, and the
  // parts cannot be regrouped.
  EXPECT_EQ(box.tag("ticket", {"alice", "17"}), box.tag("ticket", {"alice", "17"}));
  EXPECT_NE(box.tag("ticket", {"alice", "17"}), other.tag("ticket", {"alice", "17"}));
  EXPECT_NE(box.tag("ticket", {"alice1", "7"}), box.tag("ticket", {"alice", "17"}));
  EXPECT_EQ(box.tag("ticket", {"a"}).size(), 64u);

  SecretBox::Key key{};
  std::string error;
  EXPECT_FALSE(SecretBox::parseKey("12ab", key, error));
  EXPECT_FALSE(SecretBox::parseKey(std::string(64, 'g'), key, error));
}

}  // namespace
