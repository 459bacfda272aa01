#include "front/answer_slots.h"

#include <microhttpd.h>

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

bool queueReply(MHD_Connection* connection, const Reply& reply, bool close) {
  MHD_Response* response = MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()),
                                                           MHD_RESPMEM_MUST_COPY);
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
