// The PROXY protocol header, versions 1 (a text line) and 2 (binary), that
// a TCP load balancer sends before a client's own bytes to tell the server
// the client's address.
//
// Thread-safety: a pure function over the bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/ip_address.h"

namespace quillon::runtime {

struct ProxyHeader {
  // A version 1 line is at most this long, its CR LF included.
  static constexpr std::size_t kMaxLine = 107;
  // A version 2 header's address block (TLVs included) is read up to this
  // long; a longer one is refused.
  static constexpr std::size_t kMaxBlock = 2048;
  // The most bytes a header may take.
  static constexpr std::size_t kMaxBytes = 16 + kMaxBlock;

  enum class Result {
    kIncomplete,  // a header may still follow: more bytes are needed
    kInvalid,     // the bytes are not a header this server takes
    kDone,        // a whole header: `length` bytes
  };

  // Reads the header at the start of `bytes`. On kDone, `length` is its
  // size and `has_client` whether it names the client: a version 1
  // "UNKNOWN", a version 2 "LOCAL" (the balancer's own check) or an address
  // family other than TCP over IPv4 or IPv6 names none, and the
  // connection's own peer stands.
  static Result Parse(std::string_view bytes, ProxyHeader* header);

  // The log line of a connection refused for its header, and the reason
  // given for a peer that may not send one.
  static constexpr const char* kLogRefused = "PROXY Header Refused: Reason=[%s]";
  static constexpr const char* kUntrusted = "the peer is not a trusted proxy";

  std::size_t length = 0;
  bool has_client = false;
  IpAddress client;
  std::uint16_t client_port = 0;
};

}  // namespace quillon::runtime
