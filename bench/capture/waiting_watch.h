#pragma once
// A status line for the Wine benchmarks: keeps the number in the last
// "N reports waiting" text, and whether the worker follows the log (which it
// says only while nothing waits).

#include <atomic>
#include <string>

#include "session/status_sink.h"
#include "texts/texts.h"

namespace tidemark::bench {

class WaitingWatch : public StatusSink {
public:
    void setStatus(const std::u16string& text) override {
        const std::u16string monitoring = LoadTextW(kTextMonitoringLogs);
        if (text.compare(0, monitoring.find(u"%d"), monitoring, 0, monitoring.find(u"%d")) == 0) {
            monitoring_ = true;
            waiting_ = 0;
            return;
        }
        const std::u16string format = LoadTextW(kTextReportsWaiting);
        const std::size_t field = format.find(u"%d");
        if (text.compare(0, field, format, 0, field) != 0) return;
        long value = 0;
        for (std::size_t i = field; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
            value = value * 10 + (text[i] - u'0');
        waiting_ = value;
    }
    bool monitoring() const { return monitoring_.load(); }
    long waiting() const { return waiting_.load(); }

private:
    std::atomic<bool> monitoring_{false};
    std::atomic<long> waiting_{0};
};

}  // namespace tidemark::bench
