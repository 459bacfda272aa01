#include "capture/capture_session.h"

#include "shell/texts.h"

namespace tidemark {

namespace {
constexpr std::size_t kMessageLogCapacity = 100;
constexpr std::size_t kTextCapacity = 1023;
}  // namespace

CaptureSession::CaptureSession(SessionServices services_) : services(std::move(services_)) {
    patterns.SetObject();
    reset();
}

CaptureSession::~CaptureSession() {
    // stop() may have given up after its bound; the worker still uses this
    // object, so wait for it rather than pull the session from under it.
    stopRequested = 1;
    if (workerThread.joinable()) workerThread.join();
    httpClient.reset();
    gameProcess.reset();
}

void CaptureSession::reset() {
    auto guard = lock();
    gameProcess.reset();
    textBufferSlot = 0;
    offsetTableSlot = 0;
    entryCountAddress = 0;
    readCount = 0;
    abortCode = 0;
    patternsLoaded = 0;
    messages.clear();
    ++resetGeneration;
}

void CaptureSession::reportStatus(int textId) {
    std::u16string text = u"* " + LoadTextW(textId).substr(0, kTextCapacity);
    LogRecord record;
    record.time = clock().now();
    record.text = std::move(text);
    appendMessage(record);
}

void CaptureSession::reportServerText(const char* utf8) {
    if (utf8 == nullptr || *utf8 == '\0') return;
    reportText(utf8);
}

void CaptureSession::reportText(const std::string& utf8) {
    if (utf8.empty()) return;
    LogRecord record;
    record.time = clock().now();
    record.text = Utf8ToWide(utf8);
    appendMessage(record);
}

void CaptureSession::appendMessage(const LogRecord& record) {
    LogRecord kept = record;
    kept.raw = nullptr;  // the read pass's buffer dies with the pass
    kept.rawLength = 0;
    auto guard = lock();
    messages.push_back(std::move(kept));
    if (messages.size() > kMessageLogCapacity)
        messages.erase(messages.begin(), messages.end() - kMessageLogCapacity);
    messagesChanged = 1;
}

std::optional<std::vector<std::u16string>> CaptureSession::takeMessagesIfChanged(bool force) {
    auto guard = lock();
    if (!messagesChanged && !force) return std::nullopt;
    std::vector<std::u16string> texts;
    texts.reserve(messages.size());
    for (const LogRecord& record : messages) texts.push_back(record.text);
    messagesChanged = 0;
    return texts;
}

std::string CaptureSession::language() const {
    auto guard = lock();
    return language_;
}

void CaptureSession::setLanguage(const std::string& code) {
    auto guard = lock();
    language_ = code;
}

std::string CaptureSession::playerId() const {
    auto guard = lock();
    return playerId_;
}

void CaptureSession::setPlayerId(const std::string& id) {
    auto guard = lock();
    playerId_ = id;
}

int CaptureSession::execGame() const {
    auto guard = lock();
    return execGame_;
}

void CaptureSession::setExecGame(int on) {
    auto guard = lock();
    execGame_ = on ? 1 : 0;
}

}  // namespace tidemark
