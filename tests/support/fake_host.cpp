#include "support/fake_host.h"

#include <stdexcept>

#include "support/fake_frames.h"

namespace telvora {
namespace test {

void FakeLogSink::Write(CDebugInfoIf* info) {
  if (info == nullptr) return;
  const char* text = info->GetText();
  if (text == nullptr) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_nullTexts;
  }
  m_log.Add(info->GetLevel(), text != nullptr ? text : "");
}

size_t FakeLogSink::NullTexts() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nullTexts;
}

const char* FakeHostDevice::GetDeviceParameter(uint32_t index) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_asked.push_back(index);
  auto it = parameters.find(index);
  return it == parameters.end() ? nullptr : it->second.c_str();
}

std::vector<uint32_t> FakeHostDevice::AskedParameters() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_asked;
}

FakeFrameSink::~FakeFrameSink() { Unblock(); }

bool FakeFrameSink::OnFrame(IVideoFrame* frame) {
  std::unique_lock<std::mutex> lock(m_mutex);
  ++m_calls;
  m_changed.notify_all();
  if (m_mode == Mode::kBlock) {
    ++m_blocked;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_mode != Mode::kBlock; });
    --m_blocked;
  }
  if (m_mode == Mode::kThrow) throw std::runtime_error("frame sink told to throw");
  if (m_mode == Mode::kRefuse || frame == nullptr) return false;
  ReceivedFrame copy;
  if (FakeFrame* fake = dynamic_cast<FakeFrame*>(frame)) {
    copy.bytes = fake->Bytes();
    copy.format = fake->m_format;
    copy.width = fake->m_width;
    copy.height = fake->m_height;
  }
  frame->GetTime(&copy.time);
  m_frames.push_back(std::move(copy));
  m_changed.notify_all();
  return true;
}

void FakeFrameSink::OnSignalLost() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_signalLost;
  m_changed.notify_all();
}

void FakeFrameSink::SetMode(Mode mode) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_mode = mode;
  m_changed.notify_all();
}

void FakeFrameSink::Unblock() { SetMode(Mode::kAccept); }

std::vector<ReceivedFrame> FakeFrameSink::Frames() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_frames;
}

size_t FakeFrameSink::FrameCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_frames.size();
}

size_t FakeFrameSink::OnFrameCalls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

size_t FakeFrameSink::SignalLostCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_signalLost;
}

bool FakeFrameSink::WaitForCalls(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_calls >= count; });
}

bool FakeFrameSink::WaitForFrames(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_frames.size() >= count; });
}

bool FakeFrameSink::WaitForSignalLost(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_signalLost >= count; });
}

bool FakeFrameSink::IsBlocked() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_blocked > 0;
}

}  // namespace test
}  // namespace telvora
