#include "host_frames.h"

#include <cstdio>
#include <new>
#include <string>

namespace capture {

void HostFrame::SetTime(const SYSTEMTIME* time) {
  if (time == nullptr) return;
  time_ = *time;
  hasTime_ = true;
}

void HostFrame::GetTime(SYSTEMTIME* time) {
  if (time != nullptr) *time = time_;
}

telvora::IVideoFrame* HostFrameAllocator::CreateFrame(uint32_t formatCode, uint32_t size,
                                                      const char* /*driverName*/) {
  if (size == 0 || size > kMaxFrameBytes) {
    refused_.fetch_add(1);
    return nullptr;
  }
  HostFrame* frame = new (std::nothrow) HostFrame(size, formatCode);
  if (frame == nullptr) {
    refused_.fetch_add(1);
    return nullptr;
  }
  created_.fetch_add(1);
  return frame;
}

void HostFrameAllocator::ReleaseFrame(telvora::IVideoFrame* frame) {
  if (frame == nullptr) return;
  released_.fetch_add(1);
  delete frame;
}

uint32_t FourCC(const char* text) {
  return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

std::string FourCCText(uint32_t code) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((code >> (8 * i)) & 0xFF);
    bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == ' ';
    if (!plain) {
      char hex[16];
      std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(code));
      return hex;
    }
    text += c;
  }
  return text;
}

}  // namespace capture
