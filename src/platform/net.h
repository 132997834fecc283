// IPv4 and IPv6 TCP primitives over non-blocking sockets, and poll()-based
// waiting.
//
// Every socket made here is non-blocking and close-on-exec, so a single call
// answers "is anything ready?" without a separate readiness probe. Sends never
// raise SIGPIPE. Functions that can fail return false (or kNoSocket) and
// store the errno value in `*error` when `error` is not null.
//
// Thread-safety: free functions; a handle is used by one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/event.h"

namespace quillon::platform {

class Event;

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

// An address as its 16 bytes (first byte first) and a port in host byte
// order. An IPv4 address is held in its IPv6-mapped form, ::ffff:a.b.c.d,
// which is also how a dual-stack socket reports an IPv4 peer; the default
// is 0.0.0.0.
struct Endpoint {
  std::array<std::uint8_t, 16> address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
  std::uint16_t port = 0;

  static Endpoint Ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                       std::uint16_t port = 0) {
    Endpoint endpoint;
    endpoint.address[12] = a;
    endpoint.address[13] = b;
    endpoint.address[14] = c;
    endpoint.address[15] = d;
    endpoint.port = port;
    return endpoint;
  }
  bool IsIpv4() const;
  // The four numbers of an IPv4 address. REQUIRES: IsIpv4().
  const std::uint8_t* Ipv4Octets() const { return address.data() + 12; }
};

// The standard text of an address: dotted for IPv4 (and IPv4-mapped), the
// compressed lower-case form of RFC 5952 for IPv6 ("2001:db8::1").
std::string AddressText(const std::array<std::uint8_t, 16>& address);
// Reads a dotted IPv4 address ("10.0.0.1", four decimal numbers) or an IPv6
// address in any of its text forms ("::ffff:10.0.0.1" included, no zone or
// brackets). False, *out unchanged, for anything else.
[[nodiscard]] bool ParseAddress(std::string_view text, std::array<std::uint8_t, 16>* out);

// Process-wide preparation: SIGPIPE is ignored, and the limit on open
// descriptors is raised to the most the system allows (every session holds
// its control socket and two event descriptors). Always succeeds.
bool StartNetworking();

// An IPv4 socket, or with `ipv6` an IPv6 one, which also serves IPv4 peers
// through mapped addresses unless bound to one IPv6 address.
[[nodiscard]] SocketHandle OpenTcpSocket(int* error, bool ipv6 = false);
// Binds to all local addresses of the socket's family on `port` (0: the
// system chooses) with SO_REUSEADDR, so a restart does not wait for old
// connections to time out. An IPv6 socket binds both families.
[[nodiscard]] bool BindAnyAddress(SocketHandle socket, std::uint16_t port, int* error);
// Binds to one local address and port (0: the system chooses), for a
// connection that must leave from that address or a listener on one
// address (with SO_REUSEADDR too). An IPv6 socket bound to an IPv6 address
// serves that family only. EAFNOSUPPORT for an IPv6 address on an IPv4
// socket.
[[nodiscard]] bool BindAddress(SocketHandle socket, const Endpoint& local, int* error);
// `backlog` kSystemMaxBacklog takes the most the system allows, so a burst
// of connections waits in the queue instead of being dropped and retried.
inline constexpr int kSystemMaxBacklog = 0;
[[nodiscard]] bool ListenForConnections(SocketHandle socket, int backlog, int* error);
// A bind or listen failed for want of privileges (a port below 1024
// without root, or a security policy), not because the port is taken.
bool IsPermissionError(int error);
// A bind failed because the address is not one of this machine's.
bool IsAddressNotLocalError(int error);
// A pending connection, or kNoSocket. *error is 0 when nothing is pending
// (or the pending connection went away before it was taken) and errno when
// accept() itself failed, for example for want of descriptors, which a
// caller must not retry at once. The new socket is non-blocking too.
[[nodiscard]] SocketHandle AcceptPending(SocketHandle listener, int* error);
// Sets the process's soft limit of open descriptors; *previous (may be null)
// gets the old one. Raising above the hard limit fails. For tests that must
// run out of descriptors.
[[nodiscard]] bool SetDescriptorLimit(std::uint64_t soft, std::uint64_t* previous);

