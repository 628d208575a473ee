// The MPEG-4 header library as the depacketizer loads it: the built
// Kovadel.so, its one export, and the VOL header fields before the size.
#include <dlfcn.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "media_test_kit.h"

namespace telvora {
namespace test {
namespace {

using Bytes = std::vector<uint8_t>;
typedef int32_t (*ParseFunction)(const uint8_t*, uint32_t, int32_t*, int32_t*);

// ctest names the build folder; run by hand, the suite sits in tests/media.
std::string LibraryPath() {
  const char* dir = std::getenv("ORVALEN_BUILD_DIR");
  if (dir != nullptr) return std::string(dir) + "/src/driver/Kovadel.so";
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  std::string path = n > 0 ? std::string(exe, size_t(n)) : std::string();
  return path.substr(0, path.rfind('/') + 1) + "../../src/driver/Kovadel.so";
}

class Kovadel : public ::testing::Test {
 protected:
  void SetUp() override {
    handle = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << LibraryPath();
    parse = reinterpret_cast<ParseFunction>(dlsym(handle, "ParseMpegHeader"));
    ASSERT_NE(parse, nullptr);
  }
  void TearDown() override {
    if (handle != nullptr) dlclose(handle);
  }
  // Calls the library on an exactly sized heap copy, so that a read past
  // size would land outside the allocation.
  int32_t Parse(const Bytes& data, size_t size, int32_t* w, int32_t* h) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
    std::copy(data.begin(), data.begin() + std::ptrdiff_t(size), copy.get());
    return parse(size == 0 ? nullptr : copy.get(), static_cast<uint32_t>(size), w, h);
  }

