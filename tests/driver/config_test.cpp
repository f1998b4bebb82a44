// The INI reader, every configuration key with its default and override,
// and the paths derived from the module's file name.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>

#include "common/wait.h"
#include "driver/config.h"
#include "driver/paths.h"
#include "driver/trace.h"
#include "platform/ini.h"

using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Each test gets its own INI file as the module's INI path.
class IniFile : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.File("vaxo-dt-qpl.ini");
        saved_ = driver::g_paths;
        snprintf(driver::g_paths.ini, sizeof driver::g_paths.ini, "%s", path_.c_str());
        driver::ResetConfiguration();
    }
    void TearDown() override {
        driver::g_paths = saved_;
        driver::ResetConfiguration();
    }
    void Write(const std::string& text) { WriteFile(path_, text); }
    int Int(const char* section, const char* key, int def = -77) {
        return plat::IniReadInt(section, key, def, path_.c_str());
    }
    std::string Str(const char* section, const char* key, const char* def = "dflt", size_t size = 100) {
        std::string buf(size, '\x7f');
        plat::IniReadString(section, key, def, &buf[0], size, path_.c_str());
        return std::string(buf.c_str());
    }

    TempDir dir_;
    std::string path_;
    driver::ModulePaths saved_;
};

using IniReader = IniFile;
using Configuration = IniFile;

TEST_F(IniReader, SectionsKeysCaseBlanksAndComments) {
    Write("; leading comment\r\n"
          "orphan=1\r\n"
          "[General]\r\n"
          "  AudioBuffers  =  24  \r\n"
          "swItchtype=10\r\n"
          ";Crc4=1\r\n"
          "this line is garbage\r\n"
          "=5\r\n"
          "\r\n"
          "[ Debug ]\n"
          "Level=-3\n"
          "Name = \"quoted text\" \n"
          "Level=9\n"
          "[Broken\n"
          "Crc4=7\n"
          "[general]\n"
          "Crc4=3\n");
    EXPECT_EQ(Int("GENERAL", "audiobuffers"), 24);
    EXPECT_EQ(Int("General", "SwitchType"), 10);
    EXPECT_EQ(Int("General", "Crc4"), 3);  // the later [general] block, not the broken header
    EXPECT_EQ(Int("Debug", "Level"), -3);  // the first of two
    EXPECT_EQ(Str("debug", "name"), "quoted text");
    EXPECT_EQ(Int("General", "orphan"), -77);
    EXPECT_EQ(Int("Broken", "Crc4"), -77);
    EXPECT_EQ(Int("Missing", "Level"), -77);
    EXPECT_EQ(Str("Missing", "Name"), "dflt");
    EXPECT_EQ(Str("Missing", "Name", nullptr), "");
}

TEST_F(IniReader, ValuesThatAreNotPlainNumbers) {
    Write("\xEF\xBB\xBF[N]\n"
          "big=99999999999999999999\n"
          "small=-99999999999999999999\n"
          "max=2147483647\n"
          "min=-2147483648\n"
          "tail=12abc\n"
          "word=abc\n"
          "empty=\n"
          "plus=+8\n"
          "text=" + std::string(300, 'v') + "\n");
    EXPECT_EQ(Int("N", "big"), INT_MAX);
    EXPECT_EQ(Int("N", "small"), INT_MIN);
    EXPECT_EQ(Int("N", "max"), INT_MAX);
    EXPECT_EQ(Int("N", "min"), INT_MIN);
    EXPECT_EQ(Int("N", "tail"), 12);
    EXPECT_EQ(Int("N", "word"), -77);
    EXPECT_EQ(Int("N", "empty"), -77);
    EXPECT_EQ(Int("N", "plus"), 8);
    EXPECT_EQ(Str("N", "text"), std::string(99, 'v'));  // cut to the buffer, terminated
    EXPECT_EQ(Str("N", "text", "d", 1), "");
    EXPECT_EQ(Str("N", "empty"), "");
}

TEST_F(IniReader, MissingOrBinaryFilesGiveDefaultsWithoutHarm) {
    EXPECT_EQ(plat::IniReadInt("Debug", "Level", 5, (path_ + ".none").c_str()), 5);
    EXPECT_EQ(plat::IniReadInt("Debug", "Level", 5, dir_.path().c_str()), 5);  // a folder
    EXPECT_EQ(plat::IniReadInt("Debug", "Level", 5, nullptr), 5);
    EXPECT_EQ(plat::IniReadInt(nullptr, nullptr, 5, path_.c_str()), 5);
    EXPECT_EQ(plat::IniReadString("a", "b", "c", nullptr, 10, path_.c_str()), 0u);

    std::mt19937 rng(1234);
    std::string noise;
    for (int i = 0; i < 200000; ++i) noise += static_cast<char>(rng() & 0xFF);
    static const char kNulNames[] = "\n[Debug]\nLevel\0=1\n[Deb\0ug]\nLevel=2\n";
    noise += std::string(kNulNames, sizeof kNulNames - 1);
    Write(noise);
    EXPECT_EQ(Int("Debug", "Level"), -77);
    EXPECT_EQ(Str("Debug", "Level"), "dflt");
}

