#include <gtest/gtest.h>

#include "rtsp/base64.h"
#include "rtsp/md5.h"

namespace telvora {
namespace {

TEST(Md5, Rfc1321TestSuite) {
  const struct {
    const char* text;
    const char* digest;
  } kCases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : kCases) EXPECT_EQ(Md5Hex(c.text), c.digest) << '"' << c.text << '"';
}

TEST(Md5, UpdateInPiecesEqualsOneUpdateAcrossBlockEdges) {
  // 55, 56 and 64 bytes are where the padding spills into a second block.
  for (size_t length : {55u, 56u, 63u, 64u, 65u, 200u}) {
    const std::string text(length, 'x');
    CMd5 md5;
    for (char c : text) md5.Update(&c, 1);
    uint8_t digest[16];
    md5.Final(digest);
    char hex[33];
    for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_EQ(std::string(hex), Md5Hex(text)) << length;
  }
}

std::string Decode(const std::string& text, size_t capacity = 256) {
  std::vector<uint8_t> out;
  if (!Base64Decode(text, capacity, out)) return "<fail>";
  return std::string(out.begin(), out.end());
}

TEST(Base64, Rfc4648Vectors) {
  const struct {
    const char* plain;
    const char* encoded;
  } kCases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& c : kCases) {
    EXPECT_EQ(Base64Encode(c.plain), c.encoded);
    EXPECT_EQ(Decode(c.encoded), c.plain);
  }
  // Every byte value survives the round trip.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(Decode(Base64Encode(all)), all);
}

TEST(Base64, DecodeSkipsForeignCharactersAndStopsAtZero) {
  EXPECT_EQ(Decode("Zm9v\r\nYmFy"), "foobar");
  EXPECT_EQ(Decode(" Z m 9 v\tY g = = "), "foob");
  EXPECT_EQ(Decode("Z"), "");  // one trailing character carries no byte
  EXPECT_EQ(Decode(std::string("Zm9v\0YmFy", 9)), "foo");
}

TEST(Base64, DecodeCapacityIsAllOrNothing) {
  const std::string exact(256, 'A');
  const std::string over(257, 'A');
  EXPECT_EQ(Decode(Base64Encode(exact)).size(), 256u);
  EXPECT_EQ(Decode(Base64Encode(over)), "<fail>");
  std::vector<uint8_t> out{1, 2, 3};
  EXPECT_FALSE(Base64Decode(Base64Encode(over), 256, out));
  EXPECT_TRUE(out.empty());
}

TEST(Base64, EncodeRefusesWhatDoesNotFitTheArea) {
  std::string out = "stale";
  const std::string ok(72, 'x'), tooLong(73, 'x');
  EXPECT_TRUE(Base64Encode(reinterpret_cast<const uint8_t*>(ok.data()), ok.size(), 100, out));
  EXPECT_EQ(out.size(), 96u);
  EXPECT_FALSE(Base64Encode(reinterpret_cast<const uint8_t*>(tooLong.data()), tooLong.size(), 100, out));
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace telvora
