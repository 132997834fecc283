#include "settings/extra_settings.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace quillon::settings {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

TEST(ExtraSettingsTest, ReadsKeysKeepsUnknownOnesAndSkipsBadLines) {
  TempDir dir;
  ExtraSettings extra;
  std::string message;
  ASSERT_TRUE(extra.Load(dir.File("missing.conf"), &message));
  EXPECT_EQ(extra.RunAsUser(), "nobody");
  EXPECT_EQ(extra.TrashMaxBytes(), 1024ull << 20);
  EXPECT_EQ(extra.PassivePortFirst(), 0u);

  WriteWholeFile(dir.File("quillon.conf"),
                 "# served as\r\n  run_as_user = ftp-srv \n\ntrash_max_mb=0\npassive_ports = 50000 - 50100\n"
                 "passive_address = ftp.example.org\n");
  ASSERT_TRUE(extra.Load(dir.File("quillon.conf"), &message)) << message;
  EXPECT_EQ(extra.RunAsUser(), "ftp-srv");
  EXPECT_EQ(extra.TrashMaxBytes(), 0u);
  EXPECT_EQ(extra.PassivePortFirst(), 50000u);
  EXPECT_EQ(extra.PassivePortLast(), 50100u);
  EXPECT_EQ(extra.PassiveAddress(), "ftp.example.org");

  const char* bad[] = {"run_as_user = ../etc",   "run_as_user = a b",       "trash_max_mb = -1",
                       "trash_max_mb = 99999999999", "no equals sign",     "= value",
                       "passive_ports = 50100-50000", "passive_ports = 0-10", "passive_ports = 70000-70001",
                       "passive_ports = 5000",    "passive_address = a;b"};
  for (const char* line : bad) {
    WriteWholeFile(dir.File("bad.conf"),
                   std::string("trash_max_mb = 7\n") + line + "\nrun_as_user = later\nfuture_key = a = b\n");
    EXPECT_FALSE(extra.Load(dir.File("bad.conf"), &message)) << line;
    EXPECT_NE(message.find("line 2 is not a valid setting"), std::string::npos) << message;
    EXPECT_NE(message.find("unknown key future_key"), std::string::npos) << message;
    EXPECT_EQ(extra.TrashMaxBytes(), 7ull << 20) << line;
    EXPECT_EQ(extra.RunAsUser(), "later") << line;  // the lines after it apply too
    ASSERT_EQ(extra.UnknownKeys().size(), 1u);
    EXPECT_EQ(extra.UnknownKeys().at("future_key"), "a = b");
  }
}

TEST(ExtraSettingsTest, SavingKeepsEveryOtherLineAndWritesOwnerOnly) {
  TempDir dir;
  const std::string path = dir.File("quillon.conf");
  WriteWholeFile(path, "# keep me\nfuture_key = x\npassive_ports = 1-2\nbroken line\n");
  ExtraSettings extra;
  std::string message;
  EXPECT_FALSE(extra.Load(path, &message));
  ASSERT_TRUE(extra.Set("passive_ports", "50000-50010", &message)) << message;
  ASSERT_TRUE(extra.Set("passive_address", "203.0.113.7", &message)) << message;
  EXPECT_FALSE(extra.Set("passive_ports", "9-1", &message));
  EXPECT_FALSE(extra.Set("future_key", "y", &message));  // unknown keys are not set
  std::string value;
  ASSERT_TRUE(extra.Get("passive_ports", &value));
  EXPECT_EQ(value, "50000-50010");
  fileutil::FileWriter writer;
  ASSERT_TRUE(extra.Save(path, writer));
  EXPECT_EQ(ReadWholeFile(path),
            "# keep me\nfuture_key = x\npassive_ports = 50000-50010\nbroken line\n"
            "passive_address = 203.0.113.7\n");
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  ExtraSettings again;
  EXPECT_FALSE(again.Load(path, &message));  // the broken line is still reported
  EXPECT_EQ(again.PassiveAddress(), "203.0.113.7");
  EXPECT_EQ(again.PassivePortLast(), 50010u);
}

