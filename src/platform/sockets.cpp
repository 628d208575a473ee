// The socket helpers that read the same on every platform.
#include "platform/sockets.h"

#include <cstring>

namespace telvora {
namespace platform {

bool ResolveIPv4(const std::string& host, uint32_t* addressNetworkOrder) {
  if (host.empty() || addressNetworkOrder == nullptr) return false;
  in_addr parsed;
  if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
    *addressNetworkOrder = parsed.s_addr;
    return true;
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return false;
  bool found = false;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr && entry->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in address;
      std::memcpy(&address, entry->ai_addr, sizeof(address));
      *addressNetworkOrder = address.sin_addr.s_addr;
      found = true;
      break;
    }
  }
  freeaddrinfo(list);
  return found;
}

std::string FormatIPv4(uint32_t addressNetworkOrder) {
  in_addr address;
  address.s_addr = addressNetworkOrder;
  char text[INET_ADDRSTRLEN] = {0};
  if (inet_ntop(AF_INET, &address, text, sizeof(text)) == nullptr) return std::string();
  return std::string(text);
}

}  // namespace platform
}  // namespace telvora