  void* handle = nullptr;
  ParseFunction parse = nullptr;
};

TEST_F(Kovadel, ExportsOnlyTheEntry) {
  std::string symbols;
  ASSERT_EQ(RunCommand("nm -D --defined-only '" + LibraryPath() + "'", &symbols), 0);
  EXPECT_NE(symbols.find(" T ParseMpegHeader"), std::string::npos) << symbols;
  size_t lines = 0;
  for (char c : symbols) lines += c == '\n';
  EXPECT_EQ(lines, 1u) << symbols;
}

struct Vol {
  const char* name;
  bool layerIdentifier = false;
  uint32_t verid = 1;
  uint32_t aspect = 1;  // 15: extended PAR follows
  bool controlParameters = false;
  bool vbv = false;
  uint32_t shape = 0;
  uint32_t resolution = 25;
  bool fixedRate = false;
  uint32_t fixedIncrementBits = 0;  // as an encoder must write them
  uint32_t width = 352, height = 288;
  uint8_t startCode = 0x20;
  bool ok = true;
};

// Writes a VOL header; *needed is the byte count through the marker after
// the height.
Bytes MakeVol(const Vol& v, size_t* needed) {
  BitWriter w;
  w.Put(0x00000100u | v.startCode, 32);
  w.Put(0, 1);     // random_accessible_vol
  w.Put(1, 8);     // simple object
  w.Put(v.layerIdentifier, 1);
  if (v.layerIdentifier) w.Put(v.verid, 4), w.Put(1, 3);
  w.Put(v.aspect, 4);
  if (v.aspect == 15) w.Put(12, 8), w.Put(11, 8);
  w.Put(v.controlParameters, 1);
  if (v.controlParameters) {
    w.Put(1, 2), w.Put(1, 1), w.Put(v.vbv, 1);
    if (v.vbv) {
      w.Put(0x1234, 15), w.Put(1, 1), w.Put(0x4321, 15), w.Put(1, 1), w.Put(0x0FFF, 15), w.Put(1, 1);
      w.Put(5, 3), w.Put(0x3FF, 11), w.Put(1, 1), w.Put(0x7FFF, 15), w.Put(1, 1);
    }
  }
  w.Put(v.shape, 2);
  if (v.shape == 3 && v.verid != 1) w.Put(0, 4);
  w.Put(1, 1);
  w.Put(v.resolution, 16);
  w.Put(1, 1);
  w.Put(v.fixedRate, 1);
  if (v.fixedRate) w.Put(1, v.fixedIncrementBits);
  w.Put(1, 1);
  w.Put(v.width, 13);
  w.Put(1, 1);
  w.Put(v.height, 13);
  w.Put(1, 1);
  *needed = (w.BitCount() + 7) / 8;
  w.Put(0, 1);  // interlaced
  w.Put(1, 1);  // obmc_disable
  w.PadZero();
  return w.Bytes();
}

TEST_F(Kovadel, OptionalFieldsBeforeTheSize) {
  auto vol = [](const char* name) {
    Vol v;
    v.name = name;
    return v;
  };
  std::vector<Vol> cases;
  cases.push_back(vol("plain"));
  {
    Vol v = vol("layer identifier");
    v.layerIdentifier = true;
    v.verid = 2;
    cases.push_back(v);
  }
  {
    Vol v = vol("extended PAR");
    v.aspect = 15;
    cases.push_back(v);
  }
  {
    Vol v = vol("control parameters without VBV");
    v.controlParameters = true;
    cases.push_back(v);
  }
  {
    Vol v = vol("VBV parameters");
    v.controlParameters = true;
    v.vbv = true;
    v.width = 1280;
    v.height = 720;
    cases.push_back(v);
  }
  for (auto r : {std::pair<uint32_t, uint32_t>{1, 1}, {2, 1}, {25, 5}, {30000, 15}, {32768, 15}, {32769, 16},
                 {65535, 16}}) {
    Vol v = vol("fixed VOP rate");
    v.fixedRate = true;
    v.resolution = r.first;
    v.fixedIncrementBits = r.second;
    v.width = 8191;
    v.height = 1;
    cases.push_back(v);
  }
  {
    Vol v = vol("last layer start code");
    v.startCode = 0x2F;
    cases.push_back(v);
  }
  {
    Vol v = vol("binary shape has no size");
    v.shape = 1;
    v.ok = false;
    cases.push_back(v);
  }
  {
    Vol v = vol("grayscale shape");
    v.shape = 3;
    v.layerIdentifier = true;
    v.verid = 2;
    v.ok = false;
    cases.push_back(v);
  }
  {
    Vol v = vol("resolution 0");
    v.resolution = 0;
    v.ok = false;
    cases.push_back(v);
  }
  {
    Vol v = vol("width 0");
    v.width = 0;
    v.ok = false;
    cases.push_back(v);
  }

  for (const Vol& v : cases) {
    size_t needed = 0;
    const Bytes header = MakeVol(v, &needed);
    // Some bytes of a visual object in front, as in a real stream.
    Bytes data{0, 0, 1, 0xB5, 0x09, 0xAA};
    const size_t prefix = data.size();
    data.insert(data.end(), header.begin(), header.end());
    int32_t w = -1, h = -1;
    EXPECT_EQ(Parse(data, data.size(), &w, &h) > 0, v.ok) << v.name << " " << v.resolution;
    if (!v.ok) continue;
    EXPECT_EQ(w, int32_t(v.width)) << v.name << " " << v.resolution;
    EXPECT_EQ(h, int32_t(v.height)) << v.name;
    for (size_t size = 0; size < prefix + needed; ++size) {
      int32_t tw = -1, th = -1;
      ASSERT_EQ(Parse(data, size, &tw, &th), 0) << v.name << " cut at " << size;
      EXPECT_EQ(tw, -1);
    }
    EXPECT_GT(Parse(data, prefix + needed, &w, &h), 0) << v.name;
  }
}

TEST_F(Kovadel, NoLayerHeader) {
  int32_t w = 0, h = 0;
  EXPECT_EQ(Parse({0, 0, 1, 0xB0, 0x01, 0, 0, 1, 0xB6, 0x10}, 10, &w, &h), 0);
  EXPECT_EQ(Parse({0, 0, 1}, 3, &w, &h), 0);
  EXPECT_EQ(parse(nullptr, 100, &w, &h), 0);
}

TEST_F(Kovadel, FfmpegStreamsAtThreeSizes) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg missing";
  TempDir dir;
  const std::pair<int, int> kSizes[] = {{176, 144}, {640, 480}, {1280, 720}};
  for (const auto& size : kSizes) {
    const std::string file = dir.File("s.m4v");
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(size.first) +
                                "x" + std::to_string(size.second) +
                                ":rate=25 -frames:v 1 -c:v mpeg4 -flags +bitexact -f m4v '" + file + "'";
    ASSERT_EQ(RunCommand(command), 0) << command;
    Bytes stream;
    ASSERT_TRUE(ReadFile(file, &stream));
    int32_t w = 0, h = 0;
    ASSERT_GT(Parse(stream, stream.size(), &w, &h), 0);
    EXPECT_EQ(w, size.first);
    EXPECT_EQ(h, size.second);

    // Every cut of the headers short of the size fails; from some point on
    // within a few bytes of the layer start code every cut succeeds.
    size_t vol = 0;
    while (vol + 4 <= stream.size() && !(stream[vol] == 0 && stream[vol + 1] == 0 && stream[vol + 2] == 1 &&
                                          (stream[vol + 3] & 0xF0) == 0x20))
      ++vol;
    ASSERT_LT(vol + 4, stream.size());
    size_t firstSuccess = 0;
    for (size_t cut = 0; cut <= vol + 40 && cut <= stream.size(); ++cut) {
      int32_t tw = 0, th = 0;
      const bool ok = Parse(stream, cut, &tw, &th) > 0;
      if (ok && firstSuccess == 0) firstSuccess = cut;
      if (firstSuccess != 0) {
        ASSERT_TRUE(ok) << cut;
        EXPECT_EQ(tw, size.first);
      }
    }
    // 32 + 1 + 8 + 1 + 4 + 1 + 2 + 1 + 16 + 1 + 1 + 1 + 13 + 1 + 13 + 1 bits at the least.
    EXPECT_GE(firstSuccess, vol + 13);
    EXPECT_LE(firstSuccess, vol + 20);
  }
}

}  // namespace
}  // namespace test
}  // namespace telvora
