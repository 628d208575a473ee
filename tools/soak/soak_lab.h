// The soak's laboratory: the test cameras, one fault proxy per channel
// (behind a movable door where the channel has an address of its own), one
// lossy relay per UDP channel, and a sender and relay per multicast
// channel, in a child process of their own. The host talks to it over two
// pipes, one text line per command; every command is answered with one line
// once it has been carried out.
//
//   restart CAM DOWN_MS  stop the camera, keep it down, start it again
//   reset CH             reset the channel's RTSP connection
//   stall CH MS          pass no byte on the channel's connection for MS
//   loss CH RATE         drop that share of the channel's RTP datagrams
//   rotate CAM           make every Digest nonce the camera handed out stale
//   move CH ADDRESS      serve the channel from another loopback address,
//                        same port; the old one refuses, its connections reset
//   sender CH DOWN_MS    stop a multicast channel's sender, start it again
//   exits                "ok N": cameras and senders that ended unasked
//   quit
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace soak {

struct LabCamera {
  std::string codec;  // h264, jpeg, mpeg4
  std::string auth;   // none, basic, digest
};

struct LabChannel {
  int camera = 0;
  bool udp = false;  // through a relay; else interleaved
  // Nonzero (host order): served on this loopback address through a door
  // that the move command carries to another one.
  uint32_t address = 0;
  // Nonzero: no camera, but bare RTP from a sender of this codec through a
  // lossy relay to the multicast group:groupPort.
  uint32_t group = 0;
  uint16_t groupPort = 0;
  std::string codec;
};

struct LabPlan {
  std::vector<LabCamera> cameras;
  std::vector<LabChannel> channels;
  std::string testcam;  // program path
  std::string workDir;  // camera logs go here
  std::string size = "160x120";
  int fps = 10;
  unsigned seed = 1;
};

class Lab {
 public:
  // Forks the lab. Call before any thread of this process exists.
  bool Start(const LabPlan& plan, std::string* error);
  // The port of each channel's proxy (or door), as the lab reported it.
  const std::vector<uint16_t>& Ports() const { return ports_; }
  // Sends one command and waits for its answer; "" when the lab is gone.
  std::string Command(const std::string& line);
  // Ends the lab: proxies, relays and cameras.
  void Stop();

 private:
  int toLab_ = -1;
  int fromLab_ = -1;
  int pid_ = -1;
  std::vector<uint16_t> ports_;
  std::string pending_;
  std::string ReadLine();
};

extern const char* const kUser;
extern const char* const kPassword;

}  // namespace soak
