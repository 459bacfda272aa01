#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tidemark {

// The total deadline of a request, from its first line to the last byte of
// its body. libmicrohttpd times out silence only: a head dripping in a line
// at a time, or a chunked body whose size lines, extensions or trailers drip,
// would never end (the library reads them without calling the server). A
// watcher shuts the socket down once the request is past the deadline, and
// the library then closes the connection.
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
    const std::string address_;
    const int fd_;
    // Linked into the watch between a request line and the end of its body
    // (under the watch's lock): only requests being read are scanned.
    bool reading_ = false;
    Clock::time_point requestStarted_;
    Entry* previous_ = nullptr;
    Entry* next_ = nullptr;
  };
  using OnCut = std::function<void(const std::string& address)>;

  explicit RequestDeadlines(std::chrono::seconds limit) : limit_(limit) {}
  ~RequestDeadlines() { stop(); }
  RequestDeadlines(const RequestDeadlines&) = delete;
  RequestDeadlines& operator=(const RequestDeadlines&) = delete;

  void requestStarted(Entry& entry, Clock::time_point when);
  // The request has been read (or will not be), or its connection is closing:
  // the deadline no longer holds.
  void requestRead(Entry& entry);

  // `onCut` hears of every connection cut, outside the watch's lock.
  void start(OnCut onCut);
  void stop();

 private:
  void watch();
  void unlink(Entry& entry);

  const std::chrono::seconds limit_;
  OnCut onCut_;
  std::mutex mutex_;
  Entry* firstReading_ = nullptr;  // the first of the requests being read
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread watcher_;
};

}  // namespace tidemark
