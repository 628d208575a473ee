#include "config/xml_query_syntax.h"

namespace telvora {
namespace {

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// Advances past a name; false when there is none at pos.
bool SkipName(const std::string& q, size_t& pos) {
  if (pos >= q.size() || !IsNameStart(q[pos])) return false;
  ++pos;
  while (pos < q.size() && IsNameChar(q[pos])) ++pos;
  return true;
}

// Advances past [@name="text"] (or single quotes).
bool SkipPredicate(const std::string& q, size_t& pos) {
  if (q.compare(pos, 2, "[@") != 0) return false;
  pos += 2;
  if (!SkipName(q, pos)) return false;
  if (pos + 1 >= q.size() || q[pos] != '=') return false;
  const char quote = q[pos + 1];
  if (quote != '"' && quote != '\'') return false;
  const size_t close = q.find(quote, pos + 2);
  if (close == std::string::npos || close + 1 >= q.size() || q[close + 1] != ']') return false;
  pos = close + 2;
  return true;
}

}  // namespace

bool IsSimplePathQuery(const std::string& query) {
  size_t pos = 0;
  for (;;) {
    if (!SkipName(query, pos)) return false;
    while (pos < query.size() && query[pos] == '[')
      if (!SkipPredicate(query, pos)) return false;
    if (pos == query.size()) return true;
    if (query[pos] != '/') return false;
    ++pos;
  }
}

}  // namespace telvora
