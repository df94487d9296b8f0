#include "tests/test_certificates.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace lodemig::testing {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

constexpr long kHour = 3600;
constexpr long kDay = 24 * kHour;

void check(bool ok, const std::string& step) {
  if (!ok) {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    throw std::runtime_error("test certificates: " + step + ": " +
                             (reason != nullptr ? reason : "failed"));
  }
}

Key newKey() {
  Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  check(key != nullptr, "EC key generation");
  return key;
}

struct Spec {
  // Unique among the certificates of one issuer.
  long serial;
  const char* commonName;
  // Seconds from now.
  long notBefore;
  long notAfter;
  // "" for a CA.
  const char* subjectAltName;
};

// A certificate for `key` as `spec` says, signed by `issuer` with
// `issuerKey`, or by its own key when `issuer` is null.
Certificate makeCertificate(const Spec& spec, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey) {
  Certificate certificate(X509_new(), &X509_free);
  check(certificate != nullptr, "X509_new");
  X509* x = certificate.get();
  check(X509_set_version(x, X509_VERSION_3) == 1 &&
            ASN1_INTEGER_set(X509_get_serialNumber(x), spec.serial) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(x), spec.notBefore) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(x), spec.notAfter) != nullptr &&
            X509_set_pubkey(x, key) == 1,
        "certificate fields");
  X509_NAME* name = X509_get_subject_name(x);
  check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("lodemig tests"), -1, -1,
                                   0) == 1 &&
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>(spec.commonName), -1,
                                       -1, 0) == 1 &&
            X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer) : name) == 1,
        "certificate names");
  const bool ca = *spec.subjectAltName == '\0';
  std::vector<std::pair<int, std::string>> extensions = {
      {NID_subject_key_identifier, "hash"}, {NID_authority_key_identifier, "keyid:always"}};
  if (ca) {
    extensions.push_back({NID_basic_constraints, "critical,CA:TRUE"});
    extensions.push_back({NID_key_usage, "critical,keyCertSign,cRLSign"});
  } else {
    extensions.push_back({NID_basic_constraints, "critical,CA:FALSE"});
    extensions.push_back({NID_key_usage, "critical,digitalSignature"});
    extensions.push_back({NID_ext_key_usage, "serverAuth"});
    extensions.push_back({NID_subject_alt_name, spec.subjectAltName});
  }
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    check(extension != nullptr && X509_add_ext(x, extension, -1) == 1, "extension " + value);
    X509_EXTENSION_free(extension);
  }
  check(X509_sign(x, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0, "signing");
  return certificate;
}

void writePem(const std::string& path, X509* certificate, EVP_PKEY* key) {
  std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "w"), &BIO_free);
  check(file != nullptr, "cannot write " + path);
  check(certificate != nullptr
            ? PEM_write_bio_X509(file.get(), certificate) == 1
            : PEM_write_bio_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "cannot write " + path);
}

// Writes `base`.pem and `base`.key for a new key and returns their paths.
std::pair<std::string, std::string> writePair(const std::string& dir, const std::string& base,
                                              const Spec& spec, X509* issuer, EVP_PKEY* issuerKey) {
  const Key key = newKey();
  const Certificate certificate = makeCertificate(spec, key.get(), issuer, issuerKey);
  const std::string stem = dir + "/" + base;
  writePem(stem + ".pem", certificate.get(), nullptr);
  writePem(stem + ".key", nullptr, key.get());
  return {stem + ".pem", stem + ".key"};
}

}  // namespace

TestCertificates makeTestCertificates(const std::string& dir) {
  constexpr char kLoopback[] = "IP:127.0.0.1,DNS:localhost";
  TestCertificates files;
  const Key caKey = newKey();
  const Certificate ca = makeCertificate({1, "lodemig test CA", -kHour, 365 * kDay, ""},
                                         caKey.get(), nullptr, nullptr);
  files.caFile = dir + "/ca.pem";
  files.caKey = dir + "/ca.key";
  writePem(files.caFile, ca.get(), nullptr);
  writePem(files.caKey, nullptr, caKey.get());
  std::tie(files.validCert, files.validKey) = writePair(
      dir, "valid", {2, "localhost", -kHour, 30 * kDay, kLoopback}, ca.get(), caKey.get());
  std::tie(files.otherNameCert, files.otherNameKey) =
      writePair(dir, "other-name", {3, "other.example", -kHour, 30 * kDay, "DNS:other.example"},
                ca.get(), caKey.get());
  std::tie(files.expiredCert, files.expiredKey) = writePair(
      dir, "expired", {4, "localhost", -2 * kDay, -kDay, kLoopback}, ca.get(), caKey.get());
  std::tie(files.selfSignedCert, files.selfSignedKey) = writePair(
      dir, "self-signed", {1, "localhost", -kHour, 30 * kDay, kLoopback}, nullptr, nullptr);
  return files;
}

}  // namespace lodemig::testing
