// The replicas' log writer: size-bounded files that lose and split no line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "LineSplitter.h"
#include "RotatingLog.h"

namespace {

std::string freshDir() {
  char tmpl[] = "/tmp/tavrin-logs.XXXXXX";
  return mkdtemp(tmpl) != nullptr ? tmpl : "";
}

std::vector<std::string> linesOf(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

long sizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Numbered lines, fed in chunks that end in the middle of a line, as a pipe
// delivers them.
void writeNumberedLines(LineSplitter& splitter, int count) {
  std::string all;
  for (int i = 0; i < count; ++i) all += "line " + std::to_string(i) + std::string(40, '.') + "\n";
  for (size_t at = 0; at < all.size(); at += 333)
    ASSERT_TRUE(splitter.feed(all.data() + at, std::min<size_t>(333, all.size() - at)));
  ASSERT_TRUE(splitter.finish());
}

TEST(RotatingLog, KeepsTheNewestLinesInBoundedFilesWithoutLosingOrSplittingOne) {
  const std::string dir = freshDir();
  const std::string path = dir + "/account0.log";
  std::ofstream(path) << "from before\n";
  {
    RotatingLog log(path, 4096, 3);
    LineSplitter splitter([&log](const char* d, size_t n) { return log.append(d, n); });
    writeNumberedLines(splitter, 600);  // about 32 KB: several rotations
  }
  EXPECT_EQ(sizeOf(path + ".4"), -1) << "only three rotated files are kept";
  std::vector<std::string> kept;
  for (const std::string& f : {path + ".3", path + ".2", path + ".1", path}) {
    EXPECT_GT(sizeOf(f), 0) << f;
    EXPECT_LE(sizeOf(f), 4096) << f;
    for (const auto& l : linesOf(f)) kept.push_back(l);
  }
  ASSERT_FALSE(kept.empty());
  // The newest lines, consecutive, each whole, ending with the last one.
  const int first = 600 - static_cast<int>(kept.size());
  for (size_t i = 0; i < kept.size(); ++i)
    EXPECT_EQ(kept[i], "line " + std::to_string(first + static_cast<int>(i)) + std::string(40, '.'));
  std::system(("rm -rf " + dir).c_str());
}

TEST(RotatingLog, AppendsToTheFileItFinds) {
  const std::string dir = freshDir();
  const std::string path = dir + "/orderObj0.log";
  std::ofstream(path) << "crash evidence\n";
  {
    RotatingLog log(path, 1 << 20, 5);
    ASSERT_TRUE(log.append("started again\n", 14));
  }
  EXPECT_EQ(linesOf(path), (std::vector<std::string>{"crash evidence", "started again"}));
  std::system(("rm -rf " + dir).c_str());
}

TEST(LineSplitter, HandsOnWholeLinesAndTheUnterminatedTailAtTheEnd) {
  std::vector<std::string> got;
  LineSplitter s([&got](const char* d, size_t n) {
    got.emplace_back(d, n);
    return true;
  });
  ASSERT_TRUE(s.feed("ab", 2));
  EXPECT_TRUE(got.empty()) << "half a line waits for its end";
  ASSERT_TRUE(s.feed("c\nde\nf", 6));
  ASSERT_TRUE(s.finish());
  EXPECT_EQ(got, (std::vector<std::string>{"abc\nde\n", "f"}));
  // A line without end is handed on in parts once it is long, not held.
  got.clear();
  std::string big(70000, 'x');
  ASSERT_TRUE(s.feed(big.data(), big.size()));
  EXPECT_EQ(got.size(), 1u);
}

}  // namespace
