#include <gtest/gtest.h>

#include "rtsp/base64.h"
#include "rtsp/md5.h"
#include "rtsp/sha2.h"

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

// FIPS 180-4 digests, values from Python's hashlib; the lengths straddle
// the padding edges of both block sizes (64 and 128 bytes).
TEST(Sha2, Digests) {
  const struct {
    std::string text;
    const char* sha256;
    const char* sha512_256;
  } kCases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
       "c672b8d1ef56ed28ab87c3622c5114069bdd3ad7b8f9737498d0c01ecef0967a"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
       "53048e2681941ef99b2e29b76b4c7dabe4c2d0c634fc6d46e0e2f13107e7af23"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318",
       "f6513468f05e7cec7d52fc337ef79dfa7c82520268d3aeba4002ead9a5642916"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a",
       "baa8bd7fb02a11878c6a1d5400f06ec5d96cd6f566da032f8dcbb602beea4ca5"},
      {std::string(111, 'a'), "6374f73208854473827f6f6a3f43b1f53eaa3b82c21c1a6d69a2110b2a79baad",
       "0239e429f98d0ed61ee8e2a7c30afe98c1c3a80ce5dff62a107e9c538f7632ce"},
      {std::string(112, 'a'), "f54353008a2553262ecdc4a34749563ba0950e8b0fc8652780b0a614b99683c1",
       "9216b5303edb66504570bee90e48ea5beaa5e9fe9f760bbd3e0460559fc005f6"},
      {std::string(200, 'a'), "c2a908d98f5df987ade41b5fce213067efbcc21ef2240212a41e54b5e7c28ae5",
       "19b1e37317d7fd3d7651f397005e31f154ef4912d1345743d2d5889aaca28996"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Sha256Hex(c.text), c.sha256) << c.text.size();
    EXPECT_EQ(Sha512_256Hex(c.text), c.sha512_256) << c.text.size();
  }
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
