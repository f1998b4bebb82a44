// The INI reader, every configuration key with its default and override,
// and the paths derived from the module's file name.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <vector>
#include <random>
#include <string>

#include "common/wait.h"
#include "core/config.h"
#include "core/log_writer.h"
#include "core/paths.h"
#include "core/trace.h"
#include "platform/ini.h"

using testsupport::TempDir;

namespace {

struct IntCase {
    const char* section;
    const char* key;
    int expected;
};

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
    void Write(const std::string& text) { testsupport::WriteFile(path_, text); }
    int Int(const char* section, const char* key) { return plat::IniReadInt(section, key, -77, path_.c_str()); }
    void ExpectInts(std::initializer_list<IntCase> cases) {
        for (const IntCase& c : cases) EXPECT_EQ(Int(c.section, c.key), c.expected) << c.section << "/" << c.key;
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

// All values of the configuration read, as one text.
std::string Dump(const driver::Config& c) {
    char buf[256];
    const driver::DtmfThresholds& d = c.dtmf;
    snprintf(buf, sizeof buf,
             "level=%d flush=%d buffers=%d hangup=%d ntype=%d ctype=%d switch=%d ec=%d tail=%d hdlc=%d crc4=%d "
             "prime=%d dtmf=%g/%g/%g/%g/%g",
             driver::g_traceLevel, c.flushImmediate, c.audioBuffers, c.hangupOnAlerting, c.numberType, c.clientType,
             c.switchType, c.echoCanceller, c.echoTailMs, c.hdlcLog, c.crc4, c.primeEchoBuffers, d.normalTwist,
             d.reverseTwist, d.rowPeak, d.colPeak, d.totalEnergy);
    return buf;
}

std::string Dump(const driver::TrunkConfig& t) {
    char buf[128];
    snprintf(buf, sizeof buf, "crc4=%d hdlc=%d hangup=%d ntype=%d ctype=%d switch=%d tail=%d ec=%d", t.crc4, t.hdlcLog,
             t.hangupOnAlerting, t.numberType, t.clientType, t.switchType, t.echoTailMs, t.echoCanceller);
    return buf;
}

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
    ExpectInts({{"GENERAL", "audiobuffers", 24},
                {"General", "SwitchType", 10},
                {"General", "Crc4", 3},  // the later [general] block, not the broken header
                {"Debug", "Level", -3},  // the first of two
                {"General", "orphan", -77},
                {"Broken", "Crc4", -77},
                {"Missing", "Level", -77}});
    EXPECT_EQ(Str("debug", "name"), "quoted text");
    EXPECT_EQ(Str("Missing", "Name"), "dflt");
    EXPECT_EQ(Str("Missing", "Name", nullptr), "");
}

TEST_F(IniReader, ValuesThatAreNotPlainNumbers) {
    Write("\xEF\xBB\xBF[N]\n"
          "big=99999999999999999999\nsmall=-99999999999999999999\nmax=2147483647\nmin=-2147483648\n"
          "tail=12abc\nword=abc\nempty=\nplus=+8\n"
          "text=" + std::string(300, 'v') + "\n");
    ExpectInts({{"N", "big", INT_MAX},
                {"N", "small", INT_MIN},
                {"N", "max", INT_MAX},
                {"N", "min", INT_MIN},
                {"N", "tail", 12},
                {"N", "word", -77},
                {"N", "empty", -77},
                {"N", "plus", 8}});
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
    Write(noise + std::string(kNulNames, sizeof kNulNames - 1));
    EXPECT_EQ(Int("Debug", "Level"), -77);
    EXPECT_EQ(Str("Debug", "Level"), "dflt");
}

TEST_F(Configuration, DefaultsWithoutAFile) {
    driver::ReadConfiguration();
    EXPECT_EQ(Dump(driver::g_config), "level=2 flush=0 buffers=16 hangup=0 ntype=33 ctype=2 switch=5 ec=0 tail=32 "
                                      "hdlc=0 crc4=0 prime=0 dtmf=7/7/6.3/6.3/40");
    EXPECT_EQ(Dump(driver::ReadTrunkConfig(123456, 1)), "crc4=0 hdlc=0 hangup=0 ntype=33 ctype=2 switch=5 tail=32 ec=0");
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
    // HdlcLog=5 counts as on; SwitchType is mapped per trunk.
    EXPECT_EQ(Dump(driver::g_config), "level=0 flush=1 buffers=40 hangup=1 ntype=0 ctype=1 switch=1000 ec=1 tail=64 "
                                      "hdlc=1 crc4=1 prime=3 dtmf=8.5/4/5.5/7.25/30");
    const struct {
        uint32_t serial, trunk;
        const char* expected;
    } trunks[] = {
        {123456, 1, "crc4=1 hdlc=1 hangup=1 ntype=0 ctype=1 switch=5 tail=64 ec=1"},  // [General] only, 1000 -> 5
        {123456, 2, "crc4=0 hdlc=0 hangup=0 ntype=17 ctype=2 switch=10 tail=128 ec=1"},
        {123456, 3, "crc4=1 hdlc=1 hangup=1 ntype=0 ctype=1 switch=10 tail=64 ec=0"},  // echo off for this trunk
        {123456, 4, "crc4=1 hdlc=1 hangup=1 ntype=0 ctype=1 switch=7 tail=64 ec=1"},
        {654321, 3, "crc4=1 hdlc=1 hangup=1 ntype=0 ctype=1 switch=5 tail=64 ec=1"},  // another card's trunk
        {4294967295u, 8, "crc4=1 hdlc=1 hangup=1 ntype=0 ctype=1 switch=5 tail=64 ec=1"},  // widest section name
    };
    for (const auto& t : trunks) EXPECT_EQ(Dump(driver::ReadTrunkConfig(t.serial, t.trunk)), t.expected) << t.trunk;
    EXPECT_EQ(driver::ReadTrunkCrc4(123456, 2), 0);
    EXPECT_EQ(driver::ReadTrunkCrc4(123456, 1), 1);
    EXPECT_EQ(driver::ReadCardPrimeEchoBuffers(123456), 9);
    EXPECT_EQ(driver::ReadCardPrimeEchoBuffers(654321), 3);
}

TEST_F(Configuration, DtmfTextsThatAreNotNumbers) {
    driver::g_config.dtmf = {9.0f, 9.5f, 9.25f, 8.75f, 50.0f};  // values of an earlier read
    Write("[Dtmf]\nNormalTwist=abc\nReverseTwist=x1\nRowPeak=none\nColPeak=nan\nTotalEnergy=inf\n");
    driver::ReadConfiguration();
    std::string all = Dump(driver::g_config);
    EXPECT_EQ(all.substr(all.find(" dtmf=")), " dtmf=7/9.5/9.25/8.75/50");  // only NormalTwist falls back
    Write("[Dtmf]\nRowPeak= 4.5dB\n");
    driver::ReadConfiguration();
    EXPECT_FLOAT_EQ(driver::g_config.dtmf.rowPeak, 4.5f);
}

// Cards= and Adapters= as one module reads them: what is kept, what is
// reported, and which serials and adapters pass.
TEST(CardSelection, CardListsKeepTheReadableEntries) {
    const struct {
        const char* value;
        const char* kept;
        const char* rejected;
    } cases[] = {
        {"4711,4712,5000-5099", "4711, 4712, 5000-5099", ""},
        {" 4711 ,, 4712\t5000-5001 ; site A: 999", "4711, 4712, 5000-5001", ""},  // blanks, ';' comment
        {"4711 47x2, 5099-5000, -5, 0-, 4294967296 4294967295 0", "4711, 4294967295, 0",
         "47x2, 5099-5000, -5, 0-, 4294967296"},
        {"5000 - 5099 4711 -4712\t1-  2", "5000-5099, 4711-4712, 1-2", ""},  // blanks beside a dash
        {"abc, 12-x", "any", "abc, 12-x"},  // nothing readable: no limit, never "no card"
        {"", "any", ""},
        {"; all commented out", "any", ""},
    };
    for (const auto& c : cases) {
        driver::CardSelection s;
        driver::ListReport r = s.ParseCards(c.value);
        EXPECT_EQ(s.CardsText(), c.kept) << c.value;
        EXPECT_EQ(r.rejected, c.rejected) << c.value;
        EXPECT_EQ(s.LimitsCards(), std::string(c.kept) != "any") << c.value;
    }
    driver::CardSelection s;
    s.ParseCards("4711,5000-5099");
    for (uint32_t yes : {4711u, 5000u, 5050u, 5099u}) EXPECT_TRUE(s.AllowsSerial(yes)) << yes;
    for (uint32_t no : {0u, 4710u, 4712u, 4999u, 5100u, 4294967295u}) EXPECT_FALSE(s.AllowsSerial(no)) << no;
    EXPECT_TRUE(driver::CardSelection().AllowsSerial(12345));
}

TEST(CardSelection, AdapterListsTakeAddressesAndPrefixes) {
    auto ip = [](uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
        const uint8_t o[4] = {a, b, c, d};
        uint32_t v;
        memcpy(&v, o, 4);
        return v;  // network byte order
    };
    driver::CardSelection s;
    driver::ListReport r = s.ParseAdapters(
        "10.99.0.7/24, 192.168.5.2 10.99.0 10.99.0.256 10.0.0.0/33 10.0.0.0/ card-lan 1.2.3.4.5 1111.1.1.1 172.16.0.0/12");
    EXPECT_EQ(s.AdaptersText(), "10.99.0.0/24, 192.168.5.2/32, 172.16.0.0/12");  // host bits of a prefix dropped
    EXPECT_EQ(r.rejected, "10.99.0, 10.99.0.256, 10.0.0.0/33, 10.0.0.0/, card-lan, 1.2.3.4.5, 1111.1.1.1");
    EXPECT_TRUE(s.AllowsAdapter(ip(10, 99, 0, 1)));
    EXPECT_TRUE(s.AllowsAdapter(ip(192, 168, 5, 2)));
    EXPECT_TRUE(s.AllowsAdapter(ip(172, 31, 255, 1)));
    EXPECT_FALSE(s.AllowsAdapter(ip(10, 99, 1, 1)));
    EXPECT_FALSE(s.AllowsAdapter(ip(192, 168, 5, 3)));
    EXPECT_FALSE(s.AllowsAdapter(ip(172, 32, 0, 1)));
    s.ParseAdapters("0.0.0.0/0");
    EXPECT_TRUE(s.AllowsAdapter(ip(8, 8, 8, 8)));
    s.ParseAdapters("nothing here");
    EXPECT_FALSE(s.LimitsAdapters());
}

TEST_F(Configuration, CardsAndAdaptersFromTheFileWithinTheirLimits) {
    const std::string log = dir_.File("vaxo-dt-qpl.log");
    ASSERT_TRUE(driver::TheLog().Start(log.c_str()));
    driver::ReadConfiguration();
    EXPECT_FALSE(driver::g_config.selection.LimitsCards() || driver::g_config.selection.LimitsAdapters());
    Write("[general]\ncards = 4711, 5000-5099\nADAPTERS=10.99.0.0/24\n");
    driver::ReadConfiguration();
    EXPECT_EQ(driver::g_config.selection.CardsText(), "4711, 5000-5099");
    EXPECT_EQ(driver::g_config.selection.AdaptersText(), "10.99.0.0/24");

    // A value cut by the reader's room loses its last, partial entry rather
    // than selecting a different serial: 4095 characters of "12345," end
    // in "123".
    std::string longList;
    for (int i = 0; i < 700; ++i) longList += "12345,";
    Write("[General]\nCards=" + longList + "\n");
    driver::ReadConfiguration();
    EXPECT_FALSE(driver::g_config.selection.AllowsSerial(123));
    EXPECT_TRUE(driver::g_config.selection.AllowsSerial(12345));

    // Entries past the room of the list are left out (and reported).
    std::string many;
    for (int i = 1; i <= 300; ++i) many += std::to_string(i) + ",";
    Write("[General]\nCards=" + many + "\n");
    driver::ReadConfiguration();
    EXPECT_TRUE(driver::g_config.selection.AllowsSerial(driver::kMaxSerialRanges));
    EXPECT_FALSE(driver::g_config.selection.AllowsSerial(driver::kMaxSerialRanges + 1));

    // A value with nothing readable in it is ignored; every unreadable entry is named.
    Write("[General]\nCards=47x1, 12-x\nAdapters=10.99.0.0/24 card-lan\n");
    driver::ReadConfiguration();
    EXPECT_FALSE(driver::g_config.selection.LimitsCards());
    EXPECT_EQ(driver::g_config.selection.AdaptersText(), "10.99.0.0/24");
    driver::TheLog().Stop();
    const std::string text = testsupport::ReadFile(log);
    for (const char* line : {"INI [General] Cards= is longer than 4095 characters; the rest is ignored",
                             "INI [General] Cards=: more than 256 entries; 44 more ignored",
                             "INI [General] Cards=: not a card serial number or range, ignored: 47x1, 12-x",
                             "INI [General] Cards= has no usable entry; the key is ignored (no limit)",
                             "INI [General] Adapters=: not an IPv4 address or prefix, ignored: card-lan"})
        EXPECT_TRUE(text.find(line) != std::string::npos && text.find(line) == text.rfind(line)) << line << "\n" << text;
    EXPECT_EQ(text.find("Adapters= has no usable entry"), std::string::npos) << text;
}

TEST(Paths, LastFourCharactersGiveWayToTheExtensionWithinThePathLimit) {
    driver::ModulePaths p;
    driver::DerivePaths("/opt/ivr/drv", &p);  // no extension: cut all the same
    EXPECT_STREQ(p.module, "/opt/ivr/drv");
    EXPECT_STREQ(p.directory, "/opt/ivr/");
    EXPECT_STREQ(p.log, "/opt/ivr.log");
    EXPECT_STREQ(p.ini, "/opt/ivr.ini");

    std::string huge = "/" + std::string(3 * driver::kMaxPathChars, 'p') + ".dev";
    driver::DerivePaths(huge.c_str(), &p);
    EXPECT_EQ(strlen(p.module), driver::kMaxPathChars - 1);
    EXPECT_EQ(strlen(p.log), driver::kMaxPathChars - 1);
    EXPECT_STREQ(p.log + strlen(p.log) - 4, ".log");
    EXPECT_STREQ(p.directory, "/");
}

// The sample INI shipped with the packages: its keys, shown commented out,
// must be keys the module reads, with their true defaults, and together
// reach every value the configuration has.
class SampleIni : public IniFile {
protected:
    struct KeyLine {
        size_t index;
        std::string key;
    };

