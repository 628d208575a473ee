#include "rtp/rtp_packet.h"

#include <cstring>
#include <new>

namespace telvora {
namespace {

uint16_t Read16(const unsigned char* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Read32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

constexpr uint32_t CRTPPacket::kMinPayloadCapacity;

CRTPPacket::CRTPPacket()
    : m_csrcCount(0), m_csrcList(nullptr), m_ssrc(0), m_marker(false), m_padding(false), m_payloadType(0),
      m_sequenceNumber(0), m_timestamp(0), m_extensionProfile(0), m_extensionLength(0),
      m_extensionData(nullptr), m_payloadLength(0), m_payload(nullptr), m_payloadCapacity(0),
      m_datagramLength(0) {}

CRTPPacket::~CRTPPacket() {
  Clear();
  delete[] m_payload;
}

void CRTPPacket::Clear() {
  delete[] m_csrcList;
  delete[] m_extensionData;
  m_csrcList = nullptr;
  m_extensionData = nullptr;
  m_csrcCount = 0;
  m_ssrc = 0;
  m_marker = false;
  m_padding = false;
  m_payloadType = 0;
  m_sequenceNumber = 0;
  m_timestamp = 0;
  m_extensionProfile = 0;
  m_extensionLength = 0;
  m_payloadLength = 0;
  m_datagramLength = 0;
}

bool CRTPPacket::Parse(const unsigned char* data, unsigned length) {
  Clear();
  if (data == nullptr || length < 13) return false;
  if ((data[0] & 0xC0) != 0x80) return false;

  unsigned offset = 12;
  const unsigned csrcCount = data[0] & 0x0F;
  if (csrcCount != 0) {
    // The list must leave at least one byte after it.
    if (csrcCount * 4 >= length - 12) return false;
    m_csrcList = new (std::nothrow) uint32_t[csrcCount];
    if (m_csrcList == nullptr) return false;
    std::memcpy(m_csrcList, data + 12, csrcCount * 4);
    m_csrcCount = static_cast<uint8_t>(csrcCount);
    offset += csrcCount * 4;
  }

  if (data[0] & 0x10) {
    if (offset >= length) return false;
    const unsigned left = length - offset;
    if (left < 4) return false;
    m_extensionProfile = Read16(data + offset);
    m_extensionLength = Read16(data + offset + 2);
    const unsigned extensionBytes = static_cast<unsigned>(m_extensionLength) * 4;
    if (extensionBytes != 0) {
      if (left < 4 + extensionBytes) return false;
      m_extensionData = new (std::nothrow) uint8_t[extensionBytes];
      if (m_extensionData == nullptr) return false;
      std::memcpy(m_extensionData, data + offset + 4, extensionBytes);
    }
    offset += 4 + extensionBytes;
  }

  m_marker = (data[1] & 0x80) != 0;
  m_padding = (data[0] & 0x20) != 0;
  m_payloadType = data[1] & 0x7F;
  m_sequenceNumber = Read16(data + 2);
  m_timestamp = Read32(data + 4);
  std::memcpy(&m_ssrc, data + 8, 4);

  m_datagramLength = length;
  const unsigned paddingCount = m_padding ? data[length - 1] : 0;
  if (offset + paddingCount < length) {
    const uint32_t payloadLength = length - paddingCount - offset;
    if (payloadLength > m_payloadCapacity) {
      delete[] m_payload;
      m_payloadCapacity = 0;
      const uint32_t capacity = payloadLength > kMinPayloadCapacity ? payloadLength : kMinPayloadCapacity;
      m_payload = new (std::nothrow) uint8_t[capacity];
      if (m_payload == nullptr) return false;
      m_payloadCapacity = capacity;
    }
    m_payloadLength = payloadLength;
    std::memcpy(m_payload, data + offset, m_payloadLength);
    return true;
  }
  return offset + paddingCount == length;
}

void CRTPPacket::ExchangePayloadStorage(std::unique_ptr<uint8_t[]>* storage, uint32_t* capacity) {
  uint8_t* given = storage->release();
  const uint32_t givenCapacity = given != nullptr ? *capacity : 0;
  storage->reset(m_payload);
  *capacity = m_payloadCapacity;
  m_payload = given;
  m_payloadCapacity = givenCapacity;
  m_payloadLength = 0;
}

}  // namespace telvora
