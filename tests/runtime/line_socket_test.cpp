#include "runtime/line_socket.h"

#include <gtest/gtest.h>

#include <string>

#include "support/loopback_client.h"
#include "support/wait.h"

namespace quillon::runtime {
namespace {

using testing::LoopbackClient;
using testing::WaitUntil;

class LineSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener_.ListenOn(0));
    ASSERT_TRUE(client_.Connect(listener_.LocalPort()));
    ASSERT_TRUE(WaitUntil([&] { return listener_.AcceptInto(socket_); }));
  }

  // Reads one line, waiting (bounded) while none is complete. Returns false
  // when the socket reports anything other than "no line yet".
  bool ReadLineWithin(std::string* line, std::size_t size = 2048, int timeout_ms = 2000) {
    std::string buffer(size, '\0');
    bool ok = false;
    WaitUntil(
        [&] {
          ok = socket_.ReadLine(buffer.data(), size);
          return ok || socket_.LastStatus() != SocketStatus::kNoLine;
        },
        timeout_ms);
    if (ok) *line = buffer.c_str();
    return ok;
  }

  TcpSocket listener_;
  LineSocket socket_;
  LoopbackClient client_;
};

TEST_F(LineSocketTest, LongLineIsCutAndTheNextLineIsIntact) {
  ASSERT_TRUE(client_.Send(std::string(3000, 'a') + "\r\nNOOP\r\n"));
  std::string line;
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, std::string(2047, 'a'));
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "NOOP");
}

TEST_F(LineSocketTest, TwoLinesInOneSegmentNeedOneReceive) {
  ASSERT_TRUE(client_.Send("USER bob\r\nPASS x\r\n"));
  std::string line;
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "USER bob");
  const auto received = socket_.BytesReceived();
  EXPECT_EQ(socket_.BufferedBytes(), 8u);
  char buffer[64];
  ASSERT_TRUE(socket_.ReadLine(buffer, sizeof buffer));  // no waiting
  EXPECT_STREQ(buffer, "PASS x");
  EXPECT_EQ(socket_.BytesReceived(), received);
  EXPECT_EQ(socket_.BufferedBytes(), 0u);
}

TEST_F(LineSocketTest, APartLineAfterALineWaitsForItsEndWhenNothingMoreHasCome) {
  // The first read leaves "PA" behind the line it took; the next one must
  // slide those bytes to the front to make room, and then finds no line.
  ASSERT_TRUE(client_.Send("USER bob\r\nPA"));
  std::string line;
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "USER bob");
  ASSERT_TRUE(WaitUntil([&] { return socket_.BufferedBytes() == 2; }));
  for (int attempt = 0; attempt < 3; ++attempt) {
    char buffer[64];
    EXPECT_FALSE(socket_.ReadLine(buffer, sizeof buffer)) << attempt;
    EXPECT_EQ(socket_.LastStatus(), SocketStatus::kNoLine) << attempt;
    EXPECT_EQ(socket_.BufferedBytes(), 2u) << attempt;
  }
  ASSERT_TRUE(client_.Send("SS x\r\nNOOP\r\n"));
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "PASS x");
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "NOOP");
  EXPECT_EQ(socket_.GetState(), TcpSocket::State::kConnected);
}

TEST_F(LineSocketTest, OnlyCrLfEndsALine) {
  ASSERT_TRUE(client_.Send("abc\ndef\rghi"));
  ASSERT_TRUE(WaitUntil([&] {
    char buffer[64];
    EXPECT_FALSE(socket_.ReadLine(buffer, sizeof buffer));
    EXPECT_EQ(socket_.LastStatus(), SocketStatus::kNoLine);
    return socket_.BufferedBytes() == 11;
  }));
  ASSERT_TRUE(client_.Send("\r\n"));
  std::string line;
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "abc\ndef\rghi");
}

