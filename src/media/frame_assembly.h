// The frame a depacketizer is building, as a list of pieces: bytes it
// writes itself (start codes, headers, parameter sets) in a buffer of its
// own, and payload bytes left where the packet that brought them holds
// them. The storage of such a packet is taken over until the frame is done,
// so each payload byte is copied once, when the finished frame is gathered
// into the host's buffer. Taken storage is given back to later packets in
// exchange for theirs, so a steady stream allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "media/frame_buffer.h"
#include "rtp/rtp_packet.h"

namespace telvora {

class CFrameAssembly {
 public:
  // Referred pieces shorter than this are copied: a piece of its own costs
  // more than copying a few hundred bytes twice does.
  static constexpr size_t kMinReferred = 512;
  // Own bytes above this are given back once a frame uses less than a
  // quarter of them, so one outsized frame does not pin its memory.
  static constexpr size_t kKeptBytes = 4 * 1024 * 1024;
  // Spare storages are kept for as many packets as the largest of the last
  // frames took, counted over two windows of this many frames, and at most
  // kMaxSpares: the frames between key frames allocate nothing, while a key
  // frame's storage beyond that goes back to the heap, where other channels
  // can use it.
  static constexpr unsigned kSpareWindow = 4;
  static constexpr size_t kMaxSpares = 32;
  // Nor more bytes than this, whatever the packets' size.
  static constexpr size_t kMaxSpareBytes = 256 * 1024;

  // Own bytes never grow past ownCeiling by doubling, only as far as needed.
  explicit CFrameAssembly(size_t ownCeiling) : m_ownCeiling(ownCeiling) {}
  CFrameAssembly(const CFrameAssembly&) = delete;
  CFrameAssembly& operator=(const CFrameAssembly&) = delete;

  size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  // Bytes of memory held: own bytes, taken and spare packet storage.
  size_t HeldBytes() const;

  // Copies the bytes. Throws std::bad_alloc.
  void Append(const uint8_t* data, size_t length) {
    uint8_t* out = OwnRoom(length);
    if (out == nullptr) return AppendNewPiece(data, length);
    std::memcpy(out, data, length);
    Grew(length);
  }
  void AppendStartCode() {
    uint8_t* out = OwnRoom(3);
    if (out == nullptr) {
      static const uint8_t kCode[3] = {0, 0, 1};
      return AppendNewPiece(kCode, 3);
    }
    out[0] = 0;
    out[1] = 0;
    out[2] = 1;
    Grew(3);
  }
  // The storage capacity of the packet about to be processed.
  void SetPacketStorage(uint32_t capacity) { m_packetCapacity = capacity; }
  // Bytes inside the payload of the packet being processed, kept where they
  // are; Keep must then be called with that packet before it is reused. A
  // piece that fills less than half of the storage is copied, so what is
  // held stays within twice the frame.
  void Refer(const uint8_t* data, size_t length) {
    if (length < kMinReferred || 2 * length < m_packetCapacity) {
      Append(data, length);
      return;
    }
    if (m_pieces.empty() || m_pieces.back().data == nullptr || m_pieces.back().data + m_pieces.back().length != data)
      m_pieces.push_back(Piece{data, 0, 0});
    m_pieces.back().length += length;
    m_size += length;
    m_referred = true;
  }
  // Takes the packet's storage if a piece refers to it, leaving the packet
  // with a spare storage and an empty payload; its header fields stay.
  void Keep(CRTPPacket& packet) {
    if (m_referred) Take(packet);
  }

  // Drops every piece; taken storage becomes spare.
  void clear();
  // Room for length more own bytes, written at the pointer returned and
  // kept with CommitOwn; nothing else may be added in between. Throws
  // std::bad_alloc.
  uint8_t* ReserveOwn(size_t length);
  void CommitOwn(const uint8_t* end) { Grew(static_cast<size_t>(end - (m_own.data() + m_own.size()))); }

  // The first length bytes (at most size()) in one piece; valid until the
  // assembly next changes.
  const uint8_t* Front(size_t length);
  // Replaces the first consumed bytes (at most size()) by the given ones.
  void ReplaceFront(size_t consumed, const uint8_t* bytes, size_t length);
  uint8_t ByteAt(size_t index) const;
  // Index of the last byte equal to value; size() when there is none.
  size_t FindLast(uint8_t value) const;
  // Writes all size() bytes to out.
  void CopyTo(uint8_t* out) const;

 private:
  struct Piece {
    const uint8_t* data;  // null: own bytes at offset
    size_t offset;
    size_t length;
  };
  struct Storage {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t capacity = 0;
  };

  const uint8_t* Data(const Piece& piece) const {
    return piece.data != nullptr ? piece.data : m_own.data() + piece.offset;
  }
  // Where length more own bytes go on the last piece without growing
  // anything; null when they cannot.
  uint8_t* OwnRoom(size_t length) {
    const size_t end = m_own.size();
    if (length == 0 || length > m_own.capacity() - end || m_pieces.empty()) return nullptr;
    const Piece& last = m_pieces.back();
    return last.data == nullptr && last.offset + last.length == end ? m_own.data() + end : nullptr;
  }
  void Grew(size_t length) {
    m_own.SetSize(m_own.size() + length);
    m_pieces.back().length += length;
    m_size += length;
  }
  void AppendNewPiece(const uint8_t* data, size_t length);
  void Take(CRTPPacket& packet);
  // Counts a frame that took this many storages; the spares to keep.
  size_t CountFrame(size_t storages);

  const size_t m_ownCeiling;
  std::vector<Piece> m_pieces;
  CFrameBuffer m_own;
  std::vector<Storage> m_taken;
  std::vector<Storage> m_spare;
  size_t m_spareBytes = 0;
  size_t m_takenBytes = 0;
  size_t m_size = 0;
  // Storages taken by the largest frame of this window and the last one.
  size_t m_windowPeak = 0;
  size_t m_lastWindowPeak = 0;
  unsigned m_windowFrames = 0;
  bool m_referred = false;  // a piece points into the current packet
  size_t m_packetCapacity = 0;
  CFrameBuffer m_front;     // Front's copy when the first piece is short
};

}  // namespace telvora
