// The bounded line reader and the field checks.
#include <gtest/gtest.h>

#include <sstream>

#include "paramList.h"

namespace {

struct Reader {
  std::istringstream in;
  std::ostringstream out;
  paramList p;
  explicit Reader(const std::string& text) : in(text) {}
  std::string read(int limit) { return p.readInput(limit, in, out); }
  std::string rest() {
    std::string r;
    std::getline(in, r, '\0');
    return r;
  }
};

}  // namespace

TEST(ReadInput, TakesALineUpToItsLimit) {
  Reader r("Y\nabcdefghij\n");
  EXPECT_EQ(r.read(1), "Y");
  EXPECT_EQ(r.read(10), "abcdefghij");  // exactly the limit ends at its newline
  EXPECT_EQ(r.rest(), "");
}

TEST(ReadInput, DiscardsTheRestOfALongLine) {
  Reader r("abcdefghijklmnopqrstuvwxy\nnext line\n");
  EXPECT_EQ(r.read(20), "abcdefghijklmnopqrst");
  EXPECT_EQ(r.read(20), "next line");
}

TEST(ReadInput, AnswerLongerThanOneCharacterKeepsTheFirst) {
  Reader r("yes\nmaybe\nno\n");
  EXPECT_EQ(r.read(1), "y");
  EXPECT_EQ(r.read(1), "m");
  EXPECT_EQ(r.read(1), "n");
}

TEST(ReadInput, KeepsBlanksAndEmptyLines) {
  Reader r("  two words \n\n");
  EXPECT_EQ(r.read(50), "  two words ");
  EXPECT_EQ(r.read(50), "");
}

TEST(ReadInput, TitleIsCutToOneHundredCharacters) {
  const std::string title(150, 't');
  Reader r(title + "\nafter\n");
  EXPECT_EQ(r.read(100), std::string(100, 't'));
  EXPECT_EQ(r.read(100), "after");
}

TEST(ReadInput, EndOfInputReturnsWhatWasRead) {
  Reader r("partial");
  EXPECT_EQ(r.read(20), "partial");
  EXPECT_EQ(r.read(20), "");
  EXPECT_TRUE(r.in.eof());
}

TEST(ReadInput, WritesItsTwoTraceLinesForEveryField) {
  Reader r("abc\n\n");
  r.read(5);
  r.read(5);
  EXPECT_EQ(r.out.str(), "buff before = abc\nstring = abc\nbuff before = \nstring = \n");
}

TEST(ReadInput, SecretFieldIsMaskedInTheTraceLines) {
  std::istringstream in("s3cret\n");
  std::ostringstream out;
  paramList p;
  EXPECT_EQ(p.readInput(20, in, out, true), "s3cret");
  EXPECT_EQ(out.str(), "buff before = ******\nstring = ******\n");
}

TEST(AllErrors, EmptyFieldIsTheOnlyComplaint) {
  paramList p;
  EXPECT_EQ(p.allErrors(std::string()), "Empty field not allowed\n");
  EXPECT_EQ(p.allErrors(std::string("   ")), "");
  EXPECT_EQ(p.allErrors(std::string(" ok value ")), "");
}

TEST(AllErrors, OneMessagePerForbiddenEntryInOrder) {
  paramList p;
  EXPECT_EQ(p.allErrors(std::string("a/b:c")),
            "Input \"a/b:c\" may not contain any of the following characters: :\n"
            "Input \"a/b:c\" may not contain any of the following characters: /\n");
  EXPECT_EQ(p.allErrors(std::string("x;;y")),
            "Input \"x;;y\" may not contain any of the following characters: ;\n");
}

TEST(AllErrors, SeveralFieldsNameEmptyOnesByIndex) {
  paramList p;
  const std::string fields[3] = {"", "ok", "a;b"};
  EXPECT_EQ(p.allErrors(fields, 3),
            "Empty field 0 not allowed\n"
            "Input \"a;b\" may not contain any of the following characters: ;\n");
  const std::string good[2] = {"user", "secret"};
  EXPECT_EQ(p.allErrors(good, 2), "");
  std::string many[12];
  many[11] = "";
  for (int i = 0; i < 11; ++i) many[i] = "v";
  EXPECT_EQ(p.allErrors(many, 12), "Empty field 11 not allowed\n");
}
