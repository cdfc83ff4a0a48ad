#include "browser/certificate_check.h"

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

namespace tarvel::browser {

namespace {

// A certificate chain longer than this is not one we would vouch for.
constexpr std::size_t kLongestChain = 10;
constexpr std::size_t kLargestCertificate = 64 * 1024;

X509* ParseDer(const std::string& der) {
  if (der.empty() || der.size() > kLargestCertificate) {
    return nullptr;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
  return d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
}

}  // namespace

CertificateCheck::CertificateCheck(std::vector<std::string> authorityFiles) {
  X509_STORE* store = X509_STORE_new();
  if (!store) {
    return;
  }
  bool loaded = false;
  for (const std::string& file : authorityFiles) {
    if (!file.empty() && X509_STORE_load_file(store, file.c_str()) == 1) {
      loaded = true;
    }
  }
  if (!loaded) {
    X509_STORE_free(store);
    return;
  }
  store_ = store;
}

CertificateCheck::~CertificateCheck() {
  X509_STORE_free(static_cast<X509_STORE*>(store_));
}

bool CertificateCheck::Verifies(const std::vector<std::string>& chain,
                                const std::string& host) const {
  if (!store_ || chain.empty() || chain.size() > kLongestChain || host.empty()) {
    return false;
  }
  std::unique_ptr<X509, decltype(&X509_free)> leaf(ParseDer(chain.front()), &X509_free);
  if (!leaf) {
    return false;
  }
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> intermediates(
      sk_X509_new_null(), [](STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); });
  if (!intermediates) {
    return false;
  }
  for (std::size_t i = 1; i < chain.size(); ++i) {
    X509* certificate = ParseDer(chain[i]);
    if (!certificate) {
      return false;
    }
    if (sk_X509_push(intermediates.get(), certificate) == 0) {
      X509_free(certificate);
      return false;
    }
  }
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(),
                                                                          &X509_STORE_CTX_free);
  if (!context || X509_STORE_CTX_init(context.get(), static_cast<X509_STORE*>(store_), leaf.get(),
                                      intermediates.get()) != 1) {
    return false;
  }
  X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context.get());
  X509_VERIFY_PARAM_set_purpose(parameters, X509_PURPOSE_SSL_SERVER);
  X509_VERIFY_PARAM_set_hostflags(parameters, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (X509_VERIFY_PARAM_set1_host(parameters, host.c_str(), host.size()) != 1) {
    return false;
  }
  return X509_verify_cert(context.get()) == 1;
}

}  // namespace tarvel::browser
