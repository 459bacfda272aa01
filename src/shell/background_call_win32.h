#pragma once
// One request of the user-interface thread run on a thread of its own, so
// that the window keeps handling messages while the report server answers.
// The result is kept here and announced to the window with a posted message;
// the window's thread takes it from there. At most one call runs at a time.

#include <windows.h>

#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace tidemark {

template <typename Result>
class BackgroundCall {
public:
    BackgroundCall() = default;
    BackgroundCall(const BackgroundCall&) = delete;
    BackgroundCall& operator=(const BackgroundCall&) = delete;
    ~BackgroundCall() { join(); }

    // User-interface thread. Runs `call` on a new thread and posts `done` to
    // `window` when it has returned. False, and nothing started, while an
    // earlier call still runs.
    bool start(std::function<Result()> call, HWND window, UINT done) {
        if (busy()) return false;
        join();
        {
            std::lock_guard guard(mutex_);
            running_ = true;
            result_.reset();
        }
        thread_ = std::thread([this, call = std::move(call), window, done] {
            Result result = call();
            {
                std::lock_guard guard(mutex_);
                result_ = std::move(result);
                running_ = false;
            }
            PostMessageW(window, done, 0, 0);
        });
        return true;
    }

    bool busy() const {
        std::lock_guard guard(mutex_);
        return running_;
    }

    // The result of the finished call, once; nullopt while it runs or when
    // it was taken already.
    std::optional<Result> take() {
        std::lock_guard guard(mutex_);
        std::optional<Result> result;
        result.swap(result_);
        return result;
    }

    // Waits for a running call; the window's end, where nobody waits for
    // an answer any more.
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    mutable std::mutex mutex_;
    bool running_ = false;
    std::optional<Result> result_;
    std::thread thread_;
};

}  // namespace tidemark
