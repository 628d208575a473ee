#include "rtp/reorder_window.h"

namespace telvora {

constexpr uint32_t CReorderWindow::kWaitMs;
constexpr size_t CReorderWindow::kDepth;
constexpr int CReorderWindow::kLateRange;

bool CReorderWindow::FrontReady(uint16_t sequence, size_t count, uint32_t now, uint32_t* wait) {
  *wait = 0;
  if (InTurn(sequence, count)) return true;
  if (!m_holding) {
    m_holding = true;
    m_holdStart = now;
  }
  const uint32_t held = now - m_holdStart;
  if (held >= kWaitMs) return true;
  *wait = kWaitMs - held;
  return false;
}

void CReorderWindow::Delivered(uint16_t sequence) {
  m_holding = false;
  m_delivered = true;
  m_lastSequence = sequence;
}

void CReorderWindow::Reset() {
  m_delivered = false;
  m_holding = false;
}

}  // namespace telvora
