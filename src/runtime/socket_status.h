// How the last call on a TcpSocket or LineSocket ended. Plain and TLS
// sockets report alike: a TLS session that failed is a broken connection, its
// closing alert an orderly end.
#pragma once

namespace quillon::runtime {

enum class SocketStatus {
  kOk,                  // the call did what it was asked
  kWouldBlock,          // nothing moved: the socket was not ready (still connected)
  kNoLine,              // ReadLine found no complete line yet (still connected)
  kClosed,              // the peer ended the connection in order; the socket is closed
  kBroken,              // the connection was reset or failed, or its TLS session failed; closed
  kNotConnected,        // send or receive while not connected
  kNotListening,        // accept on a socket that does not listen
  kNoConnection,        // accept found nothing pending
  kAcceptFailed,        // accept itself failed (TcpSocket::AcceptErrorNumber says why)
  kCreateFailed,        // no socket could be made
  kUnresolved,          // the host did not resolve
  kConnectFailed,       // the connect was refused, timed out or cancelled
  kBindFailed,          // the port could not be bound
  kListenFailed,        // the socket could not listen
  kLineBufferTooSmall,  // ReadLine was given less than 2 bytes
};

}  // namespace quillon::runtime
