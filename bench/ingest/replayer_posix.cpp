#include "replayer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <queue>
#include <random>

#include "frame_tag.h"

namespace ingest {

namespace {

struct Due {
  int64_t ns;
  size_t stream;
  bool operator>(const Due& other) const { return ns > other.ns; }
};

struct StreamState {
  uint64_t frame = 0;  // frames started
  size_t packet = 0;   // next packet of the current frame
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  int64_t frameStartNs = 0;
  std::vector<uint8_t> scratch;
};

void SleepUntil(int64_t ns) {
  timespec when;
  when.tv_sec = static_cast<time_t>(ns / 1000000000);
  when.tv_nsec = static_cast<long>(ns % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) != 0) {
  }
}

}  // namespace

int64_t MonotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

Replayer::Replayer(std::vector<StreamPlan> plan, double spread) : m_plan(std::move(plan)), m_spread(spread) {
  if (m_spread < 0) m_spread = 0;
  if (m_spread > 1) m_spread = 1;
}

bool Replayer::Run(double seconds, const std::atomic<bool>& stop, ReplayResult* result) {
  const int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s < 0) return false;
  int size = 4 << 20;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  // Wake-ups within a few microseconds of the schedule, not the default 50.
  prctl(PR_SET_TIMERSLACK, 5000UL, 0, 0, 0);

  const size_t n = m_plan.size();
  result->streams.assign(n, SentStream());
  std::vector<StreamState> state(n);
  std::vector<sockaddr_in> to(n);
  std::mt19937 random(12345);
  const int64_t start = MonotonicNs() + 20 * 1000 * 1000;
  const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> queue;
  for (size_t i = 0; i < n; ++i) {
    std::memset(&to[i], 0, sizeof(to[i]));
    to[i].sin_family = AF_INET;
    to[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to[i].sin_port = htons(m_plan[i].port);
    state[i].sequence = static_cast<uint16_t>(random());
    state[i].timestamp = static_cast<uint32_t>(random());
    const int64_t interval = 1000000000LL / m_plan[i].clip->frameRate;
    state[i].frameStartNs = start + interval * static_cast<int64_t>(i) / static_cast<int64_t>(n);
    const size_t frames = static_cast<size_t>(seconds * m_plan[i].clip->frameRate) + 2;
    result->streams[i].lastPacketNs.reserve(frames);
    result->streams[i].key.reserve(frames);
    queue.push(Due{state[i].frameStartNs, i});
  }

  int64_t lastSent = start;
  while (!queue.empty() && !stop.load(std::memory_order_relaxed)) {
    const Due due = queue.top();
    queue.pop();
    StreamState& st = state[due.stream];
    const Clip& clip = *m_plan[due.stream].clip;
    const ClipFrame& frame = clip.frames[st.frame % clip.frames.size()];
    if (st.packet == 0 && due.ns >= end) continue;  // this stream is done

    int64_t now = MonotonicNs();
    // Packets due within 100 us go out now, so that a burst costs one wake-up.
    if (due.ns > now + 100000) {
      SleepUntil(due.ns);
      now = MonotonicNs();
    }
    if (now - due.ns > 0 && double(now - due.ns) / 1e6 > result->maxLateMs)
      result->maxLateMs = double(now - due.ns) / 1e6;

    const std::vector<uint8_t>& templ = frame.packets[st.packet];
    st.scratch.assign(templ.begin(), templ.end());
    uint8_t* p = st.scratch.data();
    p[2] = static_cast<uint8_t>(st.sequence >> 8);
    p[3] = static_cast<uint8_t>(st.sequence);
    p[4] = static_cast<uint8_t>(st.timestamp >> 24);
    p[5] = static_cast<uint8_t>(st.timestamp >> 16);
    p[6] = static_cast<uint8_t>(st.timestamp >> 8);
    p[7] = static_cast<uint8_t>(st.timestamp);
    const uint32_t ssrc = m_plan[due.stream].ssrc;
    p[8] = static_cast<uint8_t>(ssrc >> 24);
    p[9] = static_cast<uint8_t>(ssrc >> 16);
    p[10] = static_cast<uint8_t>(ssrc >> 8);
    p[11] = static_cast<uint8_t>(ssrc);
    if (st.packet == frame.tagPacket) WriteFrameTag(p + frame.tagOffset, static_cast<uint32_t>(st.frame));
    // Taken before the call: on loopback the receiver may be handed the
    // frame before sendto returns.
    const int64_t sendNs = MonotonicNs();
    if (m_output != nullptr) {
      if (!m_output->Send(due.stream, p, st.scratch.size())) ++result->sendErrors;
    } else if (sendto(s, p, st.scratch.size(), 0, reinterpret_cast<const sockaddr*>(&to[due.stream]),
                      sizeof(sockaddr_in)) < 0) {
      ++result->sendErrors;
    }
    ++result->packets;
    ++st.sequence;
    lastSent = MonotonicNs();

    const int64_t interval = 1000000000LL / clip.frameRate;
    if (++st.packet == frame.packets.size()) {
      result->streams[due.stream].lastPacketNs.push_back(sendNs);
      result->streams[due.stream].key.push_back(frame.key);
      st.packet = 0;
      ++st.frame;
      st.timestamp += 90000 / clip.frameRate;
      st.frameStartNs += interval;
      queue.push(Due{st.frameStartNs, due.stream});
    } else {
      const int64_t step =
          static_cast<int64_t>(m_spread * double(interval) / double(frame.packets.size()));
      queue.push(Due{st.frameStartNs + step * static_cast<int64_t>(st.packet), due.stream});
    }
  }
  close(s);
  result->seconds = double(lastSent - start) / 1e9;
  return true;
}

}  // namespace ingest
