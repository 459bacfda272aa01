#include "front/answer_slots.h"

#include <dlfcn.h>
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

// A streamed body being sent: the library's side of a BodySource. The
// source wakes the connection through it when bytes are ready.
struct AnswerSlots::Stream {
  AnswerSlots* slots = nullptr;
  std::shared_ptr<BodySource> source;
  struct Wake {
    std::mutex mutex;
    MHD_Connection* connection = nullptr;  // null once the answer is over
    bool suspended = false;  // waiting for the source
    bool ready = false;      // the source said so since the last read
    bool cut = false;        // the server is stopping
  };
  std::shared_ptr<Wake> wake = std::make_shared<Wake>();

  static void resume(Wake& wake) {
    if (!wake.suspended || !wake.connection) return;
    wake.suspended = false;
    MHD_resume_connection(wake.connection);
  }

  // The library's content reader, on the connection's event loop.
  static ssize_t read(void* cls, uint64_t, char* buffer, size_t max) {
    auto& stream = *static_cast<Stream*>(cls);
    Wake& wake = *stream.wake;
    for (;;) {
      {
        std::lock_guard lock(wake.mutex);
        if (wake.cut) return MHD_CONTENT_READER_END_WITH_ERROR;
        wake.ready = false;
      }
      size_t count = 0;
      switch (stream.source->read(buffer, max, count)) {
        case BodySource::Piece::Bytes: return static_cast<ssize_t>(count);
        case BodySource::Piece::End: return MHD_CONTENT_READER_END_OF_STREAM;
        case BodySource::Piece::Failed: return MHD_CONTENT_READER_END_WITH_ERROR;
        case BodySource::Piece::Waiting: break;
      }
      std::lock_guard lock(wake.mutex);
      if (wake.ready || wake.cut) continue;  // it came meanwhile
      // The loop serves its other connections until the source wakes this
      // one; the library calls again then.
      wake.suspended = true;
      MHD_suspend_connection(wake.connection);
      return 0;
    }
  }

  // The library is done with the response (sent, or the connection closed).
  static void free(void* cls) {
    auto* stream = static_cast<Stream*>(cls);
    {
      std::lock_guard lock(stream->wake->mutex);
      stream->wake->connection = nullptr;
    }
    {
      std::lock_guard lock(stream->slots->mutex_);
      stream->slots->streams_.erase(stream);
    }
    stream->source->close();
    delete stream;
  }
};

namespace {

MHD_Response* bufferedResponse(const Reply& reply) {
  return MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()),
                                         MHD_RESPMEM_MUST_COPY);
}

}  // namespace

bool AnswerSlots::queue(MHD_Connection* connection, const Reply& reply, bool close) {
  MHD_Response* response = nullptr;
  if (!reply.stream) {
    response = bufferedResponse(reply);
  } else {
    auto stream = std::make_unique<Stream>();
    stream->slots = this;
    stream->source = reply.stream;
    stream->wake->connection = connection;
    std::weak_ptr<Stream::Wake> weak = stream->wake;
    stream->source->whenReady([weak] {
      const auto wake = weak.lock();
      if (!wake) return;
      std::lock_guard lock(wake->mutex);
      wake->ready = true;
      Stream::resume(*wake);
    });
    // The library owns the stream once the response exists.
    response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, &Stream::read, stream.get(),
                                                 &Stream::free);
    if (response) {
      std::lock_guard lock(mutex_);
      streams_.insert(stream.release());
    }
  }
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
  // Strict-Transport-Security is added over TLS by MHD_queue_response below.
  const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

void AnswerSlots::cutEveryStream() {
  std::lock_guard lock(mutex_);
  for (Stream* stream : streams_) {
    std::lock_guard wakeLock(stream->wake->mutex);
    stream->wake->cut = true;
    Stream::resume(*stream->wake);
  }
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

// libmicrohttpd answers some malformed requests itself (a signed
// Content-Length, say), before the server sees them, and queues those
// answers through its own exported MHD_queue_response. This definition in
// the program stands in for the library's (ELF symbol interposition; the
// library calls it through its PLT) and hands every answer on to it, so
// that every answer over TLS, the library's own included, tells browsers
// to keep to HTTPS.
extern "C" MHD_Result MHD_queue_response(MHD_Connection* connection, unsigned int status, MHD_Response* response) {
  using Queue = MHD_Result (*)(MHD_Connection*, unsigned int, MHD_Response*);
  static const Queue library = reinterpret_cast<Queue>(dlsym(RTLD_NEXT, "MHD_queue_response"));
  if (!library) return MHD_NO;
  const MHD_ConnectionInfo* tls =
      connection ? MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION) : nullptr;
  if (tls && tls->tls_session && response && !MHD_get_response_header(response, "Strict-Transport-Security"))
    MHD_add_response_header(response, "Strict-Transport-Security", "max-age=31536000");
  return library(connection, status, response);
}
