#include "e2e_summary.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace e2e {

std::vector<double> JsonNumbers(const std::string& json, const std::string& key) {
  std::vector<double> values;
  std::string quoted = "\"" + key + "\": ";
  for (size_t at = json.find(quoted); at != std::string::npos; at = json.find(quoted, at + 1)) {
    const char* start = json.c_str() + at + quoted.size();
    if (std::string(start, 4) == "null") {
      values.push_back(-1);
      continue;
    }
    char* end = nullptr;
    double value = std::strtod(start, &end);
    if (end != start) values.push_back(value);
  }
  return values;
}

double JsonNumber(const std::string& json, const std::string& key) {
  std::vector<double> values = JsonNumbers(json, key);
  return values.empty() ? -2 : values[0];
}

namespace {
int BoundPort(int type, int port) {
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  int result = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) result = ntohs(address.sin_port);
  }
  close(fd);
  return result;
}
}  // namespace

int FreeUdpPortPair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int port = BoundPort(SOCK_DGRAM, 0);
    if (port <= 0) continue;
    port &= ~1;
    if (port < 1024 || port > 65000) continue;
    if (BoundPort(SOCK_DGRAM, port) == port && BoundPort(SOCK_DGRAM, port + 1) == port + 1) return port;
  }
  return -1;
}

int FreeTcpPort() { return BoundPort(SOCK_STREAM, 0); }

}  // namespace e2e
