#pragma once
// The server's certificate and key for TLS, handed to libmicrohttpd through
// its certificate callback so that a renewed certificate can replace the
// served one while the server runs: each new handshake takes the set that
// is current at that moment, and connections already open keep theirs.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <microhttpd.h>

namespace tidemark {

class TlsCredentials {
 public:
  // TLS 1.2 and 1.3 only: the older versions have known weaknesses and
  // every client the server is meant for speaks 1.2.
  static constexpr const char* kPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

  // Reads the certificate chain (PEM, the server's certificate first) and its
  // private key (PEM); null with `error` when either cannot be read or the
  // key is not the certificate's.
  static std::unique_ptr<TlsCredentials> load(const std::string& certificateFile, const std::string& keyFile,
                                              std::string& error);
  ~TlsCredentials();
  TlsCredentials(const TlsCredentials&) = delete;
  TlsCredentials& operator=(const TlsCredentials&) = delete;

  // Reads the same two files again and serves them from the next handshake
  // on; on a fault the served set stays and `error` says why.
  bool reload(std::string& error);

  // The daemon flag and options (ending in MHD_OPTION_END) that serve TLS
  // with these credentials. One set of credentials serves a process: the
  // library's callback carries no pointer of ours.
  unsigned daemonFlags() const { return MHD_USE_TLS; }
  std::vector<MHD_OptionItem> daemonOptions();

  // The subject of the served certificate, for the log.
  std::string subject() const;

  struct KeyPair;
  // The set the next handshake gets.
  const KeyPair* current() const { return current_.load(); }

 private:
  TlsCredentials(std::string certificateFile, std::string keyFile);

  const std::string certificateFile_;
  const std::string keyFile_;
  std::atomic<KeyPair*> current_{nullptr};
  // Every set ever served stays alive as long as this object: a handshake
  // that began with a set may still be using it after a reload, and the
  // library gives no word of when it is done. A renewal brings a few
  // kilobytes every few weeks.
  std::mutex setsMutex_;
  std::vector<std::unique_ptr<KeyPair>> sets_;
};

}  // namespace tidemark
