#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "accounting.h"
#include "clip.h"
#include "frame_tag.h"
#include "null_sink.h"

namespace ingest {
namespace {

TEST(FrameTag, NumbersSurviveAndNeedNoEmulationPrevention) {
  const uint32_t kNumbers[] = {0, 1, 9, 10, 255, 0x10000, 0xDEADBEEF, 0xFFFFFFFF};
  for (uint32_t number : kNumbers) {
    std::vector<uint8_t> nal = MakeFrameTagNal();
    const long at = FindFrameTagDigits(nal.data(), nal.size());
    ASSERT_GT(at, 0);
    WriteFrameTag(nal.data() + at, number);
    // No 00 00 0x inside the NAL unit, or a decoder would misread it.
    for (size_t i = 0; i + 2 < nal.size(); ++i) EXPECT_FALSE(nal[i] == 0 && nal[i + 1] == 0) << number;
    // Behind a slice and before the closing delimiter, as a depacketizer
    // hands it over.
    std::vector<uint8_t> frame = {0, 0, 1, 0x65, 0x88};
    frame.resize(4000, 0x5A);
    frame.insert(frame.end(), {0, 0, 1});
    frame.insert(frame.end(), nal.begin(), nal.end());
    frame.insert(frame.end(), {0, 0, 1, 0x09, 0x30});
    uint32_t read = 0;
    ASSERT_TRUE(ReadFrameTag(frame.data(), frame.size(), &read));
    EXPECT_EQ(read, number);
  }
}

TEST(FrameTag, IsNotReadFromWhatDoesNotHoldAWholeOne) {
  std::vector<uint8_t> nal = MakeFrameTagNal();
  const long digits = FindFrameTagDigits(nal.data(), nal.size());
  uint32_t number = 0;
  // Cut inside the digits.
  EXPECT_FALSE(ReadFrameTag(nal.data(), static_cast<size_t>(digits) + 7, &number));
  // Further from the end than the search reaches.
  std::vector<uint8_t> early = nal;
  early.resize(nal.size() + 600, 0x11);
  EXPECT_FALSE(ReadFrameTag(early.data(), early.size(), &number));
  EXPECT_TRUE(ReadFrameTag(early.data(), early.size(), &number, early.size()));
  // Digits that are not hexadecimal.
  nal[static_cast<size_t>(digits) + 3] = 'G';
  EXPECT_FALSE(ReadFrameTag(nal.data(), nal.size(), &number));
  EXPECT_FALSE(ReadFrameTag(nullptr, 100, &number));
}

std::vector<uint8_t> AnnexB(const std::vector<std::vector<uint8_t>>& units) {
  std::vector<uint8_t> out;
  for (const auto& u : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

TEST(Clip, EveryFrameCarriesItsTagInOnePacketAndEndsOnTheMarker) {
  std::vector<uint8_t> sps = {0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x02, 0x80, 0xF6, 0x80, 0x6D, 0x0A, 0x13, 0x50};
  std::vector<uint8_t> pps = {0x68, 0xCE, 0x3C, 0x80};
  std::vector<uint8_t> idr(5000, 0x5A), p1(300, 0x5A), p2(3000, 0x5A);
  idr[0] = 0x65;
  idr[1] = 0x88;  // first_mb_in_slice 0
  p1[0] = p2[0] = 0x41;
  p1[1] = p2[1] = 0x9A;
  Clip clip;
  std::string error;
  ASSERT_TRUE(BuildClip(AnnexB({sps, pps, idr, p1, p2}), "test", &clip, &error)) << error;
  ASSERT_EQ(clip.frames.size(), 3u);
  EXPECT_TRUE(clip.frames[0].key);
  EXPECT_FALSE(clip.frames[1].key);
  for (const ClipFrame& f : clip.frames) {
    ASSERT_FALSE(f.packets.empty());
    for (size_t i = 0; i < f.packets.size(); ++i) EXPECT_EQ((f.packets[i][1] & 0x80) != 0, i + 1 == f.packets.size());
    uint32_t number = 1;
    EXPECT_TRUE(ReadFrameTag(f.packets[f.tagPacket].data(), f.packets[f.tagPacket].size(), &number));
    EXPECT_EQ(number, 0u);
  }
  EXPECT_GT(clip.frames[0].packets.size(), 3u);  // the IDR slice is fragmented
  EXPECT_FALSE(BuildClip({1, 2, 3}, "junk", &clip, &error));
}

SentStream Sent(size_t frames, std::vector<size_t> keys) {
  SentStream s;
  for (size_t i = 0; i < frames; ++i) {
    s.lastPacketNs.push_back(static_cast<int64_t>(i) * 40000000);
    s.key.push_back(false);
  }
  for (size_t k : keys) s.key[k] = true;
  return s;
}

TEST(Accounting, StartUpIsNotLossButEveryLaterGapIs) {
  struct Case {
    const char* what;
    std::vector<size_t> keys;
    std::vector<uint32_t> delivered;
    uint64_t startup, lost, duplicates, unknown;
  };
  const Case kCases[] = {
      {"all after the second key frame", {0, 4}, {4, 5, 6, 7, 8, 9}, 4, 0, 0, 0},
      {"a gap counts", {0, 4}, {4, 5, 7, 8, 9}, 4, 1, 0, 0},
      {"early frames are not required", {0, 4}, {1, 2, 4, 5, 6, 7, 8, 9}, 4, 0, 0, 0},
      {"a duplicate and a tag never sent", {0, 4}, {4, 5, 5, 6, 7, 8, 9, 42}, 4, 0, 1, 1},
      {"no second key frame: all start-up", {0}, {}, 10, 0, 0, 0},
      {"the tail missing", {0, 2}, {2, 3, 4, 5, 6, 7}, 2, 2, 0, 0},
  };
  for (const Case& c : kCases) {
    std::vector<Arrival> arrivals;
    for (uint32_t f : c.delivered) arrivals.push_back(Arrival{0, f, int64_t(f) * 40000000 + 2000000});
    const Accounting a = Account({Sent(10, c.keys)}, arrivals);
    EXPECT_EQ(a.sent, 10u) << c.what;
    EXPECT_EQ(a.startup, c.startup) << c.what;
    EXPECT_EQ(a.expected, 10u - c.startup) << c.what;
    EXPECT_EQ(a.lost, c.lost) << c.what;
    EXPECT_EQ(a.duplicates, c.duplicates) << c.what;
    EXPECT_EQ(a.unknown, c.unknown) << c.what;
    EXPECT_EQ(a.latencyMs.size(), a.delivered) << c.what;
    for (double ms : a.latencyMs) EXPECT_DOUBLE_EQ(ms, 2.0) << c.what;
  }
}

TEST(Accounting, StreamsAreKeptApart) {
  // Stream 1's frame 3 does not stand in for stream 0's.
  const Accounting a = Account({Sent(4, {0, 1}), Sent(4, {0, 1})},
                               {{0, 1, 0}, {0, 2, 0}, {1, 1, 0}, {1, 2, 0}, {1, 3, 0}, {7, 1, 0}});
  EXPECT_EQ(a.lost, 1u);
  EXPECT_EQ(a.delivered, 5u);
  EXPECT_EQ(a.unknown, 1u);
}

TEST(Quantile, NearestRank) {
  std::vector<double> v;
  for (int i = 1; i <= 100; ++i) v.push_back(i);
  EXPECT_EQ(Quantile(v, 0.5), 50);
  EXPECT_EQ(Quantile(v, 0.99), 99);
  EXPECT_EQ(Quantile(v, 1.0), 100);
  EXPECT_EQ(Quantile({7}, 0.99), 7);
  EXPECT_EQ(Quantile({}, 0.5), 0);
}

TEST(PoolAllocator, ReusesBuffersAndRefusesWhatItCannotHold) {
  PoolAllocator pool;
  EXPECT_EQ(pool.CreateFrame(0, 0, "x"), nullptr);
  EXPECT_EQ(pool.CreateFrame(0, PoolAllocator::kMaxFrame + 1, "x"), nullptr);
  telvora::IVideoFrame* a = pool.CreateFrame(0, 100000, "x");
  ASSERT_NE(a, nullptr);
  std::memset(a->GetData(), 1, 100000);  // the whole size is writable
  pool.ReleaseFrame(a);
  EXPECT_EQ(pool.CreateFrame(0, 90000, "x"), a);
  // A larger one than any kept gets a buffer of its own.
  telvora::IVideoFrame* big = pool.CreateFrame(0, 4u << 20, "x");
  ASSERT_NE(big, nullptr);
  std::memset(big->GetData(), 1, 4u << 20);
  EXPECT_EQ(pool.Outstanding(), 2);
  pool.ReleaseFrame(a);
  pool.ReleaseFrame(big);
  EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(TaggingSink, KeepsAtMostItsCapacityButCountsEveryFrame) {
  TaggingSink sink(3, 2);
  PooledFrame frame(256);
  std::vector<uint8_t> nal = MakeFrameTagNal();
  std::memcpy(frame.GetData(), nal.data(), nal.size());
  frame.SetDataSize(static_cast<uint32_t>(nal.size()));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(sink.OnFrame(&frame));
  frame.SetDataSize(10);  // too short for a tag
  EXPECT_TRUE(sink.OnFrame(&frame));
  frame.SetDataSize(1000);  // beyond the buffer
  EXPECT_FALSE(sink.OnFrame(&frame));
  EXPECT_EQ(sink.Frames(), 6u);
  EXPECT_EQ(sink.Untagged(), 1u);
  ASSERT_EQ(sink.Arrivals().size(), 2u);
  EXPECT_EQ(sink.Arrivals()[0].stream, 3u);
}

}  // namespace
}  // namespace ingest
