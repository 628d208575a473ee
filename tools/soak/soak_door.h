// A door in front of a TCP server, on a loopback address of its own, that
// can move to another loopback address with the same port. POSIX only.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "support/loopback_listener.h"

namespace soak {

// The door of a channel whose camera changes its address: it listens on a
// loopback address of its own and passes each connection on to the
// channel's fault proxy. Moving it listens on the new address with the same
// port, closes the old listener and resets what came through it, as a
// camera that went away from one address and came back at another.
class Doorway {
 public:
  Doorway(uint32_t address, uint16_t upstream) : upstream_(upstream) {
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) return;
    listener_ = telvora::test::ListenOn(address, 0, &port_);
    if (listener_ >= 0) thread_ = std::thread([this] { Run(); });
  }
  ~Doorway() {
    stop_ = true;
    Wake();
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    for (int fd : wake_)
      if (fd >= 0) close(fd);
  }
  // 0 when no listener could be opened; the same after every move.
  uint16_t Port() const { return port_; }

  bool Move(uint32_t address) {
    std::unique_lock<std::mutex> lock(mutex_);
    moveTo_ = address;
    answered_ = false;
    Wake();
    if (!answer_.wait_for(lock, std::chrono::seconds(10), [this] { return answered_; })) return false;
    return moved_;
  }

 private:
  void Wake() {
    const char byte = 1;
    if (wake_[1] >= 0 && write(wake_[1], &byte, 1) < 0) {
      // Full: the thread has a wake-up pending anyway.
    }
  }

  void Run() {
    std::vector<std::pair<int, int>> links;  // client, camera side
    std::vector<char> buffer(65536);
    while (!stop_) {
      std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
      for (auto& link : links) {
        fds.push_back({link.first, POLLIN, 0});
        fds.push_back({link.second, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 1000) <= 0) continue;
      if (fds[0].revents != 0) {
        char drain[64];
        while (read(wake_[0], drain, sizeof(drain)) > 0) {
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (moveTo_ != 0) {
          uint16_t port = 0;
          const int fresh = telvora::test::ListenOn(moveTo_, port_, &port);
          moved_ = fresh >= 0;
          if (moved_) {
            close(listener_);
            listener_ = fresh;
            for (auto& link : links) {
              telvora::test::CloseWithReset(link.first);
              telvora::test::CloseWithReset(link.second);
            }
            links.clear();
          }
          moveTo_ = 0;
          answered_ = true;
          answer_.notify_all();
        }
        continue;  // the descriptors polled may have changed
      }
      std::vector<size_t> dead;
      for (size_t i = 0; i < links.size(); ++i) {
        for (int side = 0; side < 2; ++side) {
          if (fds[2 + 2 * i + side].revents == 0) continue;
          const int from = side == 0 ? links[i].first : links[i].second;
          const int to = side == 0 ? links[i].second : links[i].first;
          const ssize_t n = recv(from, buffer.data(), buffer.size(), 0);
          if (n <= 0 || !SendAll(to, buffer.data(), static_cast<size_t>(n))) {
            dead.push_back(i);
            break;
          }
        }
      }
      for (auto it = dead.rbegin(); it != dead.rend(); ++it) {
        close(links[*it].first);
        close(links[*it].second);
        links.erase(links.begin() + static_cast<long>(*it));
      }
      if (fds[1].revents != 0) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        const int camera = telvora::test::ConnectToLoopback(upstream_);
        if (camera < 0) {
          telvora::test::CloseWithReset(client);
          continue;
        }
        links.push_back({client, camera});
      }
    }
    for (auto& link : links) {
      close(link.first);
      close(link.second);
    }
  }

  // Bounded, so that a peer that stopped reading cannot hold the door.
  static bool SendAll(int fd, const char* data, size_t length) {
    while (length > 0) {
      pollfd out = {fd, POLLOUT, 0};
      if (poll(&out, 1, 5000) <= 0) return false;
      const ssize_t n = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return false;
      data += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }

  uint16_t upstream_;
  uint16_t port_ = 0;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable answer_;
  uint32_t moveTo_ = 0;
  bool answered_ = false;
  bool moved_ = false;
  std::thread thread_;
};

}  // namespace soak
