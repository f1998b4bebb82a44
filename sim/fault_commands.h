// Card faults as one-line text commands, the same for the simulator
// program's command socket and options and for tests. Any thread.
//
//   fin | rst                      end the control connection (orderly, or reset)
//   silent on|off                  no control traffic at all, or again
//   restart [off-ms]               power loss, then the announcement after off-ms
//   announce                       the announcement only
//   line <trunk> up|down           line status; no D-channel frames while down
//   dchannel-drop <trunk> <ms>     D-channel frames dropped both ways for ms
//   restart-channel <trunk> <ch>   RESTART for one B-channel
//   restart-interface <trunk>      RESTART for the whole interface
//   audio-drop <n> | audio-dup <n> | audio-reorder | audio-stall <ms> | audio-lost <k>
//   hdlc-error <trunk> <code>
//   raw <hex bytes>                e.g. "raw FF 10 01 2C 01"
//   garbage <bytes> [seed]         random bytes between messages, none 0xFF
//   card-info [serial=S] [trunks=N] [flags=F] [version=V]   unasked card information
#pragma once
#include <string>

#include "sim/sim.h"

namespace sim {

// Runs one command on the card; false, with the reason in *error when
// given, for an unknown or malformed command or one the card refused.
bool RunCommand(SimCard& card, const std::string& line, std::string* error);

}  // namespace sim
