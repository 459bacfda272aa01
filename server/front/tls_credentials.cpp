#include "front/tls_credentials.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <cstring>

namespace tidemark {

namespace {
// A chain longer than this is no server's.
constexpr unsigned kMostCertificates = 16;

struct LoadedFile {
  gnutls_datum_t data{};
  ~LoadedFile() { gnutls_free(data.data); }
};

std::atomic<TlsCredentials*> served{nullptr};
}  // namespace

struct TlsCredentials::KeyPair {
  gnutls_pcert_st certificates[kMostCertificates];
  unsigned count = 0;
  gnutls_privkey_t key = nullptr;
  std::string subject;

  ~KeyPair() {
    for (unsigned i = 0; i < count; ++i) gnutls_pcert_deinit(&certificates[i]);
    if (key) gnutls_privkey_deinit(key);
  }
};

namespace {

bool samePublicKey(gnutls_pubkey_t a, gnutls_pubkey_t b) {
  gnutls_datum_t first{}, second{};
  const bool exported = gnutls_pubkey_export2(a, GNUTLS_X509_FMT_DER, &first) == 0 &&
                        gnutls_pubkey_export2(b, GNUTLS_X509_FMT_DER, &second) == 0;
  const bool same = exported && first.size == second.size && std::memcmp(first.data, second.data, first.size) == 0;
  gnutls_free(first.data);
  gnutls_free(second.data);
  return same;
}

std::unique_ptr<TlsCredentials::KeyPair> readKeyPair(const std::string& certificateFile, const std::string& keyFile,
                                                     std::string& error) {
  LoadedFile certificateText, keyText;
  if (gnutls_load_file(certificateFile.c_str(), &certificateText.data) < 0) {
    error = "cannot read the TLS certificate " + certificateFile;
    return nullptr;
  }
  if (gnutls_load_file(keyFile.c_str(), &keyText.data) < 0) {
    error = "cannot read the TLS key " + keyFile;
    return nullptr;
  }
  auto pair = std::make_unique<TlsCredentials::KeyPair>();
  unsigned count = kMostCertificates;
  int rc = gnutls_pcert_list_import_x509_raw(pair->certificates, &count, &certificateText.data,
                                             GNUTLS_X509_FMT_PEM, 0);
  if (rc < 0 || count == 0) {
    error = "the TLS certificate " + certificateFile + " holds no PEM certificate (" + gnutls_strerror(rc) + ")";
    return nullptr;
  }
  pair->count = count;
  if (gnutls_privkey_init(&pair->key) < 0 ||
      (rc = gnutls_privkey_import_x509_raw(pair->key, &keyText.data, GNUTLS_X509_FMT_PEM, nullptr, 0)) < 0) {
    error = "the TLS key " + keyFile + " holds no unencrypted PEM private key (" + gnutls_strerror(rc) + ")";
    return nullptr;
  }
  gnutls_pubkey_t fromKey = nullptr;
  const bool matches = gnutls_pubkey_init(&fromKey) == 0 &&
                       gnutls_pubkey_import_privkey(fromKey, pair->key, 0, 0) == 0 &&
                       samePublicKey(fromKey, pair->certificates[0].pubkey);
  if (fromKey) gnutls_pubkey_deinit(fromKey);
  if (!matches) {
    error = "the TLS key " + keyFile + " is not the key of the certificate " + certificateFile;
    return nullptr;
  }
  gnutls_x509_crt_t certificate = nullptr;
  if (gnutls_x509_crt_init(&certificate) == 0 &&
      gnutls_x509_crt_import(certificate, &pair->certificates[0].cert, GNUTLS_X509_FMT_DER) == 0) {
    gnutls_datum_t name{};
    if (gnutls_x509_crt_get_dn3(certificate, &name, 0) == 0) {
      pair->subject.assign(reinterpret_cast<const char*>(name.data), name.size);
      gnutls_free(name.data);
    }
  }
  if (certificate) gnutls_x509_crt_deinit(certificate);
  return pair;
}

}  // namespace

std::unique_ptr<TlsCredentials> TlsCredentials::load(const std::string& certificateFile, const std::string& keyFile,
                                                     std::string& error) {
  std::unique_ptr<TlsCredentials> credentials(new TlsCredentials(certificateFile, keyFile));
  if (!credentials->reload(error)) return nullptr;
  return credentials;
}

TlsCredentials::TlsCredentials(std::string certificateFile, std::string keyFile)
    : certificateFile_(std::move(certificateFile)), keyFile_(std::move(keyFile)) {}

TlsCredentials::~TlsCredentials() {
  TlsCredentials* self = this;
  served.compare_exchange_strong(self, nullptr);
}

bool TlsCredentials::reload(std::string& error) {
  std::shared_ptr<KeyPair> pair = readKeyPair(certificateFile_, keyFile_, error);
  if (!pair) return false;
  std::lock_guard lock(setsMutex_);
  current_ = std::move(pair);
  return true;
}

std::string TlsCredentials::subject() const {
  std::lock_guard lock(setsMutex_);
  return current_ ? current_->subject : std::string();
}

const TlsCredentials::KeyPair* TlsCredentials::take(void* session) {
  std::lock_guard lock(setsMutex_);
  if (!current_) return nullptr;
  inUse_[session] = current_;
  return current_.get();
}

void TlsCredentials::release(void* session) {
  std::shared_ptr<KeyPair> last;  // freed outside the lock
  std::lock_guard lock(setsMutex_);
  const auto found = inUse_.find(session);
  if (found == inUse_.end()) return;
  last = std::move(found->second);
  inUse_.erase(found);
}

size_t TlsCredentials::setsHeld() const {
  std::lock_guard lock(setsMutex_);
  std::vector<const KeyPair*> held;
  if (current_) held.push_back(current_.get());
  for (const auto& [session, pair] : inUse_)
    if (std::find(held.begin(), held.end(), pair.get()) == held.end()) held.push_back(pair.get());
  return held.size();
}

struct TlsCallback {
  static int retrieve(gnutls_session_t session, const gnutls_datum_t*, int, const gnutls_pk_algorithm_t*, int,
                      gnutls_pcert_st** certificates, unsigned int* count, gnutls_privkey_t* key) {
    TlsCredentials* credentials = served.load();
    const TlsCredentials::KeyPair* pair = credentials ? credentials->take(session) : nullptr;
    if (!pair) return -1;
    *certificates = const_cast<gnutls_pcert_st*>(pair->certificates);
    *count = pair->count;
    *key = pair->key;
    return 0;
  }
};

std::vector<MHD_OptionItem> TlsCredentials::daemonOptions() {
  served.store(this);
  return {
      {MHD_OPTION_HTTPS_CERT_CALLBACK, 0, reinterpret_cast<void*>(&TlsCallback::retrieve)},
      {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kPriorities)},
      {MHD_OPTION_END, 0, nullptr},
  };
}

}  // namespace tidemark
