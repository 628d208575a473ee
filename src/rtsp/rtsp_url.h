// Where the URLs a server sends lead: the control URL of a stream against
// the session's base, and the server and path of a redirect.
#pragma once

#include <cstdint>
#include <string>

namespace telvora {

// The URL to SETUP a stream whose description gives control, below base
// (the aggregate URL). An absolute control URL stands alone; "*" and ""
// mean base itself; "/path" replaces base's path; anything else goes below
// base, whether or not base ends in '/'.
std::string ResolveControlUrl(const std::string& base, const std::string& control);

// The server (*host, *port, 554 when none is named) and *path a Location
// sends the session to. A bare path stays on host:port; user info is
// dropped. False for a Location of another scheme or without a host.
bool ResolveRedirect(const std::string& location, const std::string& host, uint16_t port, std::string* newHost,
                     uint16_t* newPort, std::string* path);

}  // namespace telvora
