#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "base/reply.h"
#include "front/http_front.h"

namespace tidemark {

// Where a handler's answer meets the event loop. The handler's callback holds
// its slot too, so an answer that comes after the request is gone (the server
// stopped meanwhile) lands there harmlessly.
class AnswerSlots {
 public:
  class Slot;
  struct Stream;
  // Queues `reply` on the connection, `close` adding "Connection: close";
  // false when the library would not take it. A streamed body is read
  // from its source as the client takes it, the connection suspended
  // while the source has nothing ready.
  bool queue(MHD_Connection* connection, const Reply& reply, bool close);
  // A slot for a request about to be handled on `connection`.
  std::shared_ptr<Slot> open(MHD_Connection* connection);
  // The request is over: later answers land nowhere.
  void close(Slot& slot);
  // What the handler calls, once, from any thread.
  static HttpService::Respond responder(std::shared_ptr<Slot> slot);
  // The answer if there is one; else the connection is suspended until it
  // comes (the event loop serves other connections meanwhile). An answer,
  // once given, never changes.
  const Reply* answerOrSuspend(Slot& slot);
  // At a stop: the library cannot stop with connections suspended, so
  // whatever still waits for its answer gets `reply`.
  void answerEveryWaiting(const Reply& reply);
  // At a stop: every streamed body still being sent is cut.
  void cutEveryStream();

 private:
  std::mutex mutex_;
  std::set<Slot*> open_;  // requests whose handler has been called
  std::set<Stream*> streams_;  // streamed bodies being sent
};

}  // namespace tidemark
