#include "depacketizer_host.h"
#include "media/jpeg_rtp_media_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzhost::Driver driver;
  fuzzhost::Client client;
  telvora::CJpegRTPMediaParser parser(&driver);
  parser.SetClient(&client);
  fuzzhost::FeedPackets(&parser, data, size);
  return 0;
}
