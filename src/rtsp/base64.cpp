#include "rtsp/base64.h"

namespace telvora {
namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetOf(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool Base64Encode(const uint8_t* data, size_t length, size_t capacity, std::string& out) {
  out.clear();
  const size_t encoded = (length + 2) / 3 * 4;
  if (capacity != 0 && encoded + 1 > capacity) return false;
  if (data == nullptr && length != 0) return false;
  out.reserve(encoded);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const uint32_t group = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  const size_t rest = length - i;
  if (rest > 0) {
    uint32_t group = uint32_t(data[i]) << 16;
    if (rest == 2) group |= uint32_t(data[i + 1]) << 8;
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    out += '=';
  }
  return true;
}

std::string Base64Encode(const std::string& bytes) {
  std::string out;
  Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0, out);
  return out;
}

bool Base64Decode(const std::string& text, size_t capacity, std::vector<uint8_t>& out) {
  out.clear();
  uint32_t group = 0;
  int count = 0;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == 0 && count == 0) break;
    const int sextet = SextetOf(c);
    if (sextet < 0) continue;
    group = (group << 6) | static_cast<uint32_t>(sextet);
    if (++count == 4) {
      if (out.size() + 3 > capacity) {
        out.clear();
        return false;
      }
      out.push_back(static_cast<uint8_t>(group >> 16));
      out.push_back(static_cast<uint8_t>(group >> 8));
      out.push_back(static_cast<uint8_t>(group));
      group = 0;
      count = 0;
    }
  }
  // A final group of two or three characters carries one or two bytes.
  if (count >= 2) {
    const size_t extra = count == 2 ? 1 : 2;
    if (out.size() + extra > capacity) {
      out.clear();
      return false;
    }
    group <<= 6 * (4 - count);
    out.push_back(static_cast<uint8_t>(group >> 16));
    if (count == 3) out.push_back(static_cast<uint8_t>(group >> 8));
  }
  return true;
}

}  // namespace telvora
