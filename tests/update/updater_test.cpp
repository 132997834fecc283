#include "update/updater.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "runtime/tcp_socket.h"
#include "platform/clock.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "update/signature.h"

namespace quillon::update {
namespace {

// An Ed25519 key pair made for the test, signing like the release script.
class TestKey {
 public:
  TestKey() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")) {}
  ~TestKey() { EVP_PKEY_free(key_); }

  std::string Public() const {
    std::string raw(kPublicKeyBytes, '\0');
    std::size_t length = raw.size();
    EVP_PKEY_get_raw_public_key(key_, reinterpret_cast<unsigned char*>(raw.data()), &length);
    return raw;
  }
  std::string Sign(const std::string& message) const {
    std::string signature(kSignatureBytes, '\0');
    std::size_t length = signature.size();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_);
    EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                   reinterpret_cast<const unsigned char*>(message.data()), message.size());
    EVP_MD_CTX_free(context);
    return signature;
  }

 private:
  EVP_PKEY* key_;
};

// Answers each request with the canned response for its path (404 for
// others), one connection at a time. After its bytes a response closes, or
// holds the connection open, drips its `more` bytes (over and over) one at a
// time, or streams `stream_bytes` filler bytes as fast as the peer takes
// them and then holds; each of the last three ends when the peer goes.
class CannedHttpServer {
 public:
  enum class After { kClose, kHold, kDrip, kStream };
  struct Response {
    std::string bytes;
    After after = After::kClose;
    std::string more = "";
    std::uint64_t stream_bytes = 0;
  };

  CannedHttpServer() {
    EXPECT_TRUE(listener_.ListenOn(0));
    thread_ = std::thread([this] { Serve(); });
  }
  ~CannedHttpServer() {
    stop_ = true;
    thread_.join();
  }

  std::uint16_t Port() const { return listener_.LocalPort(); }
  void Set(const std::string& path, std::string bytes, bool hold = false) {
    Set(path, Response{std::move(bytes), hold ? After::kHold : After::kClose, ""});
  }
  void Set(const std::string& path, Response response) {
    std::lock_guard<std::mutex> guard(mutex_);
    responses_[path] = std::move(response);
  }
  static std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
  }
  // Bytes sent in answers to `path`, all requests together.
  std::uint64_t Sent(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    return sent_[path];
  }

 private:
  void Serve() {
    while (!stop_) {
      if (!listener_.WaitReadable(nullptr, 20)) continue;
      runtime::TcpSocket peer;
      if (!listener_.AcceptInto(peer)) continue;
      std::string request;
      char buffer[2048];
      for (int tries = 0; tries < 500 && request.find("\r\n\r\n") == std::string::npos; ++tries) {
        std::size_t length = sizeof buffer;
        if (!peer.Receive(buffer, &length)) break;
        request.append(buffer, length);
        if (length == 0) peer.WaitReadable(nullptr, 10);
      }
      const std::size_t space = request.find(' ');
      const std::string path = request.substr(space + 1, request.find(' ', space + 1) - space - 1);
      Response response{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"};
      {
        std::lock_guard<std::mutex> guard(mutex_);
        requests_.push_back(request);
        if (auto found = responses_.find(path); found != responses_.end()) response = found->second;
      }
      bool open = SendAll(peer, path, response.bytes);
      switch (response.after) {
        case After::kClose:
          break;
        case After::kHold:
          while (open && !stop_) open = PeerStays(peer, 10);
          break;
        case After::kDrip:
          for (std::size_t at = 0; open && !stop_; ++at)
            open = SendAll(peer, path, response.more.substr(at % response.more.size(), 1)) &&
                   PeerStays(peer, 10);
          break;
        case After::kStream: {
          const std::string block(64 * 1024, 'x');
          for (std::uint64_t left = response.stream_bytes; open && left > 0 && !stop_;) {
            const std::size_t length =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
            open = SendAll(peer, path, std::string_view(block).substr(0, length));
            left -= length;
          }
          while (open && !stop_) open = PeerStays(peer, 10);
          break;
        }
      }
      peer.Shutdown();
    }
  }

  // Sends every byte, counting them; false when the peer has gone.
  bool SendAll(runtime::TcpSocket& peer, const std::string& path, std::string_view bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      if (stop_) return false;
      std::size_t length = bytes.size() - sent;
      if (!peer.Send(bytes.data() + sent, &length)) return false;
      sent += length;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        sent_[path] += length;
      }
      if (length == 0) peer.WaitWritable(nullptr, 10);
    }
    return true;
  }
  // Waits up to `ms` for the peer; false when it has closed its side.
  static bool PeerStays(runtime::TcpSocket& peer, std::uint32_t ms) {
    if (!peer.WaitReadable(nullptr, ms)) return true;
    char byte;
    std::size_t length = 1;
    return peer.Receive(&byte, &length);
  }

  runtime::TcpSocket listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::map<std::string, Response> responses_;
  std::vector<std::string> requests_;
  std::map<std::string, std::uint64_t> sent_;
};

