// Thin IPv4 socket layer (Winsock or BSD sockets). Addresses are IPv4 in
// network byte order, ports in host byte order. Sockets are plain handles
// owned by their caller; any thread may use them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;
constexpr uint32_t kAnyAddress = 0;

bool SocketsStartup();  // WSAStartup(2.2) on Win32; nothing elsewhere

Socket UdpSocket();
Socket TcpSocket();
// Shuts the socket down (a thread waiting on it wakes) and closes it.
void CloseSocket(Socket s);
// Shuts the socket down without closing it: a thread waiting on it wakes,
// and its number stays taken until CloseSocket.
void ShutdownSocket(Socket s);

bool SetNonBlocking(Socket s, bool on);
bool SetBroadcast(Socket s);
bool SetReuseAddress(Socket s);
// Sends small writes at once (no coalescing while an acknowledgement is due).
bool SetNoDelay(Socket s);
bool SetBufferSizes(Socket s, int sendBytes, int receiveBytes);  // either < 0: left alone
bool Bind(Socket s, uint32_t address, uint16_t port);
bool Listen(Socket s, int backlog);
Socket Accept(Socket s, uint32_t* peerAddress);
uint16_t LocalPort(Socket s);  // 0 on failure

// Non-blocking connect: true when the connect finished or is in progress.
bool ConnectStart(Socket s, uint32_t address, uint16_t port);

// Waits for readability / writability. 1 ready, 0 timed out, -1 failed.
// timeoutMs < 0 waits without limit.
int WaitReadable(Socket s, int timeoutMs);
int WaitWritable(Socket s, int timeoutMs);

// Result of a send or receive: bytes moved, 0 for an orderly close, or -1.
int Send(Socket s, const void* data, size_t size);
int SendTo(Socket s, const void* data, size_t size, uint32_t address, uint16_t port);
int Receive(Socket s, void* data, size_t size);
int ReceiveFrom(Socket s, void* data, size_t size, uint32_t* fromAddress, uint16_t* fromPort);
// One slot of a batch receive: the caller's buffer, and what came into it.
struct Datagram {
    void* data = nullptr;
    size_t capacity = 0;
    int length = 0;  // bytes received (a longer datagram is cut to capacity)
    uint32_t fromAddress = 0;
    uint16_t fromPort = 0;
};
constexpr int kMaxReceiveBatch = 16;
// Takes up to count (at most kMaxReceiveBatch) datagrams that are already
// queued, without waiting: one system call where the system has one for it
// (recvmmsg), one receive per datagram elsewhere. Returns how many came,
// 0 when none was queued, -1 when the receive failed.
int ReceiveBatch(Socket s, Datagram* datagrams, int count);
bool LastErrorWouldBlock();

// Dotted text to address; a host name is resolved to its first address.
bool ResolveIpv4(const char* text, uint32_t* address);
// Dotted text of an address into buf (at least 16 characters).
void Ipv4ToText(uint32_t address, char* buf, size_t size);

}  // namespace plat