TEST_F(LineSocketTest, CrAndLfInSeparateSegments) {
  ASSERT_TRUE(client_.Send("QUIT\r"));
  ASSERT_TRUE(WaitUntil([&] {
    char buffer[16];
    EXPECT_FALSE(socket_.ReadLine(buffer, sizeof buffer));
    return socket_.BufferedBytes() == 5;
  }));
  ASSERT_TRUE(client_.Send("\nNOOP\r\n"));
  std::string line;
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "QUIT");
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "NOOP");
}

TEST_F(LineSocketTest, EmptyLineAndTinyBuffers) {
  ASSERT_TRUE(client_.Send("\r\nxyz\r\n"));
  char one[1];
  EXPECT_FALSE(socket_.ReadLine(one, sizeof one));
  EXPECT_EQ(socket_.LastStatus(), SocketStatus::kLineBufferTooSmall);
  std::string line = "unchanged";
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "");
  ASSERT_TRUE(ReadLineWithin(&line, 2));
  EXPECT_EQ(line, "x");  // cut to size - 1
}

TEST_F(LineSocketTest, PeerCloseEndsReading) {
  ASSERT_TRUE(client_.Send("last\r\n"));
  client_.Close();
  std::string line;
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "last");
  EXPECT_FALSE(ReadLineWithin(&line));
  EXPECT_EQ(socket_.LastStatus(), SocketStatus::kClosed);
  EXPECT_EQ(socket_.GetState(), TcpSocket::State::kClosed);
}

TEST_F(LineSocketTest, UnterminatedFloodCountsAsClosed) {
  const std::string flood(LineSocket::kMaxUnterminatedBytes + 4096, 'z');
  ASSERT_TRUE(client_.Send(flood));
  std::string line;
  EXPECT_FALSE(ReadLineWithin(&line));
  EXPECT_EQ(socket_.LastStatus(), SocketStatus::kClosed);
  EXPECT_EQ(socket_.GetState(), TcpSocket::State::kClosed);
  EXPECT_EQ(socket_.BufferedBytes(), 0u);
}

TEST_F(LineSocketTest, LongLineBelowTheCapIsStillRead) {
  ASSERT_TRUE(client_.Send(std::string(60'000, 'q') + "\r\nNEXT\r\n"));
  std::string line;
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line.size(), 2047u);
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "NEXT");
}

TEST_F(LineSocketTest, ReceiveHandsOutBufferedBytesFirst) {
  ASSERT_TRUE(client_.Send("STOR x\r\nDATA"));
  std::string line;
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_EQ(line, "STOR x");
  ASSERT_TRUE(client_.Send("MORE"));
  char buffer[3];
  std::size_t length = sizeof buffer;
  ASSERT_TRUE(socket_.Receive(buffer, &length));
  EXPECT_EQ(std::string(buffer, length), "DAT");
  length = sizeof buffer;
  ASSERT_TRUE(socket_.Receive(buffer, &length));
  EXPECT_EQ(std::string(buffer, length), "A");
  std::string rest;
  ASSERT_TRUE(WaitUntil([&] {
    char chunk[16];
    std::size_t n = sizeof chunk;
    EXPECT_TRUE(socket_.Receive(chunk, &n));
    rest.append(chunk, n);
    return rest.size() >= 4;
  }));
  EXPECT_EQ(rest, "MORE");
}

TEST_F(LineSocketTest, CloseDiscardsBufferedBytes) {
  ASSERT_TRUE(client_.Send("one\r\ntwo\r\n"));
  std::string line;
  ASSERT_TRUE(ReadLineWithin(&line));
  EXPECT_GT(socket_.BufferedBytes(), 0u);
  socket_.Close();
  EXPECT_EQ(socket_.BufferedBytes(), 0u);
  char buffer[16];
  EXPECT_FALSE(socket_.ReadLine(buffer, sizeof buffer));
  EXPECT_EQ(socket_.LastStatus(), SocketStatus::kNotConnected);
}

}  // namespace
}  // namespace quillon::runtime
