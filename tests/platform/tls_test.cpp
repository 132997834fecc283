#include "platform/tls.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace quillon::platform {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

TEST(TlsContextTest, GeneratedCertificateLoadsAndItsKeyIsOwnerOnly) {
  TempDir dir;
  std::string error;
  ASSERT_TRUE(WriteSelfSignedCertificate("ftp.example.org", dir.File("cert.pem"), dir.File("key.pem"), &error))
      << error;
  const auto key_mode = std::filesystem::status(dir.File("key.pem")).permissions();
  EXPECT_EQ(key_mode & std::filesystem::perms::all, std::filesystem::perms::owner_read |
                                                        std::filesystem::perms::owner_write);
  EXPECT_FALSE(std::filesystem::exists(dir.File("key.pem.tmp")));
  EXPECT_NE(ReadWholeFile(dir.File("cert.pem")).find("-----BEGIN CERTIFICATE-----"), std::string::npos);
  for (TlsVersion version : {TlsVersion::k1_2, TlsVersion::k1_3})
    EXPECT_NE(TlsContext::Create(dir.File("cert.pem"), dir.File("key.pem"), version, &error), nullptr)
        << error;

  // Written again, both files are replaced whole.
  const std::string first = ReadWholeFile(dir.File("cert.pem"));
  ASSERT_TRUE(WriteSelfSignedCertificate("203.0.113.7", dir.File("cert.pem"), dir.File("key.pem"), &error));
  EXPECT_NE(ReadWholeFile(dir.File("cert.pem")), first);
  EXPECT_NE(TlsContext::Create(dir.File("cert.pem"), dir.File("key.pem"), TlsVersion::k1_2, &error), nullptr);

  EXPECT_FALSE(WriteSelfSignedCertificate("x", dir.File("no/such/folder/cert.pem"), dir.File("k.pem"), &error));
  EXPECT_NE(error.find("no/such/folder/cert.pem"), std::string::npos) << error;
  for (const char* host : {"", "a,DNS:evil.example", "-x", "a b", "host/name"}) {
    EXPECT_FALSE(WriteSelfSignedCertificate(host, dir.File("bad.pem"), dir.File("bad.key"), &error)) << host;
    EXPECT_NE(error.find("not a host name or IPv4 address"), std::string::npos) << error;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("bad.key")));
}

TEST(TlsContextTest, UnusableFilesAreNamedWithTheReason) {
  TempDir dir;
  std::string error;
  ASSERT_TRUE(WriteSelfSignedCertificate("a.example", dir.File("a.pem"), dir.File("a.key"), &error));
  ASSERT_TRUE(WriteSelfSignedCertificate("b.example", dir.File("b.pem"), dir.File("b.key"), &error));
  WriteWholeFile(dir.File("junk.pem"), "not a certificate\n");

  EXPECT_EQ(TlsContext::Create(dir.File("missing.pem"), dir.File("a.key"), TlsVersion::k1_2, &error), nullptr);
  EXPECT_EQ(error, "Unable to read the TLS certificate " + dir.File("missing.pem") + ": No such file or directory");
  EXPECT_EQ(TlsContext::Create(dir.File("a.pem"), dir.File("missing.key"), TlsVersion::k1_2, &error), nullptr);
  EXPECT_EQ(error, "Unable to read the TLS key " + dir.File("missing.key") + ": No such file or directory");
  EXPECT_EQ(TlsContext::Create(dir.File("junk.pem"), dir.File("a.key"), TlsVersion::k1_2, &error), nullptr);
  EXPECT_EQ(error.rfind("Unable to use the TLS certificate " + dir.File("junk.pem") + ": ", 0), 0u) << error;
  EXPECT_EQ(TlsContext::Create(dir.File("a.pem"), dir.File("junk.pem"), TlsVersion::k1_2, &error), nullptr);
  EXPECT_EQ(error.rfind("Unable to use the TLS key " + dir.File("junk.pem") + ": ", 0), 0u) << error;
  EXPECT_EQ(TlsContext::Create(dir.File("a.pem"), dir.File("b.key"), TlsVersion::k1_2, &error), nullptr);
  EXPECT_EQ(error, "The TLS key " + dir.File("b.key") + " does not belong to the certificate " + dir.File("a.pem"));
}

TEST(TlsContextTest, PemBytesLoadLikeTheirFilesAndTellCertificatesApart) {
  TempDir dir;
  std::string error;
  ASSERT_TRUE(WriteSelfSignedCertificate("a.example", dir.File("a.pem"), dir.File("a.key"), &error));
  ASSERT_TRUE(WriteSelfSignedCertificate("b.example", dir.File("b.pem"), dir.File("b.key"), &error));
  const std::string a_pem = ReadWholeFile(dir.File("a.pem")), a_key = ReadWholeFile(dir.File("a.key"));
  const std::string b_pem = ReadWholeFile(dir.File("b.pem")), b_key = ReadWholeFile(dir.File("b.key"));

  auto from_file = TlsContext::Create(dir.File("a.pem"), dir.File("a.key"), TlsVersion::k1_2, &error);
  auto from_bytes = TlsContext::CreateFromPem(a_pem, "a.pem", a_key, "a.key", TlsVersion::k1_3, &error);
  auto other = TlsContext::CreateFromPem(b_pem, "b.pem", b_key, "b.key", TlsVersion::k1_2, &error);
  ASSERT_NE(from_file, nullptr);
  ASSERT_NE(from_bytes, nullptr) << error;
  ASSERT_NE(other, nullptr) << error;
  EXPECT_FALSE(from_bytes->Identity().empty());
  EXPECT_EQ(from_bytes->Identity(), from_file->Identity());
  EXPECT_NE(other->Identity(), from_file->Identity());

  // The names label the errors as the file paths do.
  EXPECT_EQ(TlsContext::CreateFromPem(a_pem, "a.pem", b_key, "b.key", TlsVersion::k1_2, &error), nullptr);
  EXPECT_EQ(error, "The TLS key b.key does not belong to the certificate a.pem");
  EXPECT_EQ(TlsContext::CreateFromPem("junk", "j.pem", a_key, "a.key", TlsVersion::k1_2, &error), nullptr);
  EXPECT_EQ(error.rfind("Unable to use the TLS certificate j.pem: ", 0), 0u) << error;
  EXPECT_EQ(TlsContext::CreateFromPem(a_pem, "a.pem", "", "k.key", TlsVersion::k1_2, &error), nullptr);
  EXPECT_EQ(error.rfind("Unable to use the TLS key k.key: ", 0), 0u) << error;
}

}  // namespace
}  // namespace quillon::platform
