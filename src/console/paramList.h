// Bounded line reading and the checks every typed field passes before a
// request is sent: not empty, and free of the forbidden substrings.
#ifndef TAVRIN_PARAMLIST_H
#define TAVRIN_PARAMLIST_H

#include <iostream>
#include <string>
#include <vector>

class paramList {
 public:
  paramList();  // forbids ":", ";" and "/"

  // One line of at most `inputSize` characters, without its newline; the
  // rest of a longer line is discarded. Returns what was read when the
  // input ends. Writes its two trace lines to `out`; a `secret` (a
  // password typed with echo off) appears there as asterisks.
  std::string readInput(int inputSize, std::istream& in = std::cin,
                        std::ostream& out = std::cout, bool secret = false);

  // Every complaint about one field, concatenated; empty when acceptable.
  std::string allErrors(std::string input);
  // The same over `inputNum` fields; empty ones are named by their index.
  // The field at `secretIndex` (a password) is named, never quoted.
  std::string allErrors(const std::string* input, int inputNum, int secretIndex = -1);
  // Every complaint about a password, which names the field instead of
  // quoting its value.
  std::string secretErrors(const std::string& input);

  bool checkforEmpty(std::string str);
  void addtostrVector(std::string str);
  void addtostrVector(const std::string* str, int inputNum);

 private:
  // One message per forbidden entry in `input`, about `subject`.
  std::string forbiddenIn(const std::string& input, const std::string& subject) const;

  std::vector<std::string> strVector;
};

#endif
