#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

namespace tidemark {

// A body made while it is sent, piece by piece, so that its size never
// sits in memory at once, and made elsewhere than on the event loop that
// sends it: the loop only copies what is ready, and waits (serving its
// other connections) while nothing is.
class BodySource {
 public:
  enum class Piece { Bytes, Waiting, End, Failed };
  virtual ~BodySource() = default;
  // Never blocks. Bytes: `count` bytes (at most `max`, at least 1) copied to
  // `buffer`. Waiting: none ready yet; the callback given to `whenReady` is
  // called once there are. End: the body is whole. Failed: it cannot be
  // finished (the connection is then cut, so that the client never takes a
  // part for the whole). One call at a time.
  virtual Piece read(char* buffer, size_t max, size_t& count) = 0;
  // Before the first read: what to call, from any thread, when bytes are
  // ready after a Waiting (or the body has ended meanwhile).
  virtual void whenReady(std::function<void()> ready) = 0;
  // The answer is over (sent whole, or its connection gone): whatever the
  // source holds may go.
  virtual void close() {}
};

// The whole body of `source`, handed to `take` piece by piece, waiting
// wherever the source waits (for tests and tools, never an event loop);
// false when it failed.
inline bool readWholeBody(BodySource& source, const std::function<void(std::string_view)>& take) {
  struct Wake {
    std::mutex mutex;
    std::condition_variable ready;
    bool pending = false;
  };
  auto wake = std::make_shared<Wake>();
  source.whenReady([wake] {
    std::lock_guard lock(wake->mutex);
    wake->pending = true;
    wake->ready.notify_all();
  });
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    {
      std::lock_guard lock(wake->mutex);
      wake->pending = false;
    }
    size_t count = 0;
    switch (source.read(buffer.data(), buffer.size(), count)) {
      case BodySource::Piece::Bytes: take(std::string_view(buffer.data(), count)); break;
      case BodySource::Piece::End: source.close(); return true;
      case BodySource::Piece::Failed: source.close(); return false;
      case BodySource::Piece::Waiting: {
        std::unique_lock lock(wake->mutex);
        wake->ready.wait(lock, [&] { return wake->pending; });
        break;
      }
    }
  }
}

// What a handler answers, apart from the HTTP library.
struct Reply {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Set: the body comes from here (chunked) and `body` is not sent.
  std::shared_ptr<BodySource> stream = nullptr;
  // Not sent: why the database could not be read, for the server's log.
  std::string storeProblem = {};

  static Reply text(int status, std::string body) {
    return {status, "text/plain; charset=utf-8", std::move(body), {}};
  }
  static Reply json(std::string body) {
    return {200, "application/json; charset=utf-8", std::move(body), {}};
  }
};

}  // namespace tidemark
