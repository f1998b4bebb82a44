#include "sim/fault_commands.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace sim {
namespace {

constexpr uint8_t kLineDownStatus = 1;
constexpr uint32_t kDefaultGarbageSeed = 1;

bool Number(const std::string& word, long* out) {
    if (word.empty()) return false;
    char* end = nullptr;
    *out = std::strtol(word.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

bool HexBytes(const std::vector<std::string>& words, std::vector<uint8_t>* out) {
    for (size_t i = 1; i < words.size(); ++i) {
        char* end = nullptr;
        unsigned long v = std::strtoul(words[i].c_str(), &end, 16);
        if (end == nullptr || *end != '\0' || v > 0xFF) return false;
        out->push_back(static_cast<uint8_t>(v));
    }
    return !out->empty();
}

bool CardInfo(SimCard& card, const std::vector<std::string>& words) {
    CardProfile facts = card.profile();
    for (size_t i = 1; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        long v = 0;
        if (eq == std::string::npos || !Number(words[i].substr(eq + 1), &v)) return false;
        const std::string key = words[i].substr(0, eq);
        if (key == "serial") facts.serial = static_cast<uint32_t>(v);
        else if (key == "trunks") facts.trunks = static_cast<int>(v);
        else if (key == "flags") facts.featureFlags = static_cast<uint32_t>(v);
        else if (key == "version") facts.firmwareVersion = static_cast<uint8_t>(v);
        else return false;
    }
    card.SendCardInfo(facts);
    return true;
}

// Commands with up to two numbers after the name.
bool Numbered(SimCard& card, const std::string& name, const std::vector<long>& n) {
    const size_t k = n.size();
    const int a = k > 0 ? static_cast<int>(n[0]) : 0, b = k > 1 ? static_cast<int>(n[1]) : 0;
    if (name == "restart" && k <= 1) return card.Restart(a), true;
    if (name == "dchannel-drop" && k == 2) return card.DropDChannel(a, b), true;
    if (name == "restart-channel" && k == 2) return card.RestartChannel(a, b);
    if (name == "restart-interface" && k == 1) return card.RestartInterface(a);
    if (name == "audio-drop" && k == 1) return card.DropNextPackets(a), true;
    if (name == "audio-dup" && k == 1) return card.RepeatNextPacket(a), true;
    if (name == "audio-stall" && k == 1) return card.StallAudio(a), true;
    if (name == "audio-lost" && k == 1) return card.SetLostCount(static_cast<uint8_t>(a)), true;
    if (name == "hdlc-error" && k == 2) return card.SendHdlcError(a, static_cast<uint8_t>(b)), true;
    if (name == "garbage" && (k == 1 || k == 2) && a > 0)
        return card.SendGarbage(static_cast<size_t>(a), k == 2 ? static_cast<uint32_t>(b) : kDefaultGarbageSeed), true;
    return false;
}

}  // namespace

bool RunCommand(SimCard& card, const std::string& line, std::string* error) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    auto fail = [&](const char* why) {
        if (error != nullptr) *error = std::string(why) + ": " + line;
        return false;
    };
    if (words.empty()) return fail("empty command");
    const std::string& name = words[0];
    const size_t args = words.size() - 1;
    if (name == "fin" && args == 0) return card.CloseConnection(), true;
    if (name == "rst" && args == 0) return card.ResetConnection(), true;
    if (name == "announce" && args == 0) return card.AnnounceRestart(), true;
    if (name == "audio-reorder" && args == 0) return card.ReorderNextPair(), true;
    if (name == "silent" && args == 1 && (words[1] == "on" || words[1] == "off"))
        return card.SetSilent(words[1] == "on"), true;
    long trunk = 0;
    if (name == "line" && args == 2 && Number(words[1], &trunk) && (words[2] == "up" || words[2] == "down"))
        return card.SetLineStatus(static_cast<int>(trunk), words[2] == "up" ? 0 : kLineDownStatus), true;
    if (name == "raw") {
        std::vector<uint8_t> bytes;
        return HexBytes(words, &bytes) ? (card.SendRaw(bytes), true) : fail("bad bytes");
    }
    if (name == "card-info") return CardInfo(card, words) || fail("bad card information");
    std::vector<long> numbers;
    for (size_t i = 1; i < words.size(); ++i) {
        long v = 0;
        if (!Number(words[i], &v)) return fail("not a number");
        numbers.push_back(v);
    }
    return Numbered(card, name, numbers) || fail("unknown command or refused");
}

}  // namespace sim
