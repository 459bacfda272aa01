#include "front/answer_slots.h"

#include <microhttpd.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace tidemark {

class AnswerSlots::Slot {
 public:
  explicit Slot(MHD_Connection* connection) : connection_(connection) {}

 private:
  friend class AnswerSlots;
  std::mutex mutex_;
  MHD_Connection* connection_;  // null once the request is over
  bool suspended_ = false;
  std::optional<Reply> reply_;
};

namespace {

// A streamed body's pieces, handed to the library as it asks for them.
struct StreamedBody {
  std::shared_ptr<BodySource> source;
  std::string piece;
  size_t sent = 0;
  bool ended = false, failed = false;
};

ssize_t readStream(void* cls, uint64_t, char* buffer, size_t max) {
  auto& body = *static_cast<StreamedBody*>(cls);
  while (body.sent == body.piece.size()) {
    if (body.ended) return body.failed ? MHD_CONTENT_READER_END_WITH_ERROR : MHD_CONTENT_READER_END_OF_STREAM;
    body.piece.clear();
    body.sent = 0;
    body.ended = !body.source->next(body.piece, body.failed);
  }
  const size_t count = std::min(max, body.piece.size() - body.sent);
  std::memcpy(buffer, body.piece.data() + body.sent, count);
  body.sent += count;
  return static_cast<ssize_t>(count);
}

MHD_Response* responseFor(const Reply& reply) {
  if (!reply.stream)
    return MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()),
                                           MHD_RESPMEM_MUST_COPY);
  // The library owns the pieces once the response exists.
  auto body = std::make_unique<StreamedBody>();
  body->source = reply.stream;
  MHD_Response* response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, 64 * 1024, readStream, body.get(), [](void* cls) { delete static_cast<StreamedBody*>(cls); });
  if (response) body.release();
  return response;
}

}  // namespace

bool queueReply(MHD_Connection* connection, const Reply& reply, bool close) {
  MHD_Response* response = responseFor(reply);
  if (!response) return false;
  if (!reply.contentType.empty()) MHD_add_response_header(response, "Content-Type", reply.contentType.c_str());
  bool retryAfter = false;
  for (const auto& [name, value] : reply.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
    retryAfter = retryAfter || name == "Retry-After";
  }
  // Every "try again" answer says when, so that clients do not retry at once.
  if (!retryAfter && (reply.status == 429 || reply.status == 503))
    MHD_add_response_header(response, "Retry-After", "1");
  if (close) MHD_add_response_header(response, "Connection", "close");
  // Over TLS, browsers are told to come back over TLS only, so that a page
  // address never goes out in the clear again.
  if (MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION))
    MHD_add_response_header(response, "Strict-Transport-Security", "max-age=31536000");
  const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

std::shared_ptr<AnswerSlots::Slot> AnswerSlots::open(MHD_Connection* connection) {
  auto slot = std::make_shared<Slot>(connection);
  std::lock_guard lock(mutex_);
  open_.insert(slot.get());
  return slot;
}

void AnswerSlots::close(Slot& slot) {
  {
    std::lock_guard lock(mutex_);
    open_.erase(&slot);
  }
  std::lock_guard lock(slot.mutex_);
  slot.connection_ = nullptr;
}

HttpService::Respond AnswerSlots::responder(std::shared_ptr<Slot> slot) {
  return [slot = std::move(slot)](Reply reply) {
    std::lock_guard lock(slot->mutex_);
    if (!slot->connection_ || slot->reply_) return;
    slot->reply_ = std::move(reply);
    if (slot->suspended_) {
      slot->suspended_ = false;
      MHD_resume_connection(slot->connection_);
    }
  };
}

const Reply* AnswerSlots::answerOrSuspend(Slot& slot) {
  std::lock_guard lock(slot.mutex_);
  if (slot.reply_) return &*slot.reply_;
  slot.suspended_ = true;
  MHD_suspend_connection(slot.connection_);
  return nullptr;
}

void AnswerSlots::answerEveryWaiting(const Reply& reply) {
  std::lock_guard lock(mutex_);
  for (Slot* slot : open_) {
    std::lock_guard slotLock(slot->mutex_);
    if (!slot->suspended_ || slot->reply_) continue;
    slot->reply_ = reply;
    slot->suspended_ = false;
    MHD_resume_connection(slot->connection_);
  }
}

}  // namespace tidemark
