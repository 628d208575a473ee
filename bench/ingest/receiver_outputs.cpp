#include "receiver_outputs.h"

#include <cstdlib>
#include <sstream>

namespace ingest {

std::map<std::string, std::string> ParseKeyValues(const std::string& text) {
  std::map<std::string, std::string> keys;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t blank = line.find(' ');
    if (blank == std::string::npos || blank == 0) continue;
    keys.emplace(line.substr(0, blank), line.substr(blank + 1));
  }
  return keys;
}

uint64_t LastProgressFrames(const std::string& text) {
  const std::string key = "frame=";
  size_t at = text.rfind("\n" + key);
  if (at != std::string::npos) {
    at += 1;
  } else if (text.compare(0, key.size(), key) == 0) {
    at = 0;
  } else {
    return 0;
  }
  return std::strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

}  // namespace ingest
