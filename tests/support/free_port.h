// A port on 127.0.0.1 that nobody listens on, for a test that hands it to a
// server, which listens on it later. It is chosen at random below the
// kernel's ephemeral range (32768 and up): a port-0 bind of a test running
// in parallel is never given it, which a port got from a port-0 probe and
// released could be.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "runtime/tcp_socket.h"

namespace quillon::testing {

inline std::uint16_t UnusedPort() {
  std::mt19937 chooser(std::random_device{}());
  std::uniform_int_distribution<int> below_ephemeral(10000, 32000);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const auto port = static_cast<std::uint16_t>(below_ephemeral(chooser));
    if (runtime::TcpSocket().ListenOn(port)) return port;
  }
  ADD_FAILURE() << "no free port below the ephemeral range";
  return 0;
}

}  // namespace quillon::testing
