#include "paramList.h"

#include <limits>

paramList::paramList() : strVector{":", ";", "/"} {}

std::string paramList::readInput(int inputSize, std::istream& in, std::ostream& out,
                                 bool secret) {
  std::string buff;
  if (inputSize > 0) buff.reserve(static_cast<size_t>(inputSize));
  for (;;) {
    const int c = in.get();
    if (c == std::char_traits<char>::eof() || !in) break;
    if (c == '\n') break;
    if (static_cast<int>(buff.size()) < inputSize) {
      buff.push_back(static_cast<char>(c));
    } else {
      in.ignore(1000, '\n');
      break;
    }
  }
  const std::string shown = secret ? std::string(buff.size(), '*') : buff;
  out << "buff before = " << shown << std::endl;
  out << "string = " << shown << std::endl;
  return buff;
}

namespace {
std::string quotedInput(const std::string& input) { return "Input \"" + input + "\""; }
const char* const kPasswordSubject = "The password";
}  // namespace

std::string paramList::forbiddenIn(const std::string& input, const std::string& subject) const {
  std::string errors;
  for (const std::string& entry : strVector) {
    if (input.find(entry) != std::string::npos)
      errors += subject + " may not contain any of the following characters: " + entry + "\n";
  }
  return errors;
}

std::string paramList::allErrors(std::string input) {
  if (strVector.empty()) return std::string();
  if (checkforEmpty(input)) return "Empty field not allowed\n";
  return forbiddenIn(input, quotedInput(input));
}

std::string paramList::secretErrors(const std::string& input) {
  if (strVector.empty()) return std::string();
  if (checkforEmpty(input)) return "Empty field not allowed\n";
  return forbiddenIn(input, kPasswordSubject);
}

std::string paramList::allErrors(const std::string* input, int inputNum, int secretIndex) {
  std::string errors;
  if (strVector.empty() || input == nullptr) return errors;
  for (int i = 0; i < inputNum; ++i) {
    if (checkforEmpty(input[i]))
      errors += "Empty field " + std::to_string(i) + " not allowed\n";
    else
      errors += forbiddenIn(input[i], i == secretIndex ? kPasswordSubject : quotedInput(input[i]));
  }
  return errors;
}

bool paramList::checkforEmpty(std::string str) { return str.empty(); }

void paramList::addtostrVector(std::string str) { strVector.push_back(std::move(str)); }

void paramList::addtostrVector(const std::string* str, int inputNum) {
  for (int i = 0; i < inputNum; ++i) strVector.push_back(str[i]);
}
