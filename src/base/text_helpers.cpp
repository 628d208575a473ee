#include "base/text_helpers.h"

namespace telvora {

std::string ToLower(const std::string& text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string ExtractValue(const std::string& text, const std::string& key, const std::string& separator,
                         const std::string& terminators) {
  if (key.empty() || separator.empty() || terminators.empty()) return std::string();
  size_t from = 0;
  while (from < text.size()) {
    const size_t at = text.find(key, from);
    if (at == std::string::npos) return std::string();
    const size_t lastTerminator = at == 0 ? std::string::npos : text.find_last_of(terminators, at);
    const size_t fieldStart = lastTerminator == std::string::npos ? 0 : lastTerminator + 1;
    size_t fieldEnd = text.find_first_of(terminators, at);
    if (fieldEnd == std::string::npos) fieldEnd = text.size();
    const size_t sep = text.find(separator, at);
    if (sep == std::string::npos) return std::string();
    size_t next;
    if (sep < fieldEnd) {
      if (sep >= fieldStart && Trim(text.substr(fieldStart, sep - fieldStart)) == key) {
        const size_t valueStart = sep + separator.size();
        if (valueStart < text.size()) {
          size_t valueEnd = text.find_first_of(terminators, valueStart);
          if (valueEnd == std::string::npos) valueEnd = text.size();
          if (valueEnd > valueStart) return text.substr(valueStart, valueEnd - valueStart);
        }
      }
      next = fieldEnd;
    } else {
      next = sep;
    }
    // A key that starts with a terminator or the separator would otherwise
    // be found at the same place again.
    from = next > at ? next : at + 1;
  }
  return std::string();
}

std::vector<std::string> Split(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(delimiter, start);
    if (end == std::string::npos) end = text.size();
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

unsigned long long LeadingNumber(const std::string& text, unsigned long long max, size_t* digits) {
  unsigned long long value = 0;
  size_t count = 0;
  while (count < text.size() && text[count] >= '0' && text[count] <= '9') {
    const unsigned digit = static_cast<unsigned>(text[count] - '0');
    value = value > (max - digit) / 10 ? max : value * 10 + digit;
    ++count;
  }
  if (digits != nullptr) *digits = count;
  return value;
}

bool SplitHostPort(const std::string& text, std::string* host, bool* hasPort, std::string* port) {
  const size_t colon = text.find(':');
  *hasPort = colon != std::string::npos;
  *host = text.substr(0, colon);
  *port = *hasPort ? text.substr(colon + 1) : std::string();
  return !text.empty() && colon != 0;
}

bool SplitUrlAuthority(const std::string& url, std::string* hostPort, std::string* path) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  const size_t begin = scheme + 3;
  const size_t slash = url.find_first_of("/\\", begin);
  *hostPort = url.substr(begin, slash == std::string::npos ? std::string::npos : slash - begin);
  const size_t at = hostPort->rfind('@');
  if (at != std::string::npos) hostPort->erase(0, at + 1);
  *path = slash == std::string::npos ? std::string() : url.substr(slash);
  return true;
}

}  // namespace telvora
