/*
 * vaxo-dt-qpl.dev: the digital E1 driver module for IVR hosts.
 *
 * The host loads the module file (dlopen / LoadLibrary), calls Init once,
 * opens ports and drives calls, audio and digits through the functions
 * below, and calls Shutdown when done. Ports are numbered 0 to
 * NoofPorts() - 1: card by card, trunk by trunk, timeslot 1-15 then 17-31.
 *
 * Every function takes any port number: for a bad port it returns false,
 * 0 or a null pointer (GetSerialNo: an empty text). Texts returned are
 * owned by the module; the host never frees them. Audio is G.711 A-law,
 * 8000 bytes per second, exactly as on the line.
 *
 * Event handles: every port can be given a host event handle. The module
 * signals it whenever it queues an event for the port; the host then calls
 * GetEvent for the port until it returns KVEVENT_NONE.
 *   - Windows: a Win32 event handle, signalled with SetEvent.
 *   - POSIX: an eventfd descriptor cast to a pointer-sized integer,
 *     (void*)(intptr_t)fd. The module signals it by adding 1 to its counter
 *     and never reads, resets or closes it; the host polls the descriptor
 *     and reads it to reset it.
 *
 * Calling convention: on 32-bit Windows the functions and the audio
 * callback are __stdcall (the build option VAXO_CDECL switches both to
 * __cdecl); everywhere else the platform's C convention.
 */
#ifndef VAXO_DT_QPL_H
#define VAXO_DT_QPL_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32) && !defined(_WIN64) && !defined(VAXO_CDECL)
#define VAXO_CALL __stdcall
#else
#define VAXO_CALL
#endif

#if defined(VAXO_BUILDING_MODULE)
#if defined(_WIN32)
#define VAXO_API
#else
#define VAXO_API __attribute__((visibility("default")))
#endif
#else
#define VAXO_API
#endif

/* The version GetDriverVer reports; the one place it is set (the build
 * and the packages take theirs from here, ':' read as '.'). A host can
 * compare it with GetDriverVer() to see which header it was built with. */
#define VAXO_DRIVER_VERSION "3.0.877:27123"

/* Host event codes (GetEvent). */
#define KVEVENT_NONE 0          /* no event pending */
#define KVEVENT_PORTDOWN 10     /* never sent: a line going down is KVEVENT_CALLPROGRESS */
#define KVEVENT_RING 20         /* incoming call; see GetRings, GetInfo CLI/DLI/RLI */
#define KVEVENT_CALLPROGRESS 30 /* call or line state changed; see GetCallProgress */
#define KVEVENT_KEY 40          /* a DTMF digit arrived; see GetKey */
#define KVEVENT_PLAYENDS 50     /* the queued play has gone out on the line */
#define KVEVENT_RECORDENDS 60   /* a recording reached its time limit */

/* Audio callback directions. */
#define KV_AUDIO_RECEIVED 0 /* 160 bytes just received on the port */
#define KV_AUDIO_SENT 1     /* 160 bytes about to be sent on the port */

