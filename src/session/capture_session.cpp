#include "session/capture_session.h"

#include "texts/texts.h"

namespace tidemark {

namespace {
constexpr std::size_t kMessageLogCapacity = 100;
constexpr std::size_t kTextCapacity = 1023;
}  // namespace

CaptureSession::CaptureSession(Clock* clock) : clock_(clock) {}

std::uint64_t CaptureSession::reset() {
    std::lock_guard guard(mutex_);
    return resetLocked();
}

std::uint64_t CaptureSession::resetLocked() {
    messages_.clear();
    abortCode_ = 0;
    return ++resetGeneration_;
}

std::uint64_t CaptureSession::resetGeneration() const {
    std::lock_guard guard(mutex_);
    return resetGeneration_;
}

void CaptureSession::chooseLanguage(const std::string& code) {
    std::lock_guard guard(mutex_);
    language_ = code;
    resetLocked();
}

LogRecord CaptureSession::messageRecord(std::u16string text) const {
    LogRecord record;
    record.time = clock().now();
    record.text = std::move(text);
    return record;
}

void CaptureSession::reportStatus(int textId) {
    appendMessage(messageRecord(u"* " + LoadTextW(textId).substr(0, kTextCapacity)));
}

void CaptureSession::reportServerText(const char* utf8) {
    if (utf8 == nullptr || *utf8 == '\0') return;
    reportText(utf8);
}

void CaptureSession::reportText(const std::string& utf8) {
    if (utf8.empty()) return;
    appendMessage(messageRecord(Utf8ToWide(utf8)));
}

void CaptureSession::appendMessage(const LogRecord& record) {
    std::lock_guard guard(mutex_);
    appendLocked(record);
}

bool CaptureSession::appendMessageIfCurrent(const LogRecord& record, std::uint64_t generation) {
    std::lock_guard guard(mutex_);
    if (resetGeneration_ != generation) return false;
    appendLocked(record);
    return true;
}

bool CaptureSession::reportTextIfCurrent(const std::string& utf8, std::uint64_t generation) {
    if (utf8.empty()) return true;
    return appendMessageIfCurrent(messageRecord(Utf8ToWide(utf8)), generation);
}

bool CaptureSession::reportServerTextIfCurrent(const char* utf8, std::uint64_t generation) {
    if (utf8 == nullptr || *utf8 == '\0') return true;
    return reportTextIfCurrent(utf8, generation);
}

void CaptureSession::appendLocked(const LogRecord& record) {
    LogRecord kept = record;
    kept.raw = nullptr;  // the read pass's buffer dies with the pass
    kept.rawLength = 0;
    messages_.push_back(std::move(kept));
    if (messages_.size() > kMessageLogCapacity)
        messages_.erase(messages_.begin(), messages_.end() - kMessageLogCapacity);
    messagesChanged_ = true;
}

std::optional<std::vector<std::u16string>> CaptureSession::takeMessagesIfChanged(bool force) {
    std::lock_guard guard(mutex_);
    if (!messagesChanged_ && !force) return std::nullopt;
    std::vector<std::u16string> texts;
    texts.reserve(messages_.size());
    for (const LogRecord& record : messages_) texts.push_back(record.text);
    messagesChanged_ = false;
    return texts;
}

std::vector<LogRecord> CaptureSession::messages() const {
    std::lock_guard guard(mutex_);
    return messages_;
}

std::string CaptureSession::language() const {
    std::lock_guard guard(mutex_);
    return language_;
}

void CaptureSession::setLanguage(const std::string& code) {
    std::lock_guard guard(mutex_);
    language_ = code;
}

CaptureSession::LanguageSnapshot CaptureSession::languageSnapshot() const {
    std::lock_guard guard(mutex_);
    return {language_, resetGeneration_};
}

std::string CaptureSession::playerId() const {
    std::lock_guard guard(mutex_);
    return playerId_;
}

void CaptureSession::setPlayerId(const std::string& id) {
    std::lock_guard guard(mutex_);
    playerId_ = id;
}

int CaptureSession::execGame() const {
    std::lock_guard guard(mutex_);
    return execGame_;
}

void CaptureSession::setExecGame(int on) {
    std::lock_guard guard(mutex_);
    execGame_ = on ? 1 : 0;
}

std::int32_t CaptureSession::abortCode() const {
    std::lock_guard guard(mutex_);
    return abortCode_;
}

void CaptureSession::setAbortCode(std::int32_t value) {
    std::lock_guard guard(mutex_);
    abortCode_ = value;
}

StatusSink* CaptureSession::statusWindow() const {
    std::lock_guard guard(mutex_);
    return statusWindow_;
}

void CaptureSession::setStatusWindow(StatusSink* sink) {
    std::lock_guard guard(mutex_);
    statusWindow_ = sink;
}

void CaptureSession::setStatus(const std::u16string& text) const {
    if (StatusSink* sink = statusWindow()) sink->setStatus(text);
}

}  // namespace tidemark
