#include "update/updater.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "runtime/tcp_socket.h"
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
// others), then closes; a response marked `hold` stays open after its bytes.
class CannedHttpServer {
 public:
  struct Response {
    std::string bytes;
    bool hold = false;
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
    std::lock_guard<std::mutex> guard(mutex_);
    responses_[path] = {std::move(bytes), hold};
  }
  static std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
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
      for (std::size_t sent = 0; sent < response.bytes.size();) {
        std::size_t length = response.bytes.size() - sent;
        if (!peer.Send(response.bytes.data() + sent, &length)) break;
        sent += length;
        if (length == 0) peer.WaitWritable(nullptr, 10);
      }
      while (response.hold && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      peer.Shutdown();
    }
  }

  runtime::TcpSocket listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::map<std::string, Response> responses_;
  std::vector<std::string> requests_;
};

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

  // Runs an update to its end; its final state.
  Updater::State RunToEnd(Updater& updater) {
    EXPECT_TRUE(updater.StartUpdate(MakeJob()));
    EXPECT_TRUE(testing::WaitUntil([&] { return !updater.IsRunning(); }, 20'000));
    return updater.GetState();
  }

  void Publish(const std::string& version, const std::string& program, const std::string& signature) {
    server_.Set("/updates/qfs.txt", CannedHttpServer::Ok(version));
    server_.Set("/updates/quillon-ftp-server", CannedHttpServer::Ok(program));
    server_.Set("/updates/quillon-ftp-server.sig", CannedHttpServer::Ok(signature));
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
};

TEST_F(UpdaterTest, TheSameVersionNeedsNothingAndALineEndIsNotTheSame) {
  const std::string program = "the new program, version 1.04";
  Publish("1.03", program, key_.Sign(program));
  Updater updater;
  EXPECT_EQ(RunToEnd(updater), Updater::kNoUpdate);
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0],
            "GET /updates/qfs.txt HTTP/1.1\r\nAccept: */*\r\nPragma: no-cache\r\n"
            "If-Modified-Since: Thu, 15 Mar 2001 12:36:46 GMT\r\nUser-Agent: Mozilla/4.0 "
            "(compatible; MSIE 5.5; Windows 98)\r\nHost: 127.0.0.1\r\nReferer: Quillon FTP Server "
            "1.03\r\nConnection: Close\r\n\r\n");

  server_.Set("/updates/qfs.txt", CannedHttpServer::Ok("1.03\r\n"));
  EXPECT_EQ(RunToEnd(updater), Updater::kInstalled);
  EXPECT_EQ(updater.BytesReceived(), program.size());
  EXPECT_EQ(updater.ContentLength(), program.size());
  EXPECT_EQ(testing::ReadWholeFile(program_), program);
  EXPECT_EQ(testing::ReadWholeFile(program_ + ".old"), "the running program");
  EXPECT_EQ(std::filesystem::status(program_).permissions(), std::filesystem::perms(0755));
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{"quillon-ftp-server", "quillon-ftp-server.old"}));

  // The next update replaces the ".old" file of the last.
  const std::string newer = "the newest program";
  Publish("1.05", newer, key_.Sign(newer));
  EXPECT_EQ(RunToEnd(updater), Updater::kInstalled);
  EXPECT_EQ(testing::ReadWholeFile(program_ + ".old"), program);
}

TEST_F(UpdaterTest, WhatIsNotSignedOrWholeLeavesTheProgramUntouched) {
  const std::string program = "a program from somewhere";
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
      {"not 200", [&] { server_.Set("/updates/qfs.txt", "HTTP/1.1 500 Oops\r\nContent-Length: 4\r\n\r\n1.04"); }},
  };
  for (const Case& c : cases) {
    c.publish();
    Updater updater;
    EXPECT_EQ(RunToEnd(updater), Updater::kFailed) << c.name;
    EXPECT_FALSE(updater.FailureText().empty()) << c.name;
    EXPECT_EQ(testing::ReadWholeFile(program_), "the running program") << c.name;
    EXPECT_EQ(FolderNames(), std::vector<std::string>{"quillon-ftp-server"}) << c.name;
  }

  // A folder that cannot take the new file fails before anything is replaced.
  {
    Publish("1.04", program, key_.Sign(program));
    Updater updater;
    Updater::Job job = MakeJob();
    job.program_file = "/proc/quillon-ftp-server";  // no file can be made there, not even by root
    ASSERT_TRUE(updater.StartUpdate(job));
    ASSERT_TRUE(testing::WaitUntil([&] { return !updater.IsRunning(); }, 20'000));
    EXPECT_EQ(updater.GetState(), Updater::kFailed);
    EXPECT_NE(updater.FailureText().find("no temporary file"), std::string::npos);
  }

  // A build without a release key never installs anything.
  Publish("1.04", program, key_.Sign(program));
  Updater updater;
  Updater::Job job = MakeJob();
  job.public_key.clear();
  ASSERT_TRUE(updater.StartUpdate(job));
  ASSERT_TRUE(testing::WaitUntil([&] { return !updater.IsRunning(); }, 20'000));
  EXPECT_EQ(updater.GetState(), Updater::kFailed);
  EXPECT_EQ(testing::ReadWholeFile(program_), "the running program");
}

TEST_F(UpdaterTest, StopEndsAStalledDownloadPromptly) {
  const std::string program(4096, 'x');
  Publish("1.04", program, key_.Sign(program));
  server_.Set("/updates/quillon-ftp-server",
              "HTTP/1.1 200 OK\r\nContent-Length: 4096\r\n\r\n" + program.substr(0, 2048), true);
  Updater updater;
  ASSERT_TRUE(updater.StartUpdate(MakeJob()));
  ASSERT_TRUE(testing::WaitUntil([&] { return updater.BytesReceived() == 2048; }, 20'000));
  EXPECT_EQ(updater.GetState(), Updater::kDownloading);
  const auto started = std::chrono::steady_clock::now();
  updater.StopUpdate();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ(updater.GetState(), Updater::kFailed);
  EXPECT_EQ(FolderNames(), std::vector<std::string>{"quillon-ftp-server"});
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