constexpr const char* kVersionPath = "/updates/qfs.txt";
constexpr const char* kProgramPath = "/updates/quillon-ftp-server";
constexpr const char* kSignaturePath = "/updates/quillon-ftp-server.sig";

// A program file of release `version`: its bytes hold the release mark, as
// a built program's do.
std::string Release(const std::string& version, const std::string& body) {
  return body + "\x01quillon-release-version=" + version + "\x01" + "rest of " + body;
}

class UpdaterTest : public ::testing::Test {
 protected:
  UpdaterTest() {
    program_ = dir_.File("quillon-ftp-server");
    testing::WriteWholeFile(program_, "the running program");
    std::filesystem::permissions(program_, std::filesystem::perms(0755));
  }

  Updater::Job MakeJob() {
    Updater::Job job;
    job.program_file = program_;
    job.own_version = "1.03";
    job.source = *SourceFromUrl("http://127.0.0.1:" + std::to_string(server_.Port()) + "/");
    job.referer = "Quillon FTP Server 1.03";
    job.public_key = key_.Public();
    return job;
  }

  // Runs an update (of `job`, else the usual one) to its end; its final state.
  Updater::State RunToEnd(Updater& updater, std::optional<Updater::Job> job = std::nullopt) {
    EXPECT_TRUE(updater.StartUpdate(job ? *job : MakeJob()));
    EXPECT_TRUE(testing::WaitUntil([&] { return !updater.IsRunning(); }, 20'000));
    return updater.GetState();
  }

  void Publish(const std::string& version, const std::string& program, const std::string& signature) {
    server_.Set(kVersionPath, CannedHttpServer::Ok(version));
    server_.Set(kProgramPath, CannedHttpServer::Ok(program));
    server_.Set(kSignaturePath, CannedHttpServer::Ok(signature));
  }

  // Puts the running program back as it was before an update installed one.
  void Reinstate() {
    testing::WriteWholeFile(program_, "the running program");
    std::filesystem::remove(program_ + ".old");
  }

  // Nothing but the program file (and what the test put there) remains.
  std::vector<std::string> FolderNames() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempDir dir_;
  std::string program_;
  TestKey key_;
  CannedHttpServer server_;
  platform::SystemClock clock_;
};

TEST_F(UpdaterTest, TheSameVersionNeedsNothingAndANewerOneIsInstalled) {
  const std::string program = Release("1.04", "the new program");
  Publish("1.03", program, key_.Sign(program));
  Updater updater(clock_);
  EXPECT_EQ(RunToEnd(updater), Updater::kNoUpdate);
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0],
            "GET /updates/qfs.txt HTTP/1.1\r\nAccept: */*\r\nPragma: no-cache\r\n"
            "If-Modified-Since: Thu, 15 Mar 2001 12:36:46 GMT\r\nUser-Agent: Mozilla/4.0 "
            "(compatible; MSIE 5.5; Windows 98)\r\nHost: 127.0.0.1\r\nReferer: Quillon FTP Server "
            "1.03\r\nConnection: Close\r\n\r\n");

  server_.Set(kVersionPath, CannedHttpServer::Ok("1.04\r\n"));
  EXPECT_EQ(RunToEnd(updater), Updater::kInstalled);
  EXPECT_EQ(updater.BytesReceived(), program.size());
  EXPECT_EQ(updater.ContentLength(), program.size());
  EXPECT_EQ(testing::ReadWholeFile(program_), program);
  EXPECT_EQ(testing::ReadWholeFile(program_ + ".old"), "the running program");
  EXPECT_EQ(std::filesystem::status(program_).permissions(), std::filesystem::perms(0755));
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{"quillon-ftp-server", "quillon-ftp-server.old"}));

  // The next update replaces the ".old" file of the last.
  const std::string newer = Release("1.05", "the newest program");
  Publish("1.05", newer, key_.Sign(newer));
  EXPECT_EQ(RunToEnd(updater), Updater::kInstalled);
  EXPECT_EQ(testing::ReadWholeFile(program_ + ".old"), program);
}

