// What a depacketizer needs from the channel that feeds it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "host/orvalen_host.h"
#include "base/system_time.h"

namespace telvora {

// Implemented by the RTP channel. Every call comes on the thread that
// feeds the depacketizer its packets.
class IMediaParserClient {
 public:
  virtual ~IMediaParserClient() {}
  // Hands a filled host frame on to the channel's frame sink. The frame
  // stays the depacketizer's, which releases it afterwards. False when it
  // was not taken; the depacketizer then starts over at the next key frame.
  virtual bool DeliverFrame(IVideoFrame* frame) = 0;
  // The third and fourth start parameters the host gave the channel.
  virtual void GetChannelParameters(std::pair<uint32_t, uint32_t>* values) = 0;
  // The driver's name, passed on to IFrameAllocator::CreateFrame.
  virtual std::string GetDriverName() = 0;
  // Wall-clock time of an RTP timestamp of this stream.
  virtual void ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME* time) = 0;
};

}  // namespace telvora
