// What the receivers leave behind, read back after a run.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace ingest {

// "key value" lines; the first line of a key wins. Lines without a blank
// are skipped.
std::map<std::string, std::string> ParseKeyValues(const std::string& text);

// The frame count of the last block of an FFmpeg -progress file (it appends
// a block every half second); 0 when there is none.
uint64_t LastProgressFrames(const std::string& text);

}  // namespace ingest
