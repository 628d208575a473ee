// Byte-wise text helpers for protocol text, addresses and names.
// All of them are pure functions; none of them throws on any input other
// than running out of memory.
#pragma once

#include <string>
#include <vector>

namespace telvora {

// A copy with every byte lower-cased (ASCII only, locale-independent).
std::string ToLower(const std::string& text);

// A copy without leading and trailing blanks and tabs.
std::string Trim(const std::string& text);

// The value of a "key<separator>value" field inside text, where fields end
// at any character of terminators. The name before the separator must equal
// key exactly once trimmed, so a key that only occurs inside another field's
// value is skipped. "" when key, separator or terminators is empty, or when
// no field with a non-empty value matches.
std::string ExtractValue(const std::string& text, const std::string& key, const std::string& separator,
                         const std::string& terminators);

// The pieces between delimiter characters: consecutive delimiters give empty
// pieces, a delimiter at the very end gives no empty last piece, and an
// empty text gives no pieces.
std::vector<std::string> Split(const std::string& text, char delimiter);

// Splits "host[:port]" at its first ':'. False for an empty text or a
// leading ':'; *hasPort tells whether a ':' came, *port is what follows it.
bool SplitHostPort(const std::string& text, std::string* host, bool* hasPort, std::string* port);

// Splits "scheme://[user@]host[:port][/path]": *hostPort is the authority
// without its user info (never kept: it holds a password), *path starts at
// the first '/' or '\\' after it, or is empty. False without "://".
bool SplitUrlAuthority(const std::string& url, std::string* hostPort, std::string* path);

// The value of the leading decimal digits of text, saturating at max;
// 0 when text does not start with a digit. *digits receives the count.
unsigned long long LeadingNumber(const std::string& text, unsigned long long max, size_t* digits = nullptr);

}  // namespace telvora