    void SetUp() override {
        IniFile::SetUp();
        std::string text = testsupport::ReadFile(VAXO_SOURCE_DIR "/core/vaxo-dt-qpl.ini");
        ASSERT_FALSE(text.empty());
        shipped_ = text;
        // Uncomments the settings of the fixed sections; the examples after
        // them stay as they are.
        size_t pos = 0;
        bool fixed = false;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            pos = end == std::string::npos ? text.size() : end + 1;
            if (line.size() > 1 && line[0] == '[') fixed = line == "[Debug]" || line == "[General]" || line == "[Dtmf]";
            size_t eq = line.find('=');
            if (fixed && line.size() > 1 && line[0] == ';' && isalpha(static_cast<unsigned char>(line[1])) &&
                eq != std::string::npos && line.find(' ') == std::string::npos) {
                line = line.substr(1);
                keys_.push_back({lines_.size(), line.substr(0, eq - 1)});
            }
            lines_.push_back(line);
        }
    }
    std::string Joined(size_t skip, const std::string& replacement, const std::string& extra = "") const {
        std::string out;
        for (size_t i = 0; i < lines_.size(); ++i) out += (i == skip ? replacement : lines_[i]) + "\n";
        return out + extra;
    }
    // Every value read, by name ("dtmf" split into its five thresholds).
    std::map<std::string, std::string> Values() {
        driver::ReadConfiguration();
        std::string all = Dump(driver::g_config) + " " + Dump(driver::ReadTrunkConfig(4711, 1));
        all += " prime4711=" + std::to_string(driver::ReadCardPrimeEchoBuffers(4711));
        std::map<std::string, std::string> values;
        std::istringstream in(all);
        std::string token;
        int trunkField = 0;
        while (in >> token) {
            std::string name = token.substr(0, token.find('='));
            std::string value = token.substr(token.find('=') + 1);
            if (name == "dtmf") {
                for (int i = 0; i < 5; ++i) {
                    values["dtmf" + std::to_string(i)] = value.substr(0, value.find('/'));
                    value = value.substr(value.find('/') + 1);
                }
                continue;
            }
            // The trunk's names repeat the general ones: tell them apart.
            if (values.count(name) != 0) name = "trunk." + name + std::to_string(trunkField++);
            values[name] = value;
        }
        return values;
    }