// Connects to `target`, waiting at most `timeout_ms` and returning early
// (false, *error ECANCELED) when `cancel` becomes set.
[[nodiscard]] bool ConnectWithin(SocketHandle socket, const Endpoint& target, const Event* cancel,
                                 std::uint32_t timeout_ms, int* error);

// The first IPv4 address of `host` (a dotted address or a name, looked up
// through the system's resolver, which may take a while). False when there
// is none. The port of *out is kept.
[[nodiscard]] bool ResolveIPv4(const char* host, Endpoint* out);
// This machine's host name as the system knows it ("" when it cannot be read).
std::string HostName();

// What one step on a non-blocking socket came to, for plain sockets and for
// TLS channels (tls.h) alike.
enum class IoStatus {
  kDone,       // the step is complete; *count bytes moved (more than 0)
  kWantRead,   // nothing moved; the socket must become readable first
  kWantWrite,  // nothing moved; the socket must take bytes first
  kClosed,     // the peer ended the connection (or the TLS session) in order
  kFailed,     // the connection (or the TLS session) is broken; *error holds errno
};
// A plain receive that finds nothing reports kWantRead, a plain send that
// can place nothing kWantWrite.
IoStatus SendSome(SocketHandle socket, const void* bytes, std::size_t length, std::size_t* count,
                  int* error);
IoStatus ReceiveSome(SocketHandle socket, void* buffer, std::size_t length, std::size_t* count,
                     int* error);
// As SendSome, but the bytes go out as TCP urgent data: the last byte sent
// carries the urgent mark, as clients mark a command that interrupts a
// transfer (for test clients; the server never sends urgent data).
IoStatus SendUrgentSome(SocketHandle socket, const void* bytes, std::size_t length,
                        std::size_t* count, int* error);
// As ReceiveSome, but the bytes stay in the socket for the next receive.
IoStatus PeekSome(SocketHandle socket, void* buffer, std::size_t length, std::size_t* count,
                  int* error);
// Sends up to `length` bytes of the open file `file` from its current
// offset (which moves on) straight from the file system cache, without a
// copy through the caller. kDone with *count > 0; kWantWrite; kClosed when
// the file has no more bytes; kFailed with *error. SIGPIPE is ignored for
// the process from the first call on (as StartNetworking does).
IoStatus SendFileSome(SocketHandle socket, int file, std::size_t length, std::size_t* count,
                      int* error);

// Both leave `*out` unchanged on failure.
bool LocalEndpoint(SocketHandle socket, Endpoint* out);
bool PeerEndpoint(SocketHandle socket, Endpoint* out);

// Sends small segments at once (no Nagle delay); for request/reply traffic.
void SetNoDelay(SocketHandle socket);
// Keeps bytes the peer marks urgent (TCP out-of-band data) in the ordinary
// byte stream, in their place, instead of setting the last one apart where
// a plain receive never sees it. Best effort.
void SetUrgentInline(SocketHandle socket);
void ShutdownBoth(SocketHandle socket);
void CloseSocket(SocketHandle socket);
// Closes `socket` with a reset instead of an orderly end, as a peer's
// system does when the connection breaks (the other end's receive fails
// with "connection reset"). For tests that must break a connection.
void CloseWithReset(SocketHandle socket);

// An IPv6 address text, a dotted address ("127.0.0.1", also the classic
// shorthand forms), else the first IPv4 address the name resolves to. False
// when there is none. The port of *out is kept.
[[nodiscard]] bool ResolveHost(const char* host, Endpoint* out);

// One descriptor to watch in Poll().
struct PollItem {
  int descriptor = -1;  // negative entries are skipped
  bool want_read = false;
  bool want_write = false;
  // Results:
  bool readable = false;  // also set on hang-up and error, so a read reports them
  bool writable = false;
};

// Waits until an item is ready or `timeout_ms` passes (0: just look).
// Returns the number of ready items; 0 on time-out or an interrupted wait.
// kWaitForever (event.h): no time limit.
int Poll(PollItem* items, std::size_t count, std::uint32_t timeout_ms);

}  // namespace quillon::platform