TEST_F(UpdaterTest, WhatIsNotSignedOrWholeLeavesTheProgramUntouched) {
  const std::string program = Release("1.04", "a program from somewhere");
  struct Case {
    const char* name;
    std::function<void()> publish;
  };
  TestKey stranger;
  const Case cases[] = {
      {"signed by another key", [&] { Publish("1.04", program, stranger.Sign(program)); }},
      {"signature of another file", [&] { Publish("1.04", program, key_.Sign(program + "!")); }},
      {"no signature",
       [&] {
         Publish("1.04", program, "");
         server_.Set("/updates/quillon-ftp-server.sig", "HTTP/1.1 404 Not Found\r\n\r\n");
       }},
      {"no Content-Length",
       [&] {
         Publish("1.04", program, key_.Sign(program));
         server_.Set("/updates/qfs.txt", "HTTP/1.1 200 OK\r\n\r\n1.04");
       }},
      {"cut short",
       [&] {
         Publish("1.04", program, key_.Sign(program));
         server_.Set("/updates/quillon-ftp-server",
                     "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + program);
       }},
      {"longer than announced",
       [&] {
         Publish("1.04", program, key_.Sign(program));
         server_.Set("/updates/quillon-ftp-server",
                     "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n" + program + program);
       }},
  };
  for (const Case& c : cases) {
    c.publish();
    Updater updater(clock_);
    EXPECT_EQ(RunToEnd(updater), Updater::kFailed) << c.name;
    EXPECT_FALSE(updater.FailureText().empty()) << c.name;
    EXPECT_EQ(testing::ReadWholeFile(program_), "the running program") << c.name;
    EXPECT_EQ(FolderNames(), std::vector<std::string>{"quillon-ftp-server"}) << c.name;
  }

  // A folder that cannot take the new file fails before anything is replaced.
  {
    Publish("1.04", program, key_.Sign(program));
    Updater updater(clock_);
    Updater::Job job = MakeJob();
    job.program_file = "/proc/quillon-ftp-server";  // no file can be made there, not even by root
    EXPECT_EQ(RunToEnd(updater, job), Updater::kFailed);
    EXPECT_NE(updater.FailureText().find("no temporary file"), std::string::npos);
  }

  // A build without a release key never installs anything.
  Publish("1.04", program, key_.Sign(program));
  Updater updater(clock_);
  Updater::Job job = MakeJob();
  job.public_key.clear();
  EXPECT_EQ(RunToEnd(updater, job), Updater::kFailed);
  EXPECT_EQ(testing::ReadWholeFile(program_), "the running program");
}

TEST_F(UpdaterTest, StopEndsAStalledDownloadPromptly) {
  const std::string program(4096, 'x');
  Publish("1.04", program, key_.Sign(program));
  server_.Set("/updates/quillon-ftp-server",
              "HTTP/1.1 200 OK\r\nContent-Length: 4096\r\n\r\n" + program.substr(0, 2048), true);
  Updater updater(clock_);
  ASSERT_TRUE(updater.StartUpdate(MakeJob()));
  ASSERT_TRUE(testing::WaitUntil([&] { return updater.BytesReceived() == 2048; }, 20'000));
  EXPECT_EQ(updater.GetState(), Updater::kDownloading);
  const auto started = std::chrono::steady_clock::now();
  updater.StopUpdate();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ(updater.GetState(), Updater::kFailed);
  EXPECT_EQ(FolderNames(), std::vector<std::string>{"quillon-ftp-server"});
}

TEST_F(UpdaterTest, OnlyANewerReleaseIsInstalledEvenWhenSigned) {
  struct Case {
    const char* name;
    std::string offered;  // the version file
    std::string program;  // the signed program file
    Updater::State state;
    const char* failure;  // part of the failure text, for kFailed
  };
  const Case cases[] = {
      {"the same version", "1.03", Release("1.03", "this program"), Updater::kNoUpdate, ""},
      {"the same version with a line end", "1.03\r\n", Release("1.03", "this program"),
       Updater::kNoUpdate, ""},
      {"the same version written differently", "1.3", Release("1.03", "this program"),
       Updater::kNoUpdate, ""},
      {"an older version", "1.02", Release("1.02", "an older program"), Updater::kNoUpdate, ""},
      {"an older version by its first number", "0.99", Release("0.99", "an old program"),
       Updater::kNoUpdate, ""},
      {"an older signed release offered as newer", "1.04", Release("1.02", "an older program"),
       Updater::kFailed, "the program file is version 1.02, not newer than this program's 1.03"},
      {"this release offered as newer", "1.04", Release("1.03", "this program"), Updater::kFailed,
       "the program file is version 1.03, not newer than this program's 1.03"},
      {"a signed release from before release marks", "1.04", "an old program without a mark",
       Updater::kFailed, "the program file names no release version"},
      {"a release that names two versions", "1.04",
       Release("1.04", "a program") + Release("1.02", "another"), Updater::kFailed,
       "the program file names more than one release version"},
      {"a newer release than the one offered", "1.04", Release("1.05", "a newer program"),
       Updater::kFailed, "the program file is version 1.05, not the 1.04 the version file offers"},
      {"no version", "latest", Release("1.04", "a program"), Updater::kFailed,
       "the version file names no version"},
      {"an empty version file", "", Release("1.04", "a program"), Updater::kFailed,
       "the version file names no version"},
      {"a version with more after it", "1.04 beta", Release("1.04", "a program"),
       Updater::kFailed, "the version file names no version"},
      {"a newer version", "1.04", Release("1.04", "a newer program"), Updater::kInstalled, ""},
      {"a newer version by a number, not by text", "1.10", Release("1.10", "a newer program"),
       Updater::kInstalled, ""},
      {"a newer version by a third number", "1.03.1", Release("1.03.1", "a fixed program"),
       Updater::kInstalled, ""},
  };
  for (const Case& c : cases) {
    Publish(c.offered, c.program, key_.Sign(c.program));
    const std::size_t requests = server_.Requests().size();
    Updater updater(clock_);
    EXPECT_EQ(RunToEnd(updater), c.state) << c.name;
    if (c.state == Updater::kInstalled) {
      EXPECT_EQ(testing::ReadWholeFile(program_), c.program) << c.name;
      EXPECT_EQ(FolderNames(),
                (std::vector<std::string>{"quillon-ftp-server", "quillon-ftp-server.old"}))
          << c.name;
      Reinstate();
      continue;
    }
    if (c.state == Updater::kFailed) {
      EXPECT_NE(updater.FailureText().find(c.failure), std::string::npos)
          << c.name << ": " << updater.FailureText();
    } else {
      // What is not newer is not even downloaded.
      EXPECT_EQ(server_.Requests().size(), requests + 1) << c.name;
    }
    EXPECT_EQ(testing::ReadWholeFile(program_), "the running program") << c.name;
    EXPECT_EQ(FolderNames(), std::vector<std::string>{"quillon-ftp-server"}) << c.name;
  }
}

TEST_F(UpdaterTest, OnlyAStatusOf200IsSuccessWhateverTheRestOfTheLineSays) {
  const std::string program = Release("1.04", "the new program");
  const std::string signature = key_.Sign(program);
  struct Case {
    const char* path;
    const char* status_line;
    bool installed;
  };
  const Case cases[] = {
      {kVersionPath, "HTTP/1.1 404 Not 200 Found", false},
      {kSignaturePath, "HTTP/1.1 404 Not 200 Found", false},
      {kProgramPath, "HTTP/1.1 404 Not 200 Found", false},
      {kProgramPath, "HTTP/1.1 500 200 ", false},
      {kProgramPath, "HTTP/1.1 201 Created 200 OK", false},
      {kProgramPath, "HTTP/1.1 2000 OK", false},
      {kProgramPath, "HTTP/1.1 0200 OK", false},
      {kProgramPath, "HTTP/1.1 200OK", false},
      {kProgramPath, "HTTP/1.1  200 OK", false},
      {kProgramPath, " HTTP/1.1 200 OK", false},
      {kProgramPath, "HTTP/2 200 OK", false},
      {kProgramPath, "HTTP/1.10 200 OK", false},
      {kProgramPath, "XHTTP/1.1 200 OK", false},
      {kProgramPath, "200 OK", false},
      {kProgramPath, "HTTP/1.1 200 OK", true},
      {kProgramPath, "HTTP/1.0 200 OK", true},
      {kProgramPath, "HTTP/1.1 200", true},
      {kProgramPath, "HTTP/1.1 200 Fine, 404 elsewhere", true},
  };
  for (const Case& c : cases) {
    Publish("1.04", program, signature);
    const std::string body = c.path == std::string(kVersionPath)     ? "1.04"
                             : c.path == std::string(kSignaturePath) ? signature
                                                                     : program;
    server_.Set(c.path, std::string(c.status_line) + "\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n" + body);
    Updater updater(clock_);
    const std::string name = std::string(c.path) + " answered " + c.status_line;
    EXPECT_EQ(RunToEnd(updater), c.installed ? Updater::kInstalled : Updater::kFailed) << name;
    if (c.installed) {
      EXPECT_EQ(testing::ReadWholeFile(program_), program) << name;
      Reinstate();
      continue;
    }
    EXPECT_NE(updater.FailureText().find("could not be fetched"), std::string::npos)
        << name << ": " << updater.FailureText();
    EXPECT_EQ(testing::ReadWholeFile(program_), "the running program") << name;
    EXPECT_EQ(FolderNames(), std::vector<std::string>{"quillon-ftp-server"}) << name;
  }
}

TEST_F(UpdaterTest, NoMoreThanTheCapIsEverStoredOrRead) {
  const std::string program = Release("1.04", "the new program");
  // More filler than the cap, which the server streams after the headers
  // for as long as the updater takes it.
  const std::uint64_t over_cap = Updater::kProgramSizeCap + 1024 * 1024;
  using After = CannedHttpServer::After;
  struct Case {
    const char* name;
    const char* headers;
    After after;
    const char* failure;
  };
  const Case cases[] = {
      {"one byte over the cap, refused before any body", "Content-Length: 134217729\r\n",
       After::kHold, "the program file is larger than 128 MiB"},
      {"one byte over the cap", "Content-Length: 134217729\r\n", After::kStream,
       "the program file is larger than 128 MiB"},
      {"the largest 32-bit length", "Content-Length: 4294967295\r\n", After::kStream,
       "the program file is larger than 128 MiB"},
      {"a length that wraps in 64 bits", "Content-Length: 18446744073709551617\r\n",
       After::kStream, "the program file is larger than 128 MiB"},
      {"two lengths", "Content-Length: 100\r\nContent-Length: 4000000000\r\n", After::kStream,
       "the program file could not be fetched"},
      {"chunked, no length", "Transfer-Encoding: chunked\r\n", After::kStream,
       "the program file could not be fetched"},
      {"chunked with a length", "Transfer-Encoding: chunked\r\nContent-Length: 100\r\n",
       After::kStream, "the program file could not be fetched"},
      {"no length", "", After::kStream, "the program file could not be fetched"},
      {"a length that is no number", "Content-Length: -1\r\n", After::kStream,
       "the program file could not be fetched"},
      {"a length that lies", "Content-Length: 2048\r\n", After::kStream,
       "the program file is larger than announced"},
  };
  for (const Case& c : cases) {
    Publish("1.04", program, key_.Sign(program));
    const std::uint64_t sent_before = server_.Sent(kProgramPath);
    server_.Set(kProgramPath,
                {std::string("HTTP/1.1 200 OK\r\n") + c.headers + "\r\n", c.after, "", over_cap});
    Updater updater(clock_);
    EXPECT_EQ(RunToEnd(updater), Updater::kFailed) << c.name;
    EXPECT_EQ(updater.FailureText(), c.failure) << c.name;
    // Nothing beyond an announced length within the cap was taken in...
    EXPECT_LE(updater.BytesReceived(), 2048u) << c.name;
    // ...nor read from the network, which would have drained the stream.
    EXPECT_LT(server_.Sent(kProgramPath) - sent_before, Updater::kProgramSizeCap) << c.name;
    EXPECT_EQ(testing::ReadWholeFile(program_), "the running program") << c.name;
    EXPECT_EQ(FolderNames(), std::vector<std::string>{"quillon-ftp-server"}) << c.name;
  }

  // A program of exactly the cap is taken.
  std::string capped = Release("1.04", "the largest program");
  capped.resize(Updater::kProgramSizeCap, 'p');
  Publish("1.04", capped, key_.Sign(capped));
  Updater updater(clock_);
  EXPECT_EQ(RunToEnd(updater), Updater::kInstalled) << updater.FailureText();
  EXPECT_EQ(updater.BytesReceived(), Updater::kProgramSizeCap);
  EXPECT_EQ(std::filesystem::file_size(program_), Updater::kProgramSizeCap);
}

TEST_F(UpdaterTest, AServerThatDripsFailsWhenTheFilesTimeIsUp) {
  const std::string program = Release("1.04", "the new program");
  using After = CannedHttpServer::After;
  struct Case {
    const char* path;
    CannedHttpServer::Response response;
    std::uint32_t deadline_ms;
    const char* failure;
  };
  // Header lines for ever, or a body of a million bytes, a byte at a time.
  const Case cases[] = {
      {kVersionPath, {"HTTP/1.1 200 OK\r\n", After::kDrip, "X-Drip: 1\r\n"},
       Updater::kSmallFileDeadlineMs, "the version file did not arrive within 60 seconds"},
      {kSignaturePath, {"HTTP/1.1 200 OK\r\n", After::kDrip, "X-Drip: 1\r\n"},
       Updater::kSmallFileDeadlineMs,
       "the program file's signature did not arrive within 60 seconds"},
      {kProgramPath, {"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n", After::kDrip, "p"},
       Updater::kProgramDeadlineMs, "the program file did not arrive within 20 minutes"},
  };
  for (const Case& c : cases) {
    Publish("1.04", program, key_.Sign(program));
    server_.Set(c.path, c.response);
    const std::uint64_t sent_before = server_.Sent(c.path);
    testing::ManualClock clock;
    Updater updater(clock);
    ASSERT_TRUE(updater.StartUpdate(MakeJob()));
    // The drip has begun, so the file's time is running.
    ASSERT_TRUE(testing::WaitUntil([&] { return server_.Sent(c.path) > sent_before + 50; }, 20'000))
        << c.path;
    // A millisecond short of the time the connection stays: the server
    // goes on dripping into it.
    clock.Advance(c.deadline_ms - 1);
    const std::uint64_t sent_then = server_.Sent(c.path);
    EXPECT_TRUE(testing::WaitUntil([&] { return server_.Sent(c.path) > sent_then + 20; }, 20'000))
        << c.path;
    EXPECT_TRUE(updater.IsRunning()) << c.path;
    // The time is up: the update fails at the next byte.
    clock.Advance(1);
    EXPECT_TRUE(testing::WaitUntil([&] { return !updater.IsRunning(); }, 20'000)) << c.path;
    EXPECT_EQ(updater.GetState(), Updater::kFailed) << c.path;
    EXPECT_EQ(updater.FailureText(), c.failure) << c.path;
    EXPECT_EQ(testing::ReadWholeFile(program_), "the running program") << c.path;
    EXPECT_EQ(FolderNames(), std::vector<std::string>{"quillon-ftp-server"}) << c.path;
  }
}

TEST(UpdateSourceTest, UrlsNameTheUpdateFolder) {
  const std::optional<UpdateSource> plain = SourceFromUrl("http://updates.example.org");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->host, "updates.example.org");
  EXPECT_EQ(plain->port, 80);
  EXPECT_EQ(plain->version_path, "/updates/qfs.txt");
  EXPECT_EQ(plain->program_path, "/updates/quillon-ftp-server");
  const std::optional<UpdateSource> folder = SourceFromUrl("http://127.0.0.1:8080/mirror/x");
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->port, 8080);
  EXPECT_EQ(folder->version_path, "/mirror/x/updates/qfs.txt");
  for (const char* bad : {"https://a/", "http://", "http://a:0/", "http://a:70000/", "http://a:/",
                          "http://user@a/", "http://a/b c/", "ftp://a/"})
    EXPECT_FALSE(SourceFromUrl(bad)) << bad;
  EXPECT_EQ(KeyFromHex(std::string(64, 'A')), std::string(32, '\xaa'));
  EXPECT_EQ(KeyFromHex(std::string(63, 'a')), "");
  EXPECT_EQ(KeyFromHex(std::string(62, 'a') + "g0"), "");
}

}  // namespace
}  // namespace quillon::update
