// An RTP datagram and an RTCP compound packet on arbitrary bytes: neither
// reads outside the input, and what a successful parse reports fits it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "rtp/rtcp_packet.h"
#include "rtp/rtp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x10000) return 0;
  const unsigned length = static_cast<unsigned>(size);

  telvora::CRTPPacket packet;
  if (packet.Parse(data, length)) {
    const unsigned header = 12 + 4u * packet.GetCsrcCount() +
                            ((data[0] & 0x10) ? 4u + 4u * packet.GetExtensionLength() : 0u);
    if (header + packet.GetPayloadLength() > length) std::abort();
    if ((packet.GetPayloadLength() == 0) != (packet.GetPayload() == nullptr)) std::abort();
    if (packet.GetPayloadLength() != 0 && std::memcmp(packet.GetPayload(), data + header, packet.GetPayloadLength()) != 0)
      std::abort();
    if (packet.GetCsrcCount() != (data[0] & 0x0F)) std::abort();
  }

  unsigned offset = 0;
  unsigned walked = 0;
  telvora::RTCP_PACKET_VIEW view;
  while (telvora::NextRtcpPacket(data, length, &offset, &view)) {
    if (view.data < data || view.data + view.size > data + size || view.size < 4) std::abort();
    telvora::RTCP_SENDER_INFO info;
    if (telvora::ReadSenderInfo(view, &info) && view.size < 14) std::abort();
    walked += view.size;
  }
  if (walked != offset || offset > length) std::abort();

  telvora::CRTPSequenceTracker tracker;
  for (size_t i = 0; i + 1 < size; i += 2) tracker.Note(static_cast<uint16_t>((data[i] << 8) | data[i + 1]));
  return 0;
}
