// One parsed RTP packet (RFC 3550): fixed header, CSRC list, header
// extension and the payload without padding. Owns its arrays; the payload's
// storage is kept from one parse to the next, so a reused packet allocates
// only when a larger payload comes.
#pragma once

#include <cstdint>
#include <memory>

namespace telvora {

class CRTPPacket {
 public:
  CRTPPacket();
  virtual ~CRTPPacket();
  CRTPPacket(const CRTPPacket&) = delete;
  CRTPPacket& operator=(const CRTPPacket&) = delete;

  // Clears the packet, then parses one datagram. Never reads outside
  // [data, data + length). On false the packet must not be used.
  bool Parse(const unsigned char* data, unsigned length);
  void Clear();

  uint8_t GetCsrcCount() const { return m_csrcCount; }
  // Network byte order, as received.
  const uint32_t* GetCsrcList() const { return m_csrcList; }
  // Network byte order, as received.
  uint32_t GetSsrc() const { return m_ssrc; }
  bool GetMarker() const { return m_marker; }
  bool GetPadding() const { return m_padding; }
  uint8_t GetPayloadType() const { return m_payloadType; }
  uint16_t GetSequenceNumber() const { return m_sequenceNumber; }
  uint32_t GetTimestamp() const { return m_timestamp; }
  uint16_t GetExtensionProfile() const { return m_extensionProfile; }
  // In 32-bit words.
  uint16_t GetExtensionLength() const { return m_extensionLength; }
  const uint8_t* GetExtensionData() const { return m_extensionData; }
  uint32_t GetPayloadLength() const { return m_payloadLength; }
  // Null when the payload is empty.
  const uint8_t* GetPayload() const { return m_payloadLength != 0 ? m_payload : nullptr; }
  // Bytes of payload storage held, used or not.
  uint32_t GetPayloadCapacity() const { return m_payloadCapacity; }
  // Bytes of the whole datagram parsed: header, extension, payload, padding.
  uint32_t GetDatagramLength() const { return m_datagramLength; }

  // Hands the payload's storage over, its bytes where they are, and takes
  // *storage (null for none) with its capacity in its place. The payload is
  // empty afterwards; the header fields stay.
  void ExchangePayloadStorage(std::unique_ptr<uint8_t[]>* storage, uint32_t* capacity);

  // Payload storage is never smaller than this, so that storage exchanged
  // between packets of a stream fits any of them.
  static constexpr uint32_t kMinPayloadCapacity = 1536;

 private:
  uint8_t m_csrcCount;
  uint32_t* m_csrcList;
  uint32_t m_ssrc;
  bool m_marker;
  bool m_padding;
  uint8_t m_payloadType;
  uint16_t m_sequenceNumber;
  uint32_t m_timestamp;
  uint16_t m_extensionProfile;
  uint16_t m_extensionLength;
  uint8_t* m_extensionData;
  uint32_t m_payloadLength;
  uint8_t* m_payload;
  uint32_t m_payloadCapacity;
  uint32_t m_datagramLength;
};

}  // namespace telvora