#ifdef __cplusplus
extern "C" {
#endif

/* Called on the module's media thread for every 20 ms block of the port,
 * open or not. Must return quickly and must not block. */
typedef void(VAXO_CALL* KvAudioCallback)(int direction, uint32_t context, unsigned char* data, int length);

/* Start and stop. Init finds the cards and creates the ports (true also
 * when no card answers); nested Init/Shutdown pairs only count. A Shutdown
 * with nothing started is ignored. */
VAXO_API bool VAXO_CALL Init(void);
VAXO_API void VAXO_CALL Shutdown(void);

/* Identity: work before Init. */
VAXO_API const char* VAXO_CALL GetDriverName(void); /* "VaxoBoard Digital E1" */
VAXO_API const char* VAXO_CALL GetDriverVer(void);  /* VAXO_DRIVER_VERSION */
VAXO_API int VAXO_CALL NoofPorts(void);
VAXO_API bool VAXO_CALL IsDeviceActive(void); /* always true */

/* Ports. */
VAXO_API bool VAXO_CALL IsPort(int port);
VAXO_API const char* VAXO_CALL GetPortName(int port);
VAXO_API const char* VAXO_CALL GetSerialNo(int port); /* card serial, decimal */
VAXO_API const char* VAXO_CALL GetError(int port);    /* last error text */
VAXO_API bool VAXO_CALL OpenPort(int port);
VAXO_API void VAXO_CALL ClosePort(int port);

/* Events and digits. */
VAXO_API void VAXO_CALL SetEventHandle(int port, void* handle); /* null stops events */
VAXO_API int VAXO_CALL GetEvent(int port);                     /* KVEVENT_* */
VAXO_API bool VAXO_CALL IsEventPending(int port);
VAXO_API char VAXO_CALL GetKey(int port); /* next DTMF digit, 0 if none */
VAXO_API int VAXO_CALL GetRings(int port); /* 1 on arrival, +1 every 2 s unanswered */

/* Information keys: GetInfo CLI DLI RLI CALLTYPE INPUTTYPE OPENTYPE CHANNEL
 * DIRECTION CLITYPE PHYSICALPORTS SERIALNO FEATUREFLAGS FIRMWAREVER
 * FIRMWAREDATE BURNDATE CHANNELSTATE; SetInfo DIALCLI ALLOWINCOMING
 * MAXINCOMING; DeviceSpecific IsReady, ResetChannel. Case does not matter.
 * Unknown keys give an empty text.
 *
 * Media statistics (GetInfo, decimal text, counted since the module was
 * loaded; any port of a card answers the card's):
 *   AUDIORXPACKETS   audio packets from the card processed
 *   AUDIOTXPACKETS   audio packets sent to the card
 *   AUDIOLOST        packets missing in the card's stream
 *   AUDIODUPLICATES  old or repeated packets from the card, dropped
 *   AUDIORESYNCS     restarts of the stream's sequence after losses
 *   AUDIOCARDLOST    the module's packets the card reported lost
 *   AUDIOBADPACKETS  datagrams dropped unread (wrong sender, length or magic)
 *   AUDIODROPPED     160-byte blocks the module itself dropped (no free block
 *                    left, or the record path could not keep one)
 *   TICKCYCLES       10 ms media cycles run
 *   TICKLATE         cycles that started 2 ms or more after they were due
 *   TICKLATEP99      lateness in microseconds that 99 % of the cycles kept
 *                    within (100 us steps)
 *   TICKLATEMAX      largest lateness in microseconds
 * Per port:
 *   ECHOERLE         echo return loss enhancement in dB (one decimal) while
 *                    the port's echo canceller runs, else empty
 *   DIGITSDETECTED   DTMF digits detected on the port */
VAXO_API const char* VAXO_CALL GetInfo(int port, const char* key);
VAXO_API bool VAXO_CALL SetInfo(int port, const char* key, const char* value);
VAXO_API const char* VAXO_CALL DeviceSpecific(int port, const char* command, const char* argument);

/* Calls. Answer waits up to 5 s for the connection, Hangup up to 10 s for
 * the release, Reject up to 3 s; Dial returns once SETUP is sent. */
VAXO_API bool VAXO_CALL Answer(int port);
VAXO_API bool VAXO_CALL Hangup(int port);
VAXO_API bool VAXO_CALL Reject(int port);
VAXO_API bool VAXO_CALL Dial(int port, const char* number);
VAXO_API bool VAXO_CALL IsCallActive(int port);
VAXO_API bool VAXO_CALL Transfer(int port, const char* number);      /* not supported: false */
VAXO_API bool VAXO_CALL BlindTransfer(int port, const char* number); /* not supported: false */
/* "PROCEEDING", "RINGBACK", "PROGRESS", "CONNECTED", "DISCONNECTED-...-Q931_n", or "". */
VAXO_API const char* VAXO_CALL GetCallProgress(int port);
VAXO_API void VAXO_CALL GenerateDtmf(int port, const char* digits); /* not supported */

/* Play: A-law bytes. Play copies the buffer; PlayCached plays the host's
 * buffer in place, which must stay unchanged until KVEVENT_PLAYENDS or
 * StopPlay. Plays queue back to back; one KVEVENT_PLAYENDS ends them. */
VAXO_API bool VAXO_CALL Play(int port, void* buffer, int size);
VAXO_API bool VAXO_CALL PlayCached(int port, void* buffer, int size);
VAXO_API void VAXO_CALL StopPlay(int port);
VAXO_API int VAXO_CALL PlayTimeLeft(int port); /* ms of audio still queued */

/* Record: A-law bytes received, up to maxMs milliseconds (-1: no limit;
 * KVEVENT_RECORDENDS at the limit). Read the buffer after the recording
 * has ended. */
VAXO_API bool VAXO_CALL Record(int port, int maxMs);
VAXO_API bool VAXO_CALL StopRecord(int port);
VAXO_API void* VAXO_CALL GetRecordBuffer(int port);
VAXO_API int VAXO_CALL GetRecordSize(int port);
VAXO_API int VAXO_CALL RecordTimeLeft(int port); /* ms; -1 (0xFFFFFFFF) without a limit */
VAXO_API void VAXO_CALL SetAudioCallback(int port, uint32_t context, KvAudioCallback callback);

#ifdef __cplusplus
}
#endif

#endif /* VAXO_DT_QPL_H */