TEST_F(Configuration, DefaultsWithoutAFile) {
    driver::ReadConfiguration();
    const driver::Config& c = driver::g_config;
    EXPECT_EQ(driver::g_traceLevel, 2);
    EXPECT_FALSE(c.flushImmediate);
    EXPECT_EQ(c.audioBuffers, 16);
    EXPECT_FALSE(c.hangupOnAlerting);
    EXPECT_EQ(c.numberType, 33);
    EXPECT_EQ(c.clientType, 2);
    EXPECT_EQ(c.switchType, 5);
    EXPECT_FALSE(c.echoCanceller);
    EXPECT_EQ(c.echoTailMs, 32);
    EXPECT_EQ(c.hdlcLog, 0);
    EXPECT_EQ(c.crc4, 0);
    EXPECT_EQ(c.primeEchoBuffers, 0);
    EXPECT_FLOAT_EQ(c.dtmf.normalTwist, 7.0f);
    EXPECT_FLOAT_EQ(c.dtmf.reverseTwist, 7.0f);
    EXPECT_FLOAT_EQ(c.dtmf.rowPeak, 6.3f);
    EXPECT_FLOAT_EQ(c.dtmf.colPeak, 6.3f);
    EXPECT_FLOAT_EQ(c.dtmf.totalEnergy, 40.0f);

    driver::TrunkConfig t = driver::ReadTrunkConfig(123456, 1);
    EXPECT_EQ(t.crc4, 0);
    EXPECT_FALSE(t.hdlcLog);
    EXPECT_FALSE(t.hangupOnAlerting);
    EXPECT_EQ(t.numberType, 33);
    EXPECT_EQ(t.clientType, 2);
    EXPECT_EQ(t.switchType, 5);
    EXPECT_EQ(t.echoTailMs, 32);
    EXPECT_FALSE(t.echoCanceller);
    EXPECT_EQ(driver::ReadTrunkCrc4(123456, 1), 0);
    EXPECT_EQ(driver::ReadCardPrimeEchoBuffers(123456), 0);
}

TEST_F(Configuration, GeneralValuesAndTheirTrunkAndCardOverrides) {
    Write("[Debug]\nLevel=0\nFlushImmediate=3\n"
          "[General]\nAudioBuffers=40\nHangupOnAlerting=1\nNumberType=0\nClientType=1\n"
          "SwitchType=1000\nEchoCanceller=1\nEchoTail=64\nHdlcLog=5\nCrc4=1\nPrimeECBuffers=3\n"
          "[Dtmf]\nNormalTwist=8.5\nReverseTwist=4\nRowPeak=5.5\nColPeak=7.25\nTotalEnergy=30\n"
          "[123456-2]\nSwitchType=1001\nCrc4=0\nHdlcLog=0\nHangupOnAlerting=0\nNumberType=17\n"
          "ClientType=2\nEchoTail=128\n"
          "[123456-3]\nEchoCanceller=0\nSwitchType=10\n"
          "[123456-4]\nSwitchType=7\n"
          "[123456]\nPrimeECBuffers=9\n");
    driver::ReadConfiguration();
    const driver::Config& c = driver::g_config;
    EXPECT_EQ(driver::g_traceLevel, 0);
    EXPECT_TRUE(c.flushImmediate);
    EXPECT_EQ(c.audioBuffers, 40);
    EXPECT_TRUE(c.hangupOnAlerting);
    EXPECT_EQ(c.numberType, 0);
    EXPECT_EQ(c.clientType, 1);
    EXPECT_TRUE(c.echoCanceller);
    EXPECT_EQ(c.echoTailMs, 64);
    EXPECT_EQ(c.hdlcLog, 1);  // 5 counts as on
    EXPECT_EQ(c.crc4, 1);
    EXPECT_EQ(c.primeEchoBuffers, 3);
    EXPECT_FLOAT_EQ(c.dtmf.normalTwist, 8.5f);
    EXPECT_FLOAT_EQ(c.dtmf.reverseTwist, 4.0f);
    EXPECT_FLOAT_EQ(c.dtmf.rowPeak, 5.5f);
    EXPECT_FLOAT_EQ(c.dtmf.colPeak, 7.25f);
    EXPECT_FLOAT_EQ(c.dtmf.totalEnergy, 30.0f);

    driver::TrunkConfig t1 = driver::ReadTrunkConfig(123456, 1);  // General values only
    EXPECT_EQ(t1.switchType, 5);  // 1000 from [General] maps too
    EXPECT_EQ(t1.crc4, 1);
    EXPECT_TRUE(t1.hdlcLog);
    EXPECT_TRUE(t1.hangupOnAlerting);
    EXPECT_EQ(t1.numberType, 0);
    EXPECT_EQ(t1.clientType, 1);
    EXPECT_EQ(t1.echoTailMs, 64);
    EXPECT_TRUE(t1.echoCanceller);

    driver::TrunkConfig t2 = driver::ReadTrunkConfig(123456, 2);
    EXPECT_EQ(t2.switchType, 10);
    EXPECT_EQ(t2.crc4, 0);
    EXPECT_FALSE(t2.hdlcLog);
    EXPECT_FALSE(t2.hangupOnAlerting);
    EXPECT_EQ(t2.numberType, 17);
    EXPECT_EQ(t2.clientType, 2);
    EXPECT_EQ(t2.echoTailMs, 128);
    EXPECT_TRUE(t2.echoCanceller);
    EXPECT_EQ(driver::ReadTrunkCrc4(123456, 2), 0);
    EXPECT_EQ(driver::ReadTrunkCrc4(123456, 1), 1);

    driver::TrunkConfig t3 = driver::ReadTrunkConfig(123456, 3);
    EXPECT_FALSE(t3.echoCanceller);  // off for this trunk only
    EXPECT_EQ(t3.switchType, 10);
    EXPECT_EQ(driver::ReadTrunkConfig(123456, 4).switchType, 7);
    EXPECT_TRUE(driver::ReadTrunkConfig(654321, 3).echoCanceller);  // another card's trunk

    EXPECT_EQ(driver::ReadCardPrimeEchoBuffers(123456), 9);
    EXPECT_EQ(driver::ReadCardPrimeEchoBuffers(654321), 3);
    EXPECT_EQ(driver::ReadTrunkConfig(4294967295u, 8).switchType, 5);  // widest section name
}

