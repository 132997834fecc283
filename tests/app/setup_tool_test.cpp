// quillon-setup init on a program folder of its own: what a new
// installation gets by default (HTTPS for the remote admin, a made-up admin
// password that is never printed), and what a second init keeps.
#include "app/setup_tool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/users.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::app {
namespace {

using testing::ReadWholeFile;

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

class SetupToolInitTest : public ::testing::Test {
 protected:
  Outcome Run(std::vector<std::string> args) {
    testing::ManualClock clock;
    SetupTool tool(clock, dir_.Path(), dir_.File("quillon-ftp-server"));
    Outcome outcome;
    outcome.code = tool.Run(args, &outcome.out, &outcome.err);
    return outcome;
  }
  Outcome Init(std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"init", "--ftp-port", "2100", "--admin-port", "7100"};
    args.insert(args.end(), more.begin(), more.end());
    return Run(args);
  }
  std::string Config(const std::string& name) const { return dir_.File("config/" + name); }
  std::string Get(const std::string& key) {
    const Outcome got = Run({"get", key});
    EXPECT_EQ(got.code, 0) << got.err;
    return got.out;
  }
  static struct stat Lstat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  testing::TempDir dir_;
};

TEST_F(SetupToolInitTest, ANewInstallationServesTheAdminOverHttpsAndNeverPrintsItsPassword) {
  const Outcome init = Init();
  ASSERT_EQ(init.code, 0) << init.err;
  const std::string password_file = Config(SetupTool::kAdminPasswordFile);
  const std::string password = ReadWholeFile(password_file);
  ASSERT_EQ(password.size(), 13u);
  EXPECT_EQ(password.back(), '\n');
  EXPECT_EQ(password.find_first_not_of("abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789"), 12u);
  const struct stat st = Lstat(password_file);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, geteuid());

  EXPECT_EQ(init.out.find(password.substr(0, 12)), std::string::npos);
  EXPECT_EQ(init.out.find("http://"), std::string::npos);
  EXPECT_NE(init.out.find("Remote admin: https://127.0.0.1:7100/\n"), std::string::npos) << init.out;
  EXPECT_NE(init.out.find("Admin password: in config/admin-password.txt (readable only by " +
                          platform::EffectiveUserName() + "; read it once, then delete the file)\n"),
            std::string::npos)
      << init.out;
  std::string host = platform::HostName();
  if (host.empty()) host = "localhost";
  EXPECT_NE(init.out.find("Self-signed certificate for " + host + " written to " +
                          Config(SetupTool::kTlsCertificateFile)),
            std::string::npos)
      << init.out;

  // The same certificate as "tls generate" makes, and the admin on HTTPS.
  EXPECT_EQ(Get("admin_tls"), "on\n");
  EXPECT_EQ(Get("tls"), "optional\n");
  EXPECT_EQ(Get("tls_certificate"), Config(SetupTool::kTlsCertificateFile) + "\n");
  EXPECT_EQ(Get("tls_key"), Config(SetupTool::kTlsKeyFile) + "\n");
  EXPECT_NE(ReadWholeFile(Config(SetupTool::kTlsCertificateFile)).find("BEGIN CERTIFICATE"), std::string::npos);
  EXPECT_EQ(Get("password_storage"), "hashed\n");
  // Offline too, the password itself is not to be had.
  EXPECT_EQ(Get("mRAPass"), "set\n");
  EXPECT_EQ(Get("mRAPort"), "7100\n");
}

