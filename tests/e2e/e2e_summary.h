// Reading the capture host's summary.json in tests: the numbers of a field
// in document order, which is all the checks need.
#pragma once

#include <string>
#include <vector>

namespace e2e {

// Every value of "key": <number> in the text, in order (null reads as -1).
std::vector<double> JsonNumbers(const std::string& json, const std::string& key);
// The first one, or -2 when the key is missing.
double JsonNumber(const std::string& json, const std::string& key);

// A free UDP port p with p + 1 free too (for RTP and RTCP), p even.
int FreeUdpPortPair();
// A free TCP port on loopback.
int FreeTcpPort();

}  // namespace e2e
