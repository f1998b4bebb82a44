// The Windows build of libpri: network and user side wired back to back in
// memory. The D-channel comes up and a call is set up, answered and
// cleared, which works only when the frame layouts, timers and random
// numbers of the ported library are right.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <utility>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

extern "C" {
#include <libpri.h>
}

#include "check.h"
#include "platform/clock.h"

namespace {

struct Side {
    struct pri* ctrl = nullptr;
    std::deque<std::vector<unsigned char>> inbox;  // frames from the peer
    Side* peer = nullptr;
    int frames = 0;
    bool up = false;
};

int ReadFrame(struct pri* pri, void* buf, int buflen) {
    Side* s = static_cast<Side*>(pri_get_userdata(pri));
    if (s->inbox.empty()) return 0;
    int n = std::min(static_cast<int>(s->inbox.front().size()), buflen);
    memcpy(buf, s->inbox.front().data(), static_cast<size_t>(n));
    s->inbox.pop_front();
    return n;
}

int WriteFrame(struct pri* pri, void* buf, int buflen) {
    Side* s = static_cast<Side*>(pri_get_userdata(pri));
    s->peer->inbox.emplace_back(static_cast<unsigned char*>(buf), static_cast<unsigned char*>(buf) + buflen);  // FCS too
    ++s->frames;
    return buflen;
}

void Quiet(struct pri*, char*) {}

// Runs both controllers until want() holds or the deadline passes; every
// event goes to onEvent(side index, event).
template <typename Want, typename OnEvent>
bool Pump(Side (&sides)[2], Want want, OnEvent onEvent, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!want()) {
        if (GetTickCount() - start > timeoutMs) return false;
        bool busy = false;
        for (int i = 0; i < 2; ++i) {
            while (!sides[i].inbox.empty()) {
                busy = true;
                if (pri_event* e = pri_check_event(sides[i].ctrl)) onEvent(i, e);
            }
            struct timeval* next = pri_schedule_next(sides[i].ctrl);
            plat::UtcTimeval now = plat::UtcNow();
            if (next != nullptr && std::pair<long long, long long>(now.seconds, now.microseconds) >=
                                       std::pair<long long, long long>(next->tv_sec, next->tv_usec)) {
                busy = true;
                if (pri_event* e = pri_schedule_run(sides[i].ctrl)) onEvent(i, e);
            }
        }
        if (!busy) Sleep(1);
    }
    return true;
}

}  // namespace

TEST_CASE("libpri: D-channel up, a call answered and cleared, back to back") {
    pri_set_message(Quiet);
    pri_set_error(Quiet);
    Side sides[2];
    for (int i = 0; i < 2; ++i) {
        sides[i].peer = &sides[1 - i];
        sides[i].ctrl = pri_new_cb(-1, i == 0 ? PRI_NETWORK : PRI_CPE, PRI_SWITCH_EUROISDN_E1, ReadFrame, WriteFrame, &sides[i]);
        REQUIRE(sides[i].ctrl != nullptr);
    }

    // libpri's timers run on gettimeofday(); the module hands them the
    // platform's UTC time, so both must share one time base.
    struct timeval* next = pri_schedule_next(sides[1].ctrl);
    REQUIRE(next != nullptr);
    plat::UtcTimeval now = plat::UtcNow();
    CHECK(next->tv_sec >= now.seconds - 1 && next->tv_sec <= now.seconds + 60);

    bool answered = false, proceeding = false, hungUp = false, released = false;
    int ringChannel = -1, hangupCause = -1;
    std::string called, calling;
    auto onEvent = [&](int side, pri_event* e) {
        sides[side].up |= e->e == PRI_EVENT_DCHAN_UP;
        if (side == 1) {  // the user side placed the call
            proceeding |= e->e == PRI_EVENT_PROCEEDING;
            answered |= e->e == PRI_EVENT_ANSWER;
            released |= e->e == PRI_EVENT_HANGUP;
        } else if (e->e == PRI_EVENT_RING) {
            ringChannel = e->ring.channel, called = e->ring.callednum, calling = e->ring.callingnum;
            pri_proceeding(sides[0].ctrl, e->ring.call, e->ring.channel, 0);
            pri_answer(sides[0].ctrl, e->ring.call, e->ring.channel, 0);
        } else if (e->e == PRI_EVENT_HANGUP_REQ) {
            hangupCause = e->hangup.cause, hungUp = true;
            pri_hangup(sides[0].ctrl, e->hangup.call, e->hangup.cause);
        }
    };
    REQUIRE(Pump(sides, [&] { return sides[0].up && sides[1].up; }, onEvent, 20000));

    q931_call* call = pri_new_call(sides[1].ctrl);
    REQUIRE(call != nullptr);
    struct pri_sr* sr = pri_sr_new();
    pri_sr_set_channel(sr, 17, 1, 0);
    pri_sr_set_bearer(sr, PRI_TRANS_CAP_SPEECH, PRI_LAYER_1_ALAW);
    char calledNumber[] = "4711", callingNumber[] = "0815";
    pri_sr_set_called(sr, calledNumber, PRI_NATIONAL_ISDN, 1);
    pri_sr_set_caller(sr, callingNumber, nullptr, PRI_NATIONAL_ISDN, PRES_ALLOWED_USER_NUMBER_NOT_SCREENED);
    CHECK_EQ(pri_setup(sides[1].ctrl, call, sr), 0);
    pri_sr_free(sr);

    CHECK(Pump(sides, [&] { return answered; }, onEvent, 10000));
    CHECK_EQ(ringChannel & 0xFF, 17);  // low byte: the timeslot
    CHECK(proceeding && called == "4711" && calling == "0815");
    REQUIRE(answered);
    pri_hangup(sides[1].ctrl, call, PRI_CAUSE_NORMAL_CLEARING);
    CHECK(Pump(sides, [&] { return released; }, onEvent, 10000));
    CHECK(hungUp && hangupCause == PRI_CAUSE_NORMAL_CLEARING);
    CHECK(sides[0].frames > 0 && sides[1].frames > 0);
}

WINTEST_MAIN("pri_test")
