#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tidemark {

// The deadlines of the parts of a connection's life in which the client
// sends: libmicrohttpd times out silence only, so a head dripping in a byte
// at a time, or a chunked body whose size lines, extensions or trailers
// drip, would never end (the library reads them without calling the
// server). A watcher shuts such a socket down once it is past its deadline,
// and the library then closes the connection:
// - a new connection: its first request's head (a TLS handshake included)
//   within `limit` of the accept, whatever trickles in;
// - a request: its head and body within `limit` of its request line (the
//   first request's: of the accept);
// - a connection kept open after an answer: the next head within
//   `idle + limit` of that answer (a silent one is closed by the library's
//   idle timeout before).
// When the connections are near their cap, the oldest of those that have
// not yet sent a whole head (nor ever completed a request) make room for
// new ones: whoever holds connections without using them loses them first.
class RequestDeadlines {
 public:
  using Clock = std::chrono::steady_clock;
  // A connection's place in the watch.
  class Entry {
   public:
    Entry(std::string address, int fd) : address_(std::move(address)), fd_(fd) {}
    const std::string& address() const { return address_; }

   private:
    friend class RequestDeadlines;
    enum class Part { None, FirstHead, Reading, Idle };
    const std::string address_;
    const int fd_;
    // Linked into the list of its part (under the watch's lock).
    Part part_ = Part::None;
    Clock::time_point since_;  // when the part's deadline started
    bool cut_ = false;         // shut down, its close not yet heard of
    Entry* previous_ = nullptr;
    Entry* next_ = nullptr;
  };
  // Hears of every connection cut (`reason` "head_timeout",
  // "request_timeout" or "evicted"), outside the watch's lock.
  using OnCut = std::function<void(const char* reason, const std::string& address)>;

  RequestDeadlines(std::chrono::seconds limit, std::chrono::seconds idle) : limit_(limit), idle_(idle) {}
  ~RequestDeadlines() { stop(); }
  RequestDeadlines(const RequestDeadlines&) = delete;
  RequestDeadlines& operator=(const RequestDeadlines&) = delete;

  // Accepted: the first head is due within the limit.
  void connectionOpened(Entry& entry, Clock::time_point now = Clock::now());
  // A request line has been read.
  void requestStarted(Entry& entry, Clock::time_point when);
  // Its head is complete: the connection no longer makes room for others.
  void headRead(Entry& entry);
  // The request has been read (or will not be), or its connection is
  // closing: no deadline holds until the next request.
  void requestRead(Entry& entry);
  // Answered, and kept open for the next request.
  void requestAnswered(Entry& entry, Clock::time_point now = Clock::now());
  // The library has closed the connection.
  void connectionClosed(Entry& entry);
  // Connections shut down here that the library has not closed yet: they
  // still count against the cap for a moment, but are gone.
  int leaving() const { return leaving_.load(); }

  // Shuts down the connection that has waited longest for its first head,
  // when it has waited at least `minimumAge`; false when there is none.
  bool evictOldestIdleHead(std::chrono::milliseconds minimumAge = std::chrono::milliseconds(250));

  void start(OnCut onCut);
  void stop();

 private:
  struct List {
    Entry* first = nullptr;
    Entry* last = nullptr;
  };
  void watch();
  void link(Entry& entry, Entry::Part part, Clock::time_point since);
  void unlink(Entry& entry);
  void shutDown(Entry& entry);
  List& listOf(Entry::Part part);

  const std::chrono::seconds limit_;
  const std::chrono::seconds idle_;
  OnCut onCut_;
  std::mutex mutex_;
  // First heads and idle connections are in the order their deadlines
  // started, so a scan stops at the first not yet due; requests being read
  // are few and scanned whole.
  List firstHeads_, reading_, idleConnections_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::atomic<int> leaving_{0};
  std::thread watcher_;
};

}  // namespace tidemark
