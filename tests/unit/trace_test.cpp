#include <gtest/gtest.h>

#include <string>

#include "Trace.h"

namespace {

TEST(TraceValue, OrdinaryValuesShowAsTheyAre) {
  for (const std::string v : {"alice", "Schindler's List", "Zo\xc3\xab \xe6\x9d\xb1\xe4\xba\xac", ""})
    EXPECT_EQ(traceValueText(v), v);
  EXPECT_EQ(traceValueText(std::string(kTraceValueMax, 'a')), std::string(kTraceValueMax, 'a'));
}

TEST(TraceValue, ControlCharactersCannotStartALine) {
  EXPECT_EQ(traceValueText("a\nb\rc\td"), "a\\nb\\rc\\td");
  EXPECT_EQ(traceValueText("x\x1b[2K\x7f"), "x\\x1b[2K\\x7f");
  EXPECT_EQ(traceValueText("c1\xc2\x85!"), "c1\\u0085!");  // NEL
  EXPECT_EQ(traceValueText("nbsp\xc2\xa0"), "nbsp\xc2\xa0");
}

TEST(TraceValue, LongValuesAreCutWithTheirLength) {
  EXPECT_EQ(traceValueText(std::string(1 << 20, 'A')),
            std::string(kTraceValueMax, 'A') + "... [1048576 bytes]");
  // Escapes count in the bound and are never split.
  const std::string shown = traceValueText(std::string(200, '\n'));
  EXPECT_EQ(shown.substr(0, 4), "\\n\\n");
  EXPECT_EQ(shown.substr(shown.find("..."), std::string::npos), "... [200 bytes]");
  EXPECT_LE(shown.find("..."), kTraceValueMax);
  EXPECT_EQ(shown.find("...") % 2, 0u);
  // A cut falls between characters: 4-byte characters from byte 255 on.
  const std::string clapper = "\xf0\x9f\x8e\xac";
  std::string v(255, 'b');
  for (int i = 0; i < 10; ++i) v += clapper;
  EXPECT_EQ(traceValueText(v), std::string(255, 'b') + "... [295 bytes]");
}

}  // namespace
