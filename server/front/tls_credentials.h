#pragma once
// The server's certificate and key for TLS, handed to libmicrohttpd through
// its certificate callback so that a renewed certificate can replace the
// served one while the server runs: each new handshake takes the set that
// is current at that moment, and connections already open keep theirs
// until they close; a set no connection uses any more, and no longer
// served, is freed.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
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
  // The set a handshake of `session` (a gnutls_session_t) gets: the
  // current one, held for it until `release`.
  const KeyPair* take(void* session);
  // The connection of `session` has closed.
  void release(void* session);
  // The sets held now: the served one and the older ones connections
  // still use.
  size_t setsHeld() const;

 private:
  TlsCredentials(std::string certificateFile, std::string keyFile);

  const std::string certificateFile_;
  const std::string keyFile_;
  mutable std::mutex setsMutex_;
  std::shared_ptr<KeyPair> current_;
  // The set each open TLS connection's handshake took. The library says
  // when a connection closes, not when its session is done with a set, so
  // a set is kept as long as a connection that took it is open.
  std::unordered_map<void*, std::shared_ptr<KeyPair>> inUse_;
};

}  // namespace tidemark
