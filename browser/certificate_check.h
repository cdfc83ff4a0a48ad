#pragma once

#include <string>
#include <vector>

namespace tarvel::browser {

// Trust in the extra certificate authorities of TARVEL_CA_FILE (and the notifier's setting):
// a certificate that Chromium refused for its unknown issuer is accepted only when OpenSSL
// verifies its chain against those authorities for the very host. Nothing else is ever
// accepted.
class CertificateCheck {
 public:
  explicit CertificateCheck(std::vector<std::string> authorityFiles);
  ~CertificateCheck();
  CertificateCheck(const CertificateCheck&) = delete;
  CertificateCheck& operator=(const CertificateCheck&) = delete;

  bool empty() const { return store_ == nullptr; }
  // `chain`: DER certificates, the server's own first.
  bool Verifies(const std::vector<std::string>& chain, const std::string& host) const;

 private:
  void* store_ = nullptr;  // X509_STORE
};

}  // namespace tarvel::browser