    std::string shipped_;
    std::vector<std::string> lines_;
    std::vector<KeyLine> keys_;
};

TEST_F(SampleIni, AsShippedAndUncommentedItGivesTheDefaults) {
    Write(shipped_);
    std::map<std::string, std::string> defaults = Values();
    Write(Joined(SIZE_MAX, ""));
    EXPECT_EQ(Values(), defaults);
    EXPECT_GE(keys_.size(), 17u);
}

TEST_F(SampleIni, EveryKeyIsReadAndTogetherTheyReachEveryValue) {
    Write(Joined(SIZE_MAX, ""));
    std::map<std::string, std::string> defaults = Values();
    std::set<std::string> reached;
    size_t trunkAt = shipped_.find("; One trunk:"), cardAt = shipped_.find("; One card:");
    ASSERT_TRUE(trunkAt != std::string::npos && cardAt != std::string::npos);
    const std::string trunkNote = shipped_.substr(trunkAt, cardAt - trunkAt), cardNote = shipped_.substr(cardAt);
    for (const KeyLine& k : keys_) {
        // The key set to 3, in its own section, in a trunk's and in a card's.
        Write(Joined(k.index, k.key + "=3", "[4711-1]\n" + k.key + "=3\n[4711]\n" + k.key + "=3\n"));
        std::map<std::string, std::string> values = Values();
        bool changed = false;
        for (const auto& v : values) {
            if (v.second == defaults[v.first]) continue;
            reached.insert(v.first);
            changed = true;
            // A key a trunk or a card section overrides is named as such.
            const std::string& text = v.first == "prime4711" ? cardNote : trunkNote;
            if (v.first.rfind("trunk.", 0) == 0 || v.first == "prime4711") {
                EXPECT_NE(text.find(k.key), std::string::npos) << k.key << " overrides " << v.first;
            }
        }
        EXPECT_TRUE(changed) << k.key << " is not read";
    }
    for (const auto& v : defaults) EXPECT_EQ(reached.count(v.first), 1u) << v.first << " has no key in the sample";
}

}  // namespace
