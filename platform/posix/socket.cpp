#include "platform/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace plat {

namespace {
int Fd(Socket s) { return static_cast<int>(s); }

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    return sa;
}

int WaitFor(Socket s, short events, int timeoutMs) {
    pollfd p{Fd(s), events, 0};
    int rc;
    do {
        rc = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return -1;
    if (rc == 0) return 0;
    if (p.revents & POLLNVAL) return -1;
    return 1;
}
}  // namespace

bool SocketsStartup() { return true; }

Socket UdpSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? kNoSocket : fd;
}

Socket TcpSocket() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? kNoSocket : fd;
}

void CloseSocket(Socket s) {
    if (s != kNoSocket) {
        shutdown(Fd(s), SHUT_RDWR);  // wakes a thread waiting on it
        close(Fd(s));
    }
}

void ShutdownSocket(Socket s) {
    if (s != kNoSocket) shutdown(Fd(s), SHUT_RDWR);
}

bool SetNonBlocking(Socket s, bool on) {
    int flags = fcntl(Fd(s), F_GETFL, 0);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(Fd(s), F_SETFL, flags) == 0;
}

bool SetBroadcast(Socket s) {
    int one = 1;
    return setsockopt(Fd(s), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0;
}

bool SetReuseAddress(Socket s) {
    int one = 1;
    return setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

bool SetNoDelay(Socket s) {
    int one = 1;
    return setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool SetBufferSizes(Socket s, int sendBytes, int receiveBytes) {
    bool ok = true;
    if (sendBytes >= 0) ok &= setsockopt(Fd(s), SOL_SOCKET, SO_SNDBUF, &sendBytes, sizeof sendBytes) == 0;
    if (receiveBytes >= 0) ok &= setsockopt(Fd(s), SOL_SOCKET, SO_RCVBUF, &receiveBytes, sizeof receiveBytes) == 0;
    return ok;
}

bool Bind(Socket s, uint32_t address, uint16_t port) {
    sockaddr_in sa = MakeAddress(address, port);
    return bind(Fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool Listen(Socket s, int backlog) { return listen(Fd(s), backlog) == 0; }

Socket Accept(Socket s, uint32_t* peerAddress) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    int fd = accept4(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (fd < 0) return kNoSocket;
    if (peerAddress != nullptr) *peerAddress = sa.sin_addr.s_addr;
    return fd;
}

uint16_t LocalPort(Socket s) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

bool ConnectStart(Socket s, uint32_t address, uint16_t port) {
    sockaddr_in sa = MakeAddress(address, port);
    if (connect(Fd(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
    return errno == EINPROGRESS || errno == EWOULDBLOCK || errno == EAGAIN;
}

int WaitReadable(Socket s, int timeoutMs) { return WaitFor(s, POLLIN, timeoutMs); }

int WaitWritable(Socket s, int timeoutMs) {
    int rc = WaitFor(s, POLLOUT, timeoutMs);
    if (rc <= 0) return rc;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return -1;
    return 1;
}

int Send(Socket s, const void* data, size_t size) {
    ssize_t n = send(Fd(s), data, size, MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<int>(n);
}

int SendTo(Socket s, const void* data, size_t size, uint32_t address, uint16_t port) {
    sockaddr_in sa = MakeAddress(address, port);
    ssize_t n = sendto(Fd(s), data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return n < 0 ? -1 : static_cast<int>(n);
}

int Receive(Socket s, void* data, size_t size) {
    ssize_t n = recv(Fd(s), data, size, 0);
    return n < 0 ? -1 : static_cast<int>(n);
}

int ReceiveFrom(Socket s, void* data, size_t size, uint32_t* fromAddress, uint16_t* fromPort) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    ssize_t n = recvfrom(Fd(s), data, size, 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) return -1;
    if (fromAddress != nullptr) *fromAddress = sa.sin_addr.s_addr;
    if (fromPort != nullptr) *fromPort = ntohs(sa.sin_port);
    return static_cast<int>(n);
}

int ReceiveBatch(Socket s, Datagram* datagrams, int count) {
    if (datagrams == nullptr || count <= 0) return 0;
    if (count > kMaxReceiveBatch) count = kMaxReceiveBatch;
    mmsghdr messages[kMaxReceiveBatch];
    iovec vectors[kMaxReceiveBatch];
    sockaddr_in from[kMaxReceiveBatch];
    memset(messages, 0, sizeof(mmsghdr) * static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        vectors[i].iov_base = datagrams[i].data;
        vectors[i].iov_len = datagrams[i].capacity;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &from[i];
        messages[i].msg_hdr.msg_namelen = sizeof from[i];
    }
    const int n = recvmmsg(Fd(s), messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
    if (n < 0) return LastErrorWouldBlock() ? 0 : -1;
    for (int i = 0; i < n; ++i) {
        datagrams[i].length = static_cast<int>(messages[i].msg_len);
        datagrams[i].fromAddress = from[i].sin_addr.s_addr;
        datagrams[i].fromPort = ntohs(from[i].sin_port);
    }
    return n;
}

bool LastErrorWouldBlock() { return errno == EWOULDBLOCK || errno == EAGAIN || errno == EINPROGRESS; }

bool ResolveIpv4(const char* text, uint32_t* address) {
    if (text == nullptr || address == nullptr) return false;
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
    in_addr a;
    a.s_addr = address;
    if (inet_ntop(AF_INET, &a, buf, static_cast<socklen_t>(size)) == nullptr) buf[0] = '\0';
}

}  // namespace plat
