#pragma once
// What the window and the capture worker share for the whole run: the
// settings the capture follows, the message log the Log tab shows, the
// status line, the stop request, the abort value and the reset generation.
// Everything else the capture needs (the game, where its log lies, the
// patterns, the server connection) is the worker's own.
//
// Every member is reached through accessors that take the session's lock;
// none is held across a memory read, an HTTP exchange or a window call.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "session/log_record.h"
#include "session/status_sink.h"

namespace tidemark {

class CaptureSession {
public:
    // `clock` stamps the message records; null: the system clock. It must
    // outlive the session.
    explicit CaptureSession(Clock* clock = nullptr);
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // Starts the capture over: empties the message log (without marking it
    // changed), clears the abort value and bumps the reset generation, which
    // the worker watches to drop its game, log position and patterns. The
    // stop request, the identities and the settings stay. Returns the new
    // generation.
    std::uint64_t reset();
    std::uint64_t resetGeneration() const;

    // Sets the language and resets, as one step: a worker that sees the new
    // generation always sees the new language with it.
    void chooseLanguage(const std::string& code);

    // --- message log -------------------------------------------------------
    void reportStatus(int textId);
    void reportServerText(const char* utf8);
    void reportText(const std::string& utf8);
    void appendMessage(const LogRecord& record);
    // The same, but only while the reset generation is still `generation`:
    // work begun before a reset never lands in the log that the reset
    // emptied. False when it was dropped.
    bool appendMessageIfCurrent(const LogRecord& record, std::uint64_t generation);
    bool reportTextIfCurrent(const std::string& utf8, std::uint64_t generation);
    bool reportServerTextIfCurrent(const char* utf8, std::uint64_t generation);
    // The message log's texts when it changed (or `force`), clearing the
    // flag; nullopt when nothing is to be rendered.
    std::optional<std::vector<std::u16string>> takeMessagesIfChanged(bool force);
    // A message record of `text`, stamped with the current time.
    LogRecord messageRecord(std::u16string text) const;
    std::vector<LogRecord> messages() const;

    // --- settings the capture follows ---------------------------------------
    std::string language() const;
    void setLanguage(const std::string& code);
    std::string playerId() const;
    void setPlayerId(const std::string& id);
    int execGame() const;
    void setExecGame(int on);

    // The language and the generation read together, so that a fetch for
    // that language can later tell whether a reset came in between.
    struct LanguageSnapshot {
        std::string language;
        std::uint64_t generation = 0;
    };
    LanguageSnapshot languageSnapshot() const;

    // --- worker control -----------------------------------------------------
    bool stopRequested() const { return stopRequested_.load() != 0; }
    void requestStop() { stopRequested_.store(1); }
    void clearStopRequest() { stopRequested_.store(0); }

    // The value with which the worker last abandoned a pass; reset clears it.
    std::int32_t abortCode() const;
    void setAbortCode(std::int32_t value);

    // Where the worker's progress texts go; null: nowhere.
    StatusSink* statusWindow() const;
    void setStatusWindow(StatusSink* sink);
    void setStatus(const std::u16string& text) const;

    Clock& clock() const { return clock_ != nullptr ? *clock_ : systemClock(); }

private:
    std::uint64_t resetLocked();
    void appendLocked(const LogRecord& record);

    Clock* const clock_;
    mutable std::mutex mutex_;
    std::atomic<int> stopRequested_{0};
    std::vector<LogRecord> messages_;
    bool messagesChanged_ = false;
    std::string language_;
    std::string playerId_;
    int execGame_ = 0;
    std::int32_t abortCode_ = 0;
    std::uint64_t resetGeneration_ = 0;
    StatusSink* statusWindow_ = nullptr;
};

}  // namespace tidemark
