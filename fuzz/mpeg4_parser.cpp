#include "depacketizer_host.h"
#include "kovadel/kovadel.h"
#include "media/mpeg4_rtp_media_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzhost::Driver driver;
  fuzzhost::Client client;
  // The header library linked in, so that key frames reach the host too.
  telvora::CMpeg4RTPMediaParser parser(&driver, &ParseMpegHeader);
  parser.SetClient(&client);
  fuzzhost::FeedPackets(&parser, data, size);
  return 0;
}
