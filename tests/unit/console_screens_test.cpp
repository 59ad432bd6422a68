// The two menus' geometry and the message screens; the Enter pause.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "ConsoleTerminal.h"
#include "Display.h"

namespace {

std::vector<std::string> linesOf(display& screen, std::ostringstream& out) {
  screen.displayScreen();
  std::vector<std::string> lines;
  std::istringstream in(out.str());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Column (from 1) where `text` starts in `line`, 0 when absent.
size_t columnOf(const std::string& line, const std::string& text) {
  const size_t at = line.find(text);
  return at == std::string::npos ? 0 : at + 1;
}

void expectBoxed(const std::vector<std::string>& lines) {
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE("line " + std::to_string(i + 1));
    ASSERT_EQ(lines[i].size(), 116u);
    EXPECT_EQ(lines[i].front(), '*');
    EXPECT_EQ(lines[i].back(), '*');
  }
}

void expectBanner(const std::vector<std::string>& lines) {
  const std::string rule(116, '*');
  const std::string empty = "*" + std::string(114, ' ') + "*";
  EXPECT_EQ(lines[0], rule);
  EXPECT_EQ(lines[1], empty);
  EXPECT_EQ(columnOf(lines[2], "TAVRIN"), 50u);
  EXPECT_EQ(columnOf(lines[3], "by"), 54u);
  EXPECT_EQ(columnOf(lines[4], "Brennock"), 50u);
  EXPECT_EQ(lines[5], empty);
  EXPECT_EQ(lines[6], rule);
  EXPECT_EQ(lines[7], empty);
  EXPECT_EQ(columnOf(lines[8], "Select an option"), 3u);
}

}  // namespace

TEST(ConsoleScreens, MainMenuIsFourteenBoxedLines) {
  std::ostringstream out;
  displayMenu menu(out, false);
  const auto lines = linesOf(menu, out);
  ASSERT_EQ(lines.size(), 14u);
  expectBoxed(lines);
  expectBanner(lines);
  EXPECT_EQ(columnOf(lines[9], "1.Create Account"), 3u);
  EXPECT_EQ(columnOf(lines[10], "2.Login"), 3u);
  EXPECT_EQ(columnOf(lines[11], "3.Discontinue Account"), 3u);
  EXPECT_EQ(lines[12], "*" + std::string(114, ' ') + "*");
  EXPECT_EQ(lines[13], std::string(116, '*'));
}

TEST(ConsoleScreens, LoggedInMenuIsFifteenBoxedLines) {
  std::ostringstream out;
  displayAuthenticatedMenu menu(out, false);
  const auto lines = linesOf(menu, out);
  ASSERT_EQ(lines.size(), 15u);
  expectBoxed(lines);
  expectBanner(lines);
  EXPECT_EQ(columnOf(lines[9], "1. Search Movie by title"), 3u);
  EXPECT_EQ(columnOf(lines[10], "2. Return Movie"), 3u);
  EXPECT_EQ(columnOf(lines[11], "3. Update Profile"), 3u);
  EXPECT_EQ(columnOf(lines[12], "4. Logout"), 3u);
  EXPECT_EQ(lines[13], "*" + std::string(114, ' ') + "*");
  EXPECT_EQ(lines[14], std::string(116, '*'));
}

TEST(ConsoleScreens, MessageScreensPrintTheirTextOnALine) {
  std::ostringstream out;
  displayError error(out, false);
  displaySuccess success(out, false);
  error.displayScreen();  // empty message: an empty line
  error.outputMessage = "went wrong";
  error.displayScreen();
  success.outputMessage = "done";
  success.displayScreen();
  EXPECT_EQ(out.str(), "\nwent wrong\ndone\n");
}

TEST(ConsoleScreens, PauseConsumesExactlyOneByte) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string typed = "xyz\n";
  ASSERT_EQ(::write(fds[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  close(fds[1]);
  std::ostringstream out;
  toggleEcho::enterInput(fds[0], out);
  EXPECT_EQ(out.str(), "\nPRESS ENTER TO CONTINUE\n");
  char rest[8] = {0};
  EXPECT_EQ(::read(fds[0], rest, sizeof rest), 3);
  EXPECT_EQ(std::string(rest, 3), "yz\n");
  close(fds[0]);
}

// The pause waits for Enter without holding the console's output, so the
// lines of workers and probes that end meanwhile are not held up.
TEST(ConsoleScreens, PauseHoldsNoLockWhileItWaitsForEnter) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int savedStdin = dup(0);
  ASSERT_GE(savedStdin, 0);
  ASSERT_EQ(dup2(fds[0], 0), 0);
  std::istringstream in;
  std::ostringstream out;
  ConsoleTerminal terminal(in, out);
  std::thread pausing([&] { terminal.pause(); });
  auto worker = std::async(std::launch::async, [&] { terminal.channel()->trace("worker line"); });
  const bool through = worker.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(through) << "a worker's line waited for the pause";
  ASSERT_EQ(::write(fds[1], "\n", 1), 1);
  pausing.join();
  worker.wait();
  dup2(savedStdin, 0);
  close(savedStdin);
  close(fds[0]);
  close(fds[1]);
  EXPECT_NE(out.str().find("worker line\n"), std::string::npos);
  EXPECT_NE(out.str().find("\nPRESS ENTER TO CONTINUE\n"), std::string::npos);
}
