#include "rtsp/rtsp_response_reader.h"

#include <gtest/gtest.h>

namespace telvora {
namespace {

CRTSPResponseReader::State Append(CRTSPResponseReader& reader, const std::string& bytes) {
  return reader.Append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(ResponseReader, ReadsExactlyTheBodyAndKeepsWhatFollows) {
  CRTSPResponseReader reader;
  const std::string first = "RTSP/1.0 200 OK\r\ncontent-length:4\r\n\r\nbody";
  const std::string second = "RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n";
  // Byte by byte: complete only with the last byte of the body.
  for (size_t i = 0; i + 1 < first.size(); ++i) ASSERT_EQ(Append(reader, first.substr(i, 1)), CRTSPResponseReader::kNeedMore) << i;
  EXPECT_EQ(Append(reader, first.substr(first.size() - 1) + second + "RTSP/"), CRTSPResponseReader::kComplete);
  EXPECT_EQ(reader.TakeResponse(), first);
  EXPECT_EQ(reader.Append(nullptr, 0), CRTSPResponseReader::kComplete);
  EXPECT_EQ(reader.TakeResponse(), second);
  EXPECT_EQ(reader.TakeBuffered(), "RTSP/");
}

TEST(ResponseReader, ContentLengthSpellings) {
  EXPECT_EQ(FindContentLength("RTSP/1.0 200 OK\r\nContent-Length: 12\r\n"), 12u);
  EXPECT_EQ(FindContentLength("RTSP/1.0 200 OK\r\nCONTENT-LENGTH:\t7\r\n"), 7u);
  EXPECT_EQ(FindContentLength("RTSP/1.0 200 OK\r\nX-Content-Length: 7\r\n"), 0u);
  EXPECT_EQ(FindContentLength("RTSP/1.0 200 OK\r\n"), 0u);
}

TEST(ResponseReader, Limits) {
  CRTSPResponseReader headers;
  EXPECT_EQ(Append(headers, "RTSP/1.0 200 OK\r\nX: " + std::string(CRTSPResponseReader::kMaxHeaderBytes, 'x')),
            CRTSPResponseReader::kHeaderLimit);
  // Once refused, nothing more is taken.
  EXPECT_EQ(Append(headers, "\r\n\r\n"), CRTSPResponseReader::kHeaderLimit);

  CRTSPResponseReader body;
  EXPECT_EQ(Append(body, "RTSP/1.0 200 OK\r\nContent-Length: 1048577\r\n\r\n"), CRTSPResponseReader::kBodyLimit);
  CRTSPResponseReader fits;
  EXPECT_EQ(Append(fits, "RTSP/1.0 200 OK\r\nContent-Length: 1048576\r\n\r\n"), CRTSPResponseReader::kNeedMore);
  EXPECT_EQ(fits.BytesWanted(), 1048576u);
}

TEST(ResponseReader, InterleavedFramesAndLineEndsBeforeTheStatusLine) {
  CRTSPResponseReader reader;
  const std::string answer = "RTSP/1.0 200 OK\r\n\r\n";
  EXPECT_EQ(Append(reader, std::string("$\0\0\x05", 4) + "ab"), CRTSPResponseReader::kNeedMore);
  EXPECT_EQ(Append(reader, "cde\r\n" + answer), CRTSPResponseReader::kComplete);
  EXPECT_EQ(reader.TakeResponse(), answer);
}

}  // namespace
}  // namespace telvora
