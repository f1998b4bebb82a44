#include "media/g711.h"

namespace media {

// ITU-T G.711 A-law expansion: the 13-bit magnitude times 8.
const int16_t kAlawToLinear[256] = {
     -5504,  -5248,  -6016,  -5760,  -4480,  -4224,  -4992,  -4736,
     -7552,  -7296,  -8064,  -7808,  -6528,  -6272,  -7040,  -6784,
     -2752,  -2624,  -3008,  -2880,  -2240,  -2112,  -2496,  -2368,
     -3776,  -3648,  -4032,  -3904,  -3264,  -3136,  -3520,  -3392,
    -22016, -20992, -24064, -23040, -17920, -16896, -19968, -18944,
    -30208, -29184, -32256, -31232, -26112, -25088, -28160, -27136,
    -11008, -10496, -12032, -11520,  -8960,  -8448,  -9984,  -9472,
    -15104, -14592, -16128, -15616, -13056, -12544, -14080, -13568,
      -344,   -328,   -376,   -360,   -280,   -264,   -312,   -296,
      -472,   -456,   -504,   -488,   -408,   -392,   -440,   -424,
       -88,    -72,   -120,   -104,    -24,     -8,    -56,    -40,
      -216,   -200,   -248,   -232,   -152,   -136,   -184,   -168,
     -1376,  -1312,  -1504,  -1440,  -1120,  -1056,  -1248,  -1184,
     -1888,  -1824,  -2016,  -1952,  -1632,  -1568,  -1760,  -1696,
      -688,   -656,   -752,   -720,   -560,   -528,   -624,   -592,
      -944,   -912,  -1008,   -976,   -816,   -784,   -880,   -848,
      5504,   5248,   6016,   5760,   4480,   4224,   4992,   4736,
      7552,   7296,   8064,   7808,   6528,   6272,   7040,   6784,
      2752,   2624,   3008,   2880,   2240,   2112,   2496,   2368,
      3776,   3648,   4032,   3904,   3264,   3136,   3520,   3392,
     22016,  20992,  24064,  23040,  17920,  16896,  19968,  18944,
     30208,  29184,  32256,  31232,  26112,  25088,  28160,  27136,
     11008,  10496,  12032,  11520,   8960,   8448,   9984,   9472,
     15104,  14592,  16128,  15616,  13056,  12544,  14080,  13568,
       344,    328,    376,    360,    280,    264,    312,    296,
       472,    456,    504,    488,    408,    392,    440,    424,
        88,     72,    120,    104,     24,      8,     56,     40,
       216,    200,    248,    232,    152,    136,    184,    168,
      1376,   1312,   1504,   1440,   1120,   1056,   1248,   1184,
      1888,   1824,   2016,   1952,   1632,   1568,   1760,   1696,
       688,    656,    752,    720,    560,    528,    624,    592,
       944,    912,   1008,    976,    816,    784,    880,    848,
};

uint8_t LinearToAlaw(int16_t sample) {
    int x = sample;
    int sign = 0x80;
    if (x < 0) {
        sign = 0;
        x = -x;  // negation, not complement: boundary values code one step lower
    }
    if (x > 32635) x = 32635;
    int code;
    if (x >= 256) {
        int e = 1;
        for (int v = x >> 8; v > 1; v >>= 1) ++e;
        code = (e << 4) | ((x >> (e + 3)) & 0x0F);
    } else {
        code = x >> 4;
    }
    return static_cast<uint8_t>(code ^ sign ^ 0x55);
}

WaveFormat AlawFormat() {
    WaveFormat f;
    f.formatTag = kFormatAlaw;
    f.channels = 1;
    f.samplesPerSecond = 8000;
    f.bitsPerSample = 8;
    f.blockAlign = static_cast<uint16_t>(f.channels * f.bitsPerSample / 8);
    f.averageBytesPerSecond = f.samplesPerSecond * f.blockAlign;
    f.extraSize = 0;
    return f;
}

const char* FormatName(const WaveFormat& format) {
    switch (format.formatTag) {
    case kFormatPcm:
        if (format.bitsPerSample == 8) return "PCM8";
        if (format.bitsPerSample == 16) return "PCM16";
        return "";
    case kFormatMulaw:
        return "MULAW";
    case kFormatAlaw:
        return "ALAW";
    default:
        return "";
    }
}

}  // namespace media
