#include "tests/test_certificates.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

class TestCertificatesTest : public ::testing::Test {
 protected:
  static std::unique_ptr<X509, decltype(&X509_free)> readCertificate(const std::string& path) {
    std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "r"), &BIO_free);
    return {file ? PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free};
  }

  // What a TLS client that trusts `trusted` and connects to `host` (an IP
  // address or a DNS name) makes of `certificate`: X509_V_OK or the error.
  static int verify(const std::string& certificate, const std::string& trusted,
                    const std::string& host) {
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(),
                                                                  &X509_STORE_free);
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(),
                                                                            &X509_STORE_CTX_free);
    const auto leaf = readCertificate(certificate);
    if (!leaf || X509_STORE_load_file(store.get(), trusted.c_str()) != 1 ||
        X509_STORE_CTX_init(context.get(), store.get(), leaf.get(), nullptr) != 1) {
      return -1;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
      X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    }
    X509_verify_cert(context.get());
    return X509_STORE_CTX_get_error(context.get());
  }

  static bool keyMatches(const std::string& certificate, const std::string& key) {
    std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(key.c_str(), "r"), &BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        file ? PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr,
        &EVP_PKEY_free);
    const auto x509 = readCertificate(certificate);
    return pkey && x509 && X509_check_private_key(x509.get(), pkey.get()) == 1;
  }

  ScopedTempDir dir_;
  const TestCertificates files_ = makeTestCertificates(dir_.path());
};

TEST_F(TestCertificatesTest, EachCertificateVerifiesOrFailsForItsOwnReason) {
  const struct {
    const std::string& certificate;
    const std::string& key;
    const std::string& trusted;
    const char* host;
    int expected;
  } cases[] = {
      {files_.validCert, files_.validKey, files_.caFile, "127.0.0.1", X509_V_OK},
      {files_.validCert, files_.validKey, files_.caFile, "localhost", X509_V_OK},
      {files_.validCert, files_.validKey, files_.caFile, "127.0.0.2",
       X509_V_ERR_IP_ADDRESS_MISMATCH},
      {files_.otherNameCert, files_.otherNameKey, files_.caFile, "other.example", X509_V_OK},
      {files_.otherNameCert, files_.otherNameKey, files_.caFile, "127.0.0.1",
       X509_V_ERR_IP_ADDRESS_MISMATCH},
      {files_.otherNameCert, files_.otherNameKey, files_.caFile, "localhost",
       X509_V_ERR_HOSTNAME_MISMATCH},
      {files_.expiredCert, files_.expiredKey, files_.caFile, "127.0.0.1",
       X509_V_ERR_CERT_HAS_EXPIRED},
      {files_.selfSignedCert, files_.selfSignedKey, files_.caFile, "127.0.0.1",
       X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
      // A client may pin the self-signed certificate by trusting it alone.
      {files_.selfSignedCert, files_.selfSignedKey, files_.selfSignedCert, "localhost", X509_V_OK},
      {files_.validCert, files_.validKey, files_.selfSignedCert, "127.0.0.1",
       X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, verify(c.certificate, c.trusted, c.host))
        << c.certificate << " for " << c.host << " trusting " << c.trusted;
    EXPECT_TRUE(keyMatches(c.certificate, c.key)) << c.certificate;
  }
  EXPECT_FALSE(keyMatches(files_.validCert, files_.expiredKey));
}

}  // namespace
}  // namespace lodemig::testing
