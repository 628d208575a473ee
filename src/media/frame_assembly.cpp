#include "media/frame_assembly.h"

#include <algorithm>
#include <cstring>

namespace telvora {

constexpr size_t CFrameAssembly::kMinReferred;
constexpr size_t CFrameAssembly::kKeptBytes;
constexpr unsigned CFrameAssembly::kSpareWindow;
constexpr size_t CFrameAssembly::kMaxSpares;
constexpr size_t CFrameAssembly::kMaxSpareBytes;

size_t CFrameAssembly::HeldBytes() const {
  return m_own.capacity() + m_front.capacity() + m_takenBytes + m_spareBytes;
}

void CFrameAssembly::AppendNewPiece(const uint8_t* data, size_t length) {
  if (length == 0) return;
  std::memcpy(ReserveOwn(length), data, length);
  Grew(length);
}

uint8_t* CFrameAssembly::ReserveOwn(size_t length) {
  const size_t end = m_own.size();
  if (length > m_own.capacity() - end)
    m_own.reserve(std::max(end + length, std::min(m_ownCeiling, std::max<size_t>(2 * m_own.capacity(), 256))));
  if (m_pieces.empty() || m_pieces.back().data != nullptr || m_pieces.back().offset + m_pieces.back().length != end)
    m_pieces.push_back(Piece{nullptr, end, 0});
  return m_own.data() + end;
}

void CFrameAssembly::Take(CRTPPacket& packet) {
  // Room first: once the exchange is made the storage must not be lost.
  if (m_taken.size() == m_taken.capacity()) m_taken.reserve(std::max<size_t>(16, 2 * m_taken.capacity()));
  Storage storage;
  if (!m_spare.empty()) {
    storage = std::move(m_spare.back());
    m_spare.pop_back();
    m_spareBytes -= storage.capacity;
  }
  packet.ExchangePayloadStorage(&storage.bytes, &storage.capacity);
  m_takenBytes += storage.capacity;
  m_taken.push_back(std::move(storage));
  m_referred = false;
}

void CFrameAssembly::clear() {
  const size_t ownUsed = m_own.size();
  m_pieces.clear();
  m_own.clear();
  m_size = 0;
  m_referred = false;
  // Taken storage becomes spare as far as the recent frames need it; the
  // rest is freed with the list.
  const size_t kept = CountFrame(m_taken.size());
  try {
    for (Storage& storage : m_taken) {
      if (m_spare.size() >= kept || m_spareBytes + storage.capacity > kMaxSpareBytes) break;
      m_spare.push_back(std::move(storage));
      m_spareBytes += m_spare.back().capacity;
    }
  } catch (...) {
    // Out of memory for the list: the storage is freed instead.
  }
  m_taken.clear();
  m_takenBytes = 0;
  while (m_spare.size() > kept) {
    m_spareBytes -= m_spare.back().capacity;
    m_spare.pop_back();
  }
  if (m_own.capacity() > kKeptBytes && ownUsed < m_own.capacity() / 4) m_own.Release();
  if (m_front.capacity() > kKeptBytes) m_front.Release();
}

size_t CFrameAssembly::CountFrame(size_t storages) {
  m_windowPeak = std::max(m_windowPeak, storages);
  if (++m_windowFrames == kSpareWindow) {
    m_lastWindowPeak = m_windowPeak;
    m_windowPeak = 0;
    m_windowFrames = 0;
  }
  return std::min(kMaxSpares, std::max(m_windowPeak, m_lastWindowPeak));
}

const uint8_t* CFrameAssembly::Front(size_t length) {
  length = std::min(length, m_size);
  if (m_pieces.empty()) return m_own.data();
  if (m_pieces.front().length >= length) return Data(m_pieces.front());
  m_front.clear();
  m_front.reserve(length);
  for (const Piece& piece : m_pieces) {
    const size_t n = std::min(piece.length, length - m_front.size());
    m_front.Put(Data(piece), n);
    if (m_front.size() == length) break;
  }
  return m_front.data();
}

void CFrameAssembly::ReplaceFront(size_t consumed, const uint8_t* bytes, size_t length) {
  consumed = std::min(consumed, m_size);
  m_size -= consumed;
  size_t whole = 0;
  while (consumed != 0 && whole < m_pieces.size()) {
    Piece& piece = m_pieces[whole];
    const size_t n = std::min(consumed, piece.length);
    if (piece.data != nullptr)
      piece.data += n;
    else
      piece.offset += n;
    piece.length -= n;
    consumed -= n;
    if (piece.length == 0) ++whole;
  }
  m_pieces.erase(m_pieces.begin(), m_pieces.begin() + static_cast<std::ptrdiff_t>(whole));
  if (length == 0) return;
  const size_t offset = m_own.size();
  m_own.Put(bytes, length);
  m_pieces.insert(m_pieces.begin(), Piece{nullptr, offset, length});
  m_size += length;
}

uint8_t CFrameAssembly::ByteAt(size_t index) const {
  for (const Piece& piece : m_pieces) {
    if (index < piece.length) return Data(piece)[index];
    index -= piece.length;
  }
  return 0;
}

size_t CFrameAssembly::FindLast(uint8_t value) const {
  size_t end = m_size;
  for (size_t p = m_pieces.size(); p-- > 0;) {
    const Piece& piece = m_pieces[p];
    const uint8_t* data = Data(piece);
    end -= piece.length;
    for (size_t i = piece.length; i-- > 0;) {
      if (data[i] == value) return end + i;
    }
  }
  return m_size;
}

void CFrameAssembly::CopyTo(uint8_t* out) const {
  for (const Piece& piece : m_pieces) {
    std::memcpy(out, Data(piece), piece.length);
    out += piece.length;
  }
}

}  // namespace telvora
