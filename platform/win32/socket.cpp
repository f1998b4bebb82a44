#include "platform/socket.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace plat {

namespace {

SOCKET Sock(Socket s) { return static_cast<SOCKET>(s); }

int Clamp(size_t size) { return size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size); }

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

// Winsock is started once per process and kept for the life of the module.
bool EnsureStartup() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

Socket NewSocket(int type, int protocol) {
    if (!EnsureStartup()) return kNoSocket;
    SOCKET s = socket(AF_INET, type, protocol);
    if (s == INVALID_SOCKET) return kNoSocket;
    // Not handed down to processes the host starts.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<Socket>(s);
}

timeval ToTimeval(int timeoutMs) {
    timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    return tv;
}

}  // namespace

bool SocketsStartup() { return EnsureStartup(); }

Socket UdpSocket() {
    Socket s = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
    if (s != kNoSocket) {
        // Windows reports an ICMP port-unreachable for an earlier send as a
        // failed receive (WSAECONNRESET) on a UDP socket; a card that is
        // restarting must not make the next receive look like an error.
        BOOL report = FALSE;
        DWORD returned = 0;
        WSAIoctl(Sock(s), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    }
    return s;
}

Socket TcpSocket() { return NewSocket(SOCK_STREAM, IPPROTO_TCP); }

void CloseSocket(Socket s) {
    if (s != kNoSocket) {
        shutdown(Sock(s), SD_BOTH);  // wakes a thread waiting on it
        closesocket(Sock(s));
    }
}

void ShutdownSocket(Socket s) {
    if (s != kNoSocket) shutdown(Sock(s), SD_BOTH);
}

bool SetNonBlocking(Socket s, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(Sock(s), FIONBIO, &mode) == 0;
}

bool SetBroadcast(Socket s) {
    BOOL one = TRUE;
    return setsockopt(Sock(s), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

bool SetReuseAddress(Socket s) {
    BOOL one = TRUE;
    return setsockopt(Sock(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

bool SetNoDelay(Socket s) {
    BOOL one = TRUE;
    return setsockopt(Sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

bool SetBufferSizes(Socket s, int sendBytes, int receiveBytes) {
    bool ok = true;
    if (sendBytes >= 0)
        ok &= setsockopt(Sock(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBytes),
                         sizeof sendBytes) == 0;
    if (receiveBytes >= 0)
        ok &= setsockopt(Sock(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBytes),
                         sizeof receiveBytes) == 0;
    return ok;
}

bool Bind(Socket s, uint32_t address, uint16_t port) {
    sockaddr_in sa = MakeAddress(address, port);
    return bind(Sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool Listen(Socket s, int backlog) { return listen(Sock(s), backlog) == 0; }

Socket Accept(Socket s, uint32_t* peerAddress) {
    sockaddr_in sa;
    int len = sizeof sa;
    SOCKET c = accept(Sock(s), reinterpret_cast<sockaddr*>(&sa), &len);
    if (c == INVALID_SOCKET) return kNoSocket;
    SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
    if (peerAddress != nullptr) *peerAddress = sa.sin_addr.s_addr;
    return static_cast<Socket>(c);
}

uint16_t LocalPort(Socket s) {
    sockaddr_in sa;
    int len = sizeof sa;
    if (getsockname(Sock(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

bool ConnectStart(Socket s, uint32_t address, uint16_t port) {
    sockaddr_in sa = MakeAddress(address, port);
    if (connect(Sock(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
    int err = WSAGetLastError();
    return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS;
}

int WaitReadable(Socket s, int timeoutMs) {
    if (s == kNoSocket) return -1;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Sock(s), &readable);
    timeval tv = ToTimeval(timeoutMs);
    int rc = select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &tv);
    if (rc == SOCKET_ERROR) return -1;
    return rc == 0 ? 0 : 1;
}

int WaitWritable(Socket s, int timeoutMs) {
    if (s == kNoSocket) return -1;
    // A non-blocking connect that fails shows up in the exception set, not
    // the write set, on Windows.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(Sock(s), &writable);
    FD_SET(Sock(s), &failed);
    timeval tv = ToTimeval(timeoutMs);
    int rc = select(0, nullptr, &writable, &failed, timeoutMs < 0 ? nullptr : &tv);
    if (rc == SOCKET_ERROR) return -1;
    if (rc == 0) return 0;
    if (FD_ISSET(Sock(s), &failed)) return -1;
    int err = 0;
    int len = sizeof err;
    if (getsockopt(Sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0 || err != 0) return -1;
    return 1;
}

int Send(Socket s, const void* data, size_t size) {
    int n = send(Sock(s), static_cast<const char*>(data), Clamp(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int SendTo(Socket s, const void* data, size_t size, uint32_t address, uint16_t port) {
    sockaddr_in sa = MakeAddress(address, port);
    int n = sendto(Sock(s), static_cast<const char*>(data), Clamp(size), 0, reinterpret_cast<sockaddr*>(&sa),
                   sizeof sa);
    return n == SOCKET_ERROR ? -1 : n;
}

int Receive(Socket s, void* data, size_t size) {
    int n = recv(Sock(s), static_cast<char*>(data), Clamp(size), 0);
    if (n == SOCKET_ERROR) {
        // A datagram longer than the buffer: Windows fills the buffer and
        // fails; BSD sockets return the cut datagram. Do the latter.
        if (WSAGetLastError() == WSAEMSGSIZE) return Clamp(size);
        return -1;
    }
    return n;
}

int ReceiveFrom(Socket s, void* data, size_t size, uint32_t* fromAddress, uint16_t* fromPort) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    int len = sizeof sa;
    int n = recvfrom(Sock(s), static_cast<char*>(data), Clamp(size), 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEMSGSIZE) return -1;
        n = Clamp(size);  // cut datagram, as above
    }
    if (fromAddress != nullptr) *fromAddress = sa.sin_addr.s_addr;
    if (fromPort != nullptr) *fromPort = ntohs(sa.sin_port);
    return n;
}

// No batch receive in Winsock: one receive per queued datagram (the audio
// socket is non-blocking, so the last one ends with "would block").
int ReceiveBatch(Socket s, Datagram* datagrams, int count) {
    if (datagrams == nullptr || count <= 0) return 0;
    if (count > kMaxReceiveBatch) count = kMaxReceiveBatch;
    int got = 0;
    while (got < count) {
        Datagram& d = datagrams[got];
        const int n = ReceiveFrom(s, d.data, d.capacity, &d.fromAddress, &d.fromPort);
        if (n < 0) {
            if (got > 0 || LastErrorWouldBlock()) return got;
            return -1;
        }
        d.length = n;
        ++got;
    }
    return got;
}

bool LastErrorWouldBlock() {
    int err = WSAGetLastError();
    return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS || err == WSAEALREADY;
}

bool ResolveIpv4(const char* text, uint32_t* address) {
    if (text == nullptr || address == nullptr || text[0] == '\0') return false;
    if (!EnsureStartup()) return false;
    in_addr a;
    if (inet_pton(AF_INET, text, &a) == 1) {
        *address = a.s_addr;
        return true;
    }
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &result) != 0 || result == nullptr) return false;
    *address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(result);
    return true;
}

void Ipv4ToText(uint32_t address, char* buf, size_t size) {
    if (buf == nullptr || size == 0) return;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
    int n = snprintf(buf, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    if (n < 0 || static_cast<size_t>(n) >= size) buf[0] = '\0';
}

}  // namespace plat