TEST(ExtraSettingsTest, TlsKeysAndTheirDefaults) {
  TempDir dir;
  ExtraSettings extra;
  std::string message;
  ASSERT_TRUE(extra.Load(dir.File("missing.conf"), &message));
  EXPECT_EQ(extra.Tls(), ExtraSettings::TlsMode::kOff);
  EXPECT_FALSE(extra.AdminTls() || extra.TlsOnly13() || extra.TlsDataRequired());
  EXPECT_TRUE(extra.TlsSessionReuseRequired() && extra.TlsDataHandshakeAtConnect());

  WriteWholeFile(dir.File("quillon.conf"),
                 "tls = required\ntls_certificate = /etc/ssl/a b.pem\ntls_key = /etc/ssl/a.key\n"
                 "tls_min_version = 1.3\ntls_data = required\ntls_session_reuse = optional\n"
                 "tls_data_handshake = command\nadmin_tls = on\n");
  ASSERT_TRUE(extra.Load(dir.File("quillon.conf"), &message)) << message;
  EXPECT_EQ(extra.Tls(), ExtraSettings::TlsMode::kRequired);
  EXPECT_EQ(extra.TlsCertificate(), "/etc/ssl/a b.pem");
  EXPECT_EQ(extra.TlsKey(), "/etc/ssl/a.key");
  EXPECT_TRUE(extra.TlsOnly13() && extra.TlsDataRequired() && extra.AdminTls());
  EXPECT_FALSE(extra.TlsSessionReuseRequired() || extra.TlsDataHandshakeAtConnect());
  std::string value;
  ASSERT_TRUE(extra.Get("tls_data_handshake", &value));
  EXPECT_EQ(value, "command");
  ASSERT_TRUE(extra.Get("tls", &value));
  EXPECT_EQ(value, "required");
  ASSERT_TRUE(extra.Get("tls_min_version", &value));
  EXPECT_EQ(value, "1.3");

  // A reload without the keys returns to the defaults.
  WriteWholeFile(dir.File("quillon.conf"), "tls = optional\n");
  ASSERT_TRUE(extra.Load(dir.File("quillon.conf"), &message)) << message;
  EXPECT_TRUE(extra.TlsCertificate().empty());
  EXPECT_FALSE(extra.AdminTls());
  EXPECT_TRUE(extra.TlsSessionReuseRequired() && extra.TlsDataHandshakeAtConnect());

  // Values outside their choices (and relative file names) are refused.
  for (const char* line : {"tls = on", "tls_certificate = cert.pem", "tls_key = ../key.pem",
                           "tls_min_version = 1.1", "tls_data = yes", "tls_session_reuse = never", "tls_data_handshake = early",
                           "admin_tls = true"}) {
    WriteWholeFile(dir.File("bad.conf"), std::string(line) + "\n");
    EXPECT_FALSE(extra.Load(dir.File("bad.conf"), &message)) << line;
    const std::string key(line, std::string_view(line).find(' '));
    EXPECT_FALSE(extra.Set(key, std::string_view(line).substr(std::string_view(line).find('=') + 2).data(),
                           &message))
        << line;
  }
  EXPECT_EQ(extra.Tls(), ExtraSettings::TlsMode::kOff);
}