TEST_F(SetupToolInitTest, InitAgainKeepsTheCertificateAndReplacesThePasswordFile) {
  ASSERT_EQ(Init().code, 0);
  const std::string certificate = ReadWholeFile(Config(SetupTool::kTlsCertificateFile));
  const std::string key = ReadWholeFile(Config(SetupTool::kTlsKeyFile));
  const std::string first = ReadWholeFile(Config(SetupTool::kAdminPasswordFile));
  // Someone made the old file readable to all: the new one is owner-only again.
  ASSERT_EQ(chmod(Config(SetupTool::kAdminPasswordFile).c_str(), 0644), 0);

  EXPECT_NE(Init().err.find("--force replaces them"), std::string::npos);
  const Outcome again = Init({"--force"});
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_NE(again.out.find("Certificate kept: " + Config(SetupTool::kTlsCertificateFile) +
                           " (tls_certificate in config/quillon.conf).\n"),
            std::string::npos)
      << again.out;
  EXPECT_EQ(again.out.find("Self-signed"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(Config(SetupTool::kTlsCertificateFile)), certificate);
  EXPECT_EQ(ReadWholeFile(Config(SetupTool::kTlsKeyFile)), key);
  const std::string second = ReadWholeFile(Config(SetupTool::kAdminPasswordFile));
  EXPECT_EQ(second.size(), 13u);
  EXPECT_NE(second, first);
  EXPECT_EQ(Lstat(Config(SetupTool::kAdminPasswordFile)).st_mode & 07777, 0600u);
  EXPECT_EQ(Get("admin_tls"), "on\n");

  // A password given is the administrator's: no file, none printed, and the
  // file of the earlier init goes.
  const Outcome given = Init({"--force", "--admin-password", "Given-Pass-1"});
  ASSERT_EQ(given.code, 0) << given.err;
  EXPECT_NE(given.out.find("Admin password: as given\n"), std::string::npos) << given.out;
  EXPECT_EQ(given.out.find("Given-Pass-1"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Config(SetupTool::kAdminPasswordFile)));
  EXPECT_EQ(Get("mRAPass"), "set\n");
}

TEST_F(SetupToolInitTest, NoTlsKeepsTheAdminOnPlainHttpWithoutACertificate) {
  const Outcome init = Init({"--no-tls", "--admin-password", "Given-Pass-1"});
  ASSERT_EQ(init.code, 0) << init.err;
  EXPECT_NE(init.out.find("Remote admin: http://127.0.0.1:7100/\n"), std::string::npos) << init.out;
  EXPECT_EQ(init.out.find("https://"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Config(SetupTool::kTlsCertificateFile)));
  EXPECT_FALSE(std::filesystem::exists(Config(SetupTool::kAdminPasswordFile)));
  EXPECT_EQ(Get("admin_tls"), "off\n");
  EXPECT_EQ(Get("tls"), "off\n");
  EXPECT_EQ(Get("tls_certificate"), "\n");

  // Set up again with HTTPS, then back: the admin follows the flag.
  ASSERT_EQ(Init({"--force"}).code, 0);
  EXPECT_EQ(Get("admin_tls"), "on\n");
  const Outcome back = Init({"--force", "--no-tls"});
  ASSERT_EQ(back.code, 0) << back.err;
  EXPECT_NE(back.out.find("Remote admin: http://127.0.0.1:7100/\n"), std::string::npos) << back.out;
  EXPECT_EQ(Get("admin_tls"), "off\n");
}

TEST_F(SetupToolInitTest, WhatInitCannotDoSafelyStopsItWithTheReason) {
  ASSERT_TRUE(std::filesystem::create_directories(dir_.File("config")));
  const std::string settings = Config("settings.dta");
  // A quillon.conf that cannot be read stops init before the settings are
  // written: they would be stored without knowing the password form.
  ASSERT_TRUE(std::filesystem::create_directory(Config("quillon.conf")));
  Outcome init = Init();
  EXPECT_EQ(init.code, 1);
  EXPECT_EQ(init.err, "Unable to read config/quillon.conf.\n");
  EXPECT_FALSE(std::filesystem::exists(settings));
  std::filesystem::remove(Config("quillon.conf"));

  // A link in the password file's place is never written through.
  const std::string elsewhere = dir_.File("elsewhere.txt");
  testing::WriteWholeFile(elsewhere, "kept\n");
  std::filesystem::create_symlink(elsewhere, Config(SetupTool::kAdminPasswordFile));
  init = Init();
  EXPECT_EQ(init.code, 1);
  EXPECT_NE(init.err.find("Unable to write the admin password to config/admin-password.txt (" +
                          Config(SetupTool::kAdminPasswordFile) + " is not a regular file)"),
            std::string::npos)
      << init.err;
  EXPECT_EQ(ReadWholeFile(elsewhere), "kept\n");
  EXPECT_TRUE(std::filesystem::is_symlink(Config(SetupTool::kAdminPasswordFile)));
  EXPECT_FALSE(std::filesystem::exists(settings));
  std::filesystem::remove(Config(SetupTool::kAdminPasswordFile));

  // No certificate, no HTTPS: init says what to do, and the admin is not
  // left switched to HTTPS without one.
  ASSERT_TRUE(std::filesystem::create_directory(Config(SetupTool::kTlsCertificateFile)));
  init = Init();
  EXPECT_EQ(init.code, 1);
  EXPECT_NE(init.err.find("run quillon-setup init --force --no-tls"), std::string::npos) << init.err;
  EXPECT_EQ(init.out.find("Remote admin:"), std::string::npos);
  EXPECT_EQ(Get("admin_tls"), "off\n");
  EXPECT_EQ(Get("tls_certificate"), "\n");
}

}  // namespace
}  // namespace quillon::app
