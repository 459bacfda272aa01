#pragma once
// The rules every exchange with the report server shares: one client per
// run, connected once, and how an answer is read.
//
// Locking: the caller holds `session.exchangeMutex` across the whole
// exchange (these helpers included) and never takes it while holding the
// session lock, so the lock order is always exchangeMutex, then session lock.

#include <cstddef>
#include <string>

#include "capture/capture_session.h"
#include "http/http_client.h"

namespace tidemark {

inline constexpr char kReportGetPath[] = "/rep/get.php";
inline constexpr char kReportPostPath[] = "/rep/post.php";

// The most answer bytes an exchange keeps; a longer answer is cut.
inline constexpr std::size_t kAnswerCapacity = 4095;

// The session's client, created and connected on first use. Null when this
// exchange must end as a connect failure: the first connect failed, or no
// client can be made. A client whose first connect failed is kept and never
// connected again; later exchanges on it fail at their request.
HttpClient* clientForExchange(CaptureSession& session);

// The answer of the request just sent: read until the end of the answer or
// kAnswerCapacity bytes, since one read may return only part of what the
// server sent. The text ends at the first NUL byte, as a C string would.
std::string readAnswer(HttpClient& client);

}  // namespace tidemark