TEST_F(Configuration, DtmfTextsThatAreNotNumbers) {
    driver::g_config.dtmf = {9.0f, 9.5f, 9.25f, 8.75f, 50.0f};  // values of an earlier read
    Write("[Dtmf]\nNormalTwist=abc\nReverseTwist=x1\nRowPeak=none\nColPeak=nan\nTotalEnergy=inf\n");
    driver::ReadConfiguration();
    const driver::DtmfThresholds& d = driver::g_config.dtmf;
    EXPECT_FLOAT_EQ(d.normalTwist, 7.0f);  // the one that falls back
    EXPECT_FLOAT_EQ(d.reverseTwist, 9.5f);
    EXPECT_FLOAT_EQ(d.rowPeak, 9.25f);
    EXPECT_FLOAT_EQ(d.colPeak, 8.75f);
    EXPECT_FLOAT_EQ(d.totalEnergy, 50.0f);

    Write("[Dtmf]\nRowPeak= 4.5dB\n");
    driver::ReadConfiguration();
    EXPECT_FLOAT_EQ(driver::g_config.dtmf.rowPeak, 4.5f);
}

TEST(Paths, LastFourCharactersGiveWayToTheExtension) {
    driver::ModulePaths p;
    driver::DerivePaths("/opt/ivr/vaxo-dt-qpl.dev", &p);
    EXPECT_STREQ(p.module, "/opt/ivr/vaxo-dt-qpl.dev");
    EXPECT_STREQ(p.directory, "/opt/ivr/");
    EXPECT_STREQ(p.log, "/opt/ivr/vaxo-dt-qpl.log");
    EXPECT_STREQ(p.ini, "/opt/ivr/vaxo-dt-qpl.ini");

    driver::DerivePaths("/opt/ivr/drv", &p);  // no extension: cut all the same
    EXPECT_STREQ(p.log, "/opt/ivr.log");
    driver::DerivePaths("abcd", &p);
    EXPECT_STREQ(p.directory, "abcd");
    EXPECT_STREQ(p.log, "abcd.log");
    driver::DerivePaths("abc", &p);
    EXPECT_STREQ(p.ini, "abc.ini");
    driver::DerivePaths("abcde", &p);
    EXPECT_STREQ(p.log, "a.log");
    driver::DerivePaths(nullptr, &p);
    EXPECT_STREQ(p.log, ".log");

    std::string huge = "/" + std::string(3 * driver::kMaxPathChars, 'p') + ".dev";
    driver::DerivePaths(huge.c_str(), &p);
    EXPECT_EQ(strlen(p.module), driver::kMaxPathChars - 1);
    EXPECT_EQ(strlen(p.log), driver::kMaxPathChars - 1);
    EXPECT_STREQ(p.log + strlen(p.log) - 4, ".log");
    EXPECT_STREQ(p.directory, "/");
}

}  // namespace
