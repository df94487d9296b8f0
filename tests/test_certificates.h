#ifndef LODEMIG_TESTS_TEST_CERTIFICATES_H_
#define LODEMIG_TESTS_TEST_CERTIFICATES_H_

#include <string>

namespace lodemig::testing {

// The paths of a small certificate authority and of server certificates for
// TLS tests, each with its private key (PEM files, EC P-256 keys). All but
// the self-signed one are signed by the CA; "valid" and "expired" name
// IP 127.0.0.1 and DNS localhost in their subjectAltName, "other name" only
// DNS other.example.
struct TestCertificates {
  std::string caFile;  // ca.pem: basicConstraints CA:TRUE, keyUsage keyCertSign and cRLSign
  std::string caKey;   // ca.key
  std::string validCert, validKey;            // valid from an hour ago for 30 days
  std::string otherNameCert, otherNameKey;    // valid in time, for DNS other.example only
  std::string expiredCert, expiredKey;        // ended a day ago
  std::string selfSignedCert, selfSignedKey;  // valid in time, its own issuer
};

// Generates fresh keys and certificates into the existing directory `dir`
// (ca.pem, ca.key, valid.pem, valid.key, other-name.pem, other-name.key,
// expired.pem, expired.key, self-signed.pem, self-signed.key) in a few
// milliseconds. Throws std::runtime_error naming the step that failed.
TestCertificates makeTestCertificates(const std::string& dir);

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_TEST_CERTIFICATES_H_
