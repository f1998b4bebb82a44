// Configuration read from the INI file next to the module. The fixed
// sections are read by Init on the host's thread before any card starts;
// afterwards the values are read-only for every thread.
#pragma once
#include <cstdint>

#include "core/card_selection.h"

namespace driver {

struct DtmfThresholds {
    float normalTwist = 7.0f;
    float reverseTwist = 7.0f;
    float rowPeak = 6.3f;
    float colPeak = 6.3f;
    float totalEnergy = 40.0f;
};

struct Config {
    bool flushImmediate = false;
    int32_t audioBuffers = 16;         // blocks of 160 bytes per receive pool
    bool hangupOnAlerting = false;
    int32_t numberType = 33;
    int32_t clientType = 2;            // 1 network side, 2 user side
    int32_t switchType = 5;
    bool echoCanceller = false;
    int32_t echoTailMs = 32;
    int32_t hdlcLog = 0;               // 0 or 1
    int32_t crc4 = 0;
    int32_t primeEchoBuffers = 0;
    DtmfThresholds dtmf;
    CardSelection selection;           // [General] Cards= and Adapters=
};

extern Config g_config;

// One trunk's section "<serial>-<trunk from 1>", defaults from [General].
struct TrunkConfig {
    int32_t crc4;
    bool hdlcLog;
    bool hangupOnAlerting;
    int32_t numberType;
    int32_t clientType;
    int32_t switchType;
    int32_t echoTailMs;
    bool echoCanceller;
};

// Reads [Debug], [General] and [Dtmf] from the INI path (sets g_traceLevel).
void ReadConfiguration();
// Restores the values in force before any file was read.
void ResetConfiguration();

int32_t ReadTrunkCrc4(uint32_t serial, uint32_t trunkNumber);
TrunkConfig ReadTrunkConfig(uint32_t serial, uint32_t trunkNumber);
int32_t ReadCardPrimeEchoBuffers(uint32_t serial);

// 1000 stands for 5 and 1001 for 10; anything else as read.
int32_t MapSwitchType(int32_t value);

}  // namespace driver
