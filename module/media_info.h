// Media statistics as GetInfo replies: per card (any port of the card
// answers for its card) and per port. Host threads; the counters are
// relaxed atomics the media threads keep, so a reply is a snapshot.
#pragma once
#include <string>

namespace driver {

class CDevice;

// True when key names a media statistic; *reply then holds its text.
bool MediaInfoReply(const CDevice& port, const char* key, std::string* reply);

}  // namespace driver