TEST(ExtraSettingsTest, LimitsBeforeLoginReadTheirValuesAndRefuseOthers) {
  TempDir dir;
  ExtraSettings extra;
  std::string message;
  ASSERT_TRUE(extra.Load(dir.File("missing.conf"), &message));
  EXPECT_EQ(extra.PreloginPerIp(), 8u);
  EXPECT_EQ(extra.LoginTimeoutSeconds(), 60u);
  EXPECT_EQ(extra.PassivePerIp(), 8u);
  ASSERT_TRUE(extra.Set("passive_per_ip", "0", &message)) << message;
  EXPECT_EQ(extra.PassivePerIp(), 0u);
  EXPECT_FALSE(extra.Set("passive_per_ip", "eight", &message));
  struct Case {
    const char* text;
    bool fits;
    std::uint32_t per_ip;
    std::uint32_t timeout;
  };
  const Case cases[] = {
      {"prelogin_per_ip = 3\nlogin_timeout = 15\n", true, 3, 15},
      {"prelogin_per_ip = 0\n", true, 0, 60},  // no limit
      {"login_timeout = 86400\n", true, 8, 86'400},
      {"login_timeout = 0\n", false, 8, 60},
      {"login_timeout = 86401\n", false, 8, 60},
      {"prelogin_per_ip = -1\n", false, 8, 60},
      {"prelogin_per_ip = many\n", false, 8, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    WriteWholeFile(dir.File("quillon.conf"), c.text);
    EXPECT_EQ(extra.Load(dir.File("quillon.conf"), &message), c.fits) << message;
    EXPECT_EQ(extra.PreloginPerIp(), c.per_ip);
    EXPECT_EQ(extra.LoginTimeoutSeconds(), c.timeout);
    std::string value;
    ASSERT_TRUE(extra.Get("prelogin_per_ip", &value));
    EXPECT_EQ(value, std::to_string(c.per_ip));
    ASSERT_TRUE(extra.Get("login_timeout", &value));
    EXPECT_EQ(value, std::to_string(c.timeout));
  }
  ASSERT_TRUE(extra.Set("login_timeout", "30", &message)) << message;
  EXPECT_EQ(extra.LoginTimeoutSeconds(), 30u);
  EXPECT_FALSE(extra.Set("prelogin_per_ip", "x", &message));
}

TEST(ExtraSettingsTest, TransferLogAndLogRetentionKeys) {
  TempDir dir;
  ExtraSettings extra;
  std::string message;
  ASSERT_TRUE(extra.Load(dir.File("missing.conf"), &message));
  EXPECT_EQ(extra.TransferLogPath(), "");
  EXPECT_EQ(extra.LogKeepDays(), 90u);
  struct Case {
    const char* text;
    bool fits;
    const char* path;
    std::uint32_t days;
  };
  const Case cases[] = {
      {"xferlog = logs/xferlog\nlog_keep_days = 0\n", true, "logs/xferlog", 0},  // relative; kept for ever
      {"xferlog = /var/log/quillon xfer.log\nlog_keep_days = 36500\n", true, "/var/log/quillon xfer.log", 36'500},
      {"xferlog =\n", true, "", 90},
      {"xferlog = a\tb\n", false, "", 90},
      {"log_keep_days = 36501\n", false, "", 90},
      {"log_keep_days = -1\n", false, "", 90},
      {"log_keep_days = week\n", false, "", 90},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    WriteWholeFile(dir.File("quillon.conf"), c.text);
    EXPECT_EQ(extra.Load(dir.File("quillon.conf"), &message), c.fits) << message;
    EXPECT_EQ(extra.TransferLogPath(), c.path);
    EXPECT_EQ(extra.LogKeepDays(), c.days);
    std::string value;
    ASSERT_TRUE(extra.Get("log_keep_days", &value));
    EXPECT_EQ(value, std::to_string(c.days));
    ASSERT_TRUE(extra.Get("xferlog", &value));
    EXPECT_EQ(value, c.path);
  }
  ASSERT_TRUE(extra.Set("xferlog", "/srv/xferlog", &message)) << message;
  fileutil::FileWriter writer;
  ASSERT_TRUE(extra.Save(dir.File("quillon.conf"), writer));
  EXPECT_NE(ReadWholeFile(dir.File("quillon.conf")).find("xferlog = /srv/xferlog"), std::string::npos);
}

TEST(ExtraSettingsTest, MetricsAllowAndEventKeys) {
  ExtraSettings extra;
  std::string message;
  ASSERT_TRUE(extra.LoadText("", "t", &message));
  EXPECT_EQ(extra.MetricsAllow().Count(), 0u);
  EXPECT_FALSE(extra.ProxyProtocol());
  EXPECT_EQ(extra.ProxyTrusted().Count(), 0u);
  EXPECT_EQ(extra.EventProgram(ExtraSettings::Event::kUpload), "");
  EXPECT_EQ(extra.EventTimeoutSeconds(), 30u);
  EXPECT_EQ(extra.EventMaxRunning(), 4u);

  ASSERT_TRUE(extra.LoadText("metrics_allow = 10.1.2.3, 192.168.0.0/16 ,172.16.5.9/30,0.0.0.0/0\n"
                             "on_upload = /opt/hooks/uploaded\non_delete = /opt/hooks/deleted\n"
                             "event_timeout = 86400\nevent_max_running = 64\n"
                             "proxy_protocol = on\nproxy_trusted = 10.0.0.5, 2001:db8::/64\n"
                             "account_store = postgresql\npostgresql_url = postgresql://ftp@db.example/ftp\n"
                             "postgresql_lease_seconds = 3\n",
                             "t", &message))
      << message;
  const runtime::IpRangeList& allow = extra.MetricsAllow();
  ASSERT_EQ(allow.Count(), 4u);
  EXPECT_EQ(allow.EntryText(0), "10.1.2.3");
  EXPECT_EQ(allow.EntryText(1), "192.168.0.0-192.168.255.255");
  EXPECT_EQ(allow.EntryText(2), "172.16.5.8-172.16.5.11");  // the prefix, not the address written
  EXPECT_EQ(allow.EntryText(3), "0.0.0.0-255.255.255.255");
  EXPECT_EQ(extra.EventProgram(ExtraSettings::Event::kUpload), "/opt/hooks/uploaded");
  EXPECT_EQ(extra.EventProgram(ExtraSettings::Event::kDelete), "/opt/hooks/deleted");
  EXPECT_EQ(extra.EventProgram(ExtraSettings::Event::kLogin), "");
  EXPECT_EQ(extra.EventTimeoutSeconds(), 86'400u);
  EXPECT_EQ(extra.EventMaxRunning(), 64u);
  std::string value;
  ASSERT_TRUE(extra.Get("metrics_allow", &value));
  EXPECT_EQ(value, "10.1.2.3, 192.168.0.0/16 ,172.16.5.9/30,0.0.0.0/0");
  EXPECT_TRUE(extra.ProxyProtocol());
  EXPECT_TRUE(extra.ProxyTrusted().Contains(runtime::IpAddress(10, 0, 0, 5)));
  EXPECT_FALSE(extra.ProxyTrusted().Contains(runtime::IpAddress(10, 0, 0, 6)));
  ASSERT_TRUE(extra.Get("proxy_trusted", &value));
  EXPECT_EQ(value, "10.0.0.5, 2001:db8::/64");
  EXPECT_TRUE(extra.SharedAccountStore());
  EXPECT_EQ(extra.PostgresUrl(), "postgresql://ftp@db.example/ftp");
  EXPECT_EQ(extra.LeaseSeconds(), 3u);

  const char* bad[] = {"metrics_allow = 10.0.0.1/33", "metrics_allow = 10.0.0", "metrics_allow = 10.0.0.1,",
                       "metrics_allow = host.example", "metrics_allow = 10.0.0.1/", "on_upload = hooks/relative",
                       "on_login = /bin/a\tb", "event_timeout = 0", "event_timeout = 86401",
                       "event_max_running = 0", "event_max_running = 65", "proxy_protocol = v2",
                       "proxy_trusted = balancer.example", "account_store = sql", "postgresql_lease_seconds = 2",
                       "postgresql_lease_seconds = 3601", "postgresql_url = host=a\x01"};
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(extra.LoadText(line, "t", &message));
    EXPECT_EQ(extra.SkippedLineCount(), 1u);
  }
}

TEST(ExtraSettingsTest, ListenAddressesImplicitTlsAndIpv6Prefixes) {
  ExtraSettings extra;
  std::string message;
  ASSERT_TRUE(extra.LoadText("", "t", &message));
  EXPECT_TRUE(extra.ListenAddresses().empty());
  EXPECT_EQ(extra.ImplicitTlsPort(), 0);

  ASSERT_TRUE(extra.LoadText("listen_addresses = 127.0.0.1 , 0:0::1,2001:DB8::7\nimplicit_tls_port = 990\n"
                             "metrics_allow = ::1, 2001:db8::/48\n",
                             "t", &message))
      << message;
  EXPECT_EQ(extra.ListenAddresses(), (std::vector<std::string>{"127.0.0.1", "::1", "2001:db8::7"}));
  EXPECT_EQ(extra.ImplicitTlsPort(), 990);
  EXPECT_TRUE(extra.MetricsAllow().Contains(*runtime::IpAddress::Parse("2001:db8:0:ffff::1")));
  EXPECT_FALSE(extra.MetricsAllow().Contains(*runtime::IpAddress::Parse("::2")));
  std::string value;
  ASSERT_TRUE(extra.Get("listen_addresses", &value));
  EXPECT_EQ(value, "127.0.0.1,::1,2001:db8::7");

  const char* bad[] = {"listen_addresses = localhost", "listen_addresses = ::1,",
                       "listen_addresses = 10.0.0.0/8", "listen_addresses = [::1]",
                       "listen_addresses = 1.1.1.1,1.1.1.2,1.1.1.3,1.1.1.4,1.1.1.5,1.1.1.6,1.1.1.7",
                       "implicit_tls_port = 65536", "implicit_tls_port = -1", "metrics_allow = 2001:db8::1-2001:db8::2"};
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(extra.LoadText(line, "t", &message));
    EXPECT_EQ(extra.SkippedLineCount(), 1u);
  }
}

TEST(ExtraSettingsTest, TextLoadsCountSkippedLinesButNotUnknownKeys) {
  ExtraSettings extra;
  std::string message;
  ASSERT_TRUE(extra.LoadText("# comment\npassive_ports = 50000-50010\n", "conf", &message));
  EXPECT_EQ(extra.PassivePortFirst(), 50000);
  EXPECT_EQ(extra.SkippedLineCount(), 0u);

  EXPECT_FALSE(extra.LoadText("later_key = 3\n", "conf", &message));
  EXPECT_EQ(extra.SkippedLineCount(), 0u);
  EXPECT_EQ(message, "conf: unknown key later_key is kept but not used");

  // A second load starts from the defaults and counts afresh.
  EXPECT_FALSE(extra.LoadText("nonsense\nlogin_timeout = 0\ntls = optional\n", "conf", &message));
  EXPECT_EQ(extra.SkippedLineCount(), 2u);
  EXPECT_EQ(extra.PassivePortFirst(), 0);
  EXPECT_EQ(extra.Tls(), ExtraSettings::TlsMode::kOptional);
  EXPECT_EQ(message, "conf: line 1 is not a valid setting, line 2 is not a valid setting");
}

TEST(ExtraSettingsTest, PasswordStorageIsScrambledUnlessHashedIsWritten) {
  ExtraSettings extra;
  std::string message, value;
  ASSERT_TRUE(extra.LoadText("tls = off\n", "a", &message));
  EXPECT_FALSE(extra.HashPasswords());
  ASSERT_TRUE(extra.Get("password_storage", &value));
  EXPECT_EQ(value, "scrambled");
  const struct {
    const char* text;
    bool fits, hashed;
  } cases[] = {
      {"password_storage = hashed\n", true, true},
      {"password_storage = scrambled\n", true, false},
      {"password_storage = HASHED\n", false, false},
      {"password_storage = plain\n", false, false},
      {"password_storage =\n", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(extra.LoadText(c.text, "a", &message), c.fits) << message;
    EXPECT_EQ(extra.HashPasswords(), c.hashed);
  }
  EXPECT_FALSE(extra.Set("password_storage", "clear", &message));
  ASSERT_TRUE(extra.Set("password_storage", "hashed", &message)) << message;
  EXPECT_TRUE(extra.HashPasswords());
  EXPECT_TRUE(extra.Mentions("password_storage"));
}

TEST(ExtraSettingsTest, ChangesAreDescribedKeyByKeyInTheOrderOfTheKeys) {
  ExtraSettings before, after;
  std::string message;
  ASSERT_TRUE(before.LoadText("passive_ports = 50000-50010\ntls = optional\n", "a", &message));
  ASSERT_TRUE(after.LoadText("tls = optional\npassive_ports = 50000-50010\n# moved\n", "b", &message));
  EXPECT_EQ(DescribeChanges(before, after), "");

  ASSERT_TRUE(after.LoadText("login_timeout = 30\nrun_as_user = ftpd\npassive_ports = 50020-50030\n"
                             "passive_address = ftp.example.org\n", "b", &message));
  EXPECT_EQ(DescribeChanges(before, after),
            "run_as_user: nobody -> ftpd (needs a restart); passive_ports: 50000-50010 -> 50020-50030; "
            "passive_address: (none) -> ftp.example.org; tls: optional -> off; login_timeout: 60 -> 30");
}

}  // namespace
}  // namespace quillon::settings
