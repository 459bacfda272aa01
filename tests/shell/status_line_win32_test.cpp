#include "shell/status_line_win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

namespace tidemark {
namespace {

constexpr UINT kAnnounce = WM_APP + 7;

struct Windows {
    HWND window = CreateWindowW(L"STATIC", L"", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, nullptr, nullptr);
    HWND control = CreateWindowW(L"STATIC", L"", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ~Windows() {
        DestroyWindow(control);
        DestroyWindow(window);
    }
};

std::wstring textOf(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

int takeAnnouncements(HWND window) {
    int count = 0;
    MSG message;
    while (PeekMessageW(&message, window, kAnnounce, kAnnounce, PM_REMOVE)) ++count;
    return count;
}

TEST(StatusLine, WorkerWritesNeverWaitForABusyWindowThread) {
    Windows w;
    ASSERT_TRUE(w.window && w.control);
    StatusLine line;
    line.attach(w.window, w.control, kAnnounce);

    // This thread does not pump messages while the writer runs, as when the
    // window waits for the worker to stop. A direct window call would hang.
    auto writer = std::async(std::launch::async, [&] {
        for (int i = 0; i <= 500; ++i) line.setStatus(u"Monitoring your logs (" + std::u16string(1, u'0' + i % 10) + u")");
    });
    ASSERT_EQ(writer.wait_for(std::chrono::seconds(20)), std::future_status::ready);

    EXPECT_EQ(textOf(w.control), L"");
    EXPECT_EQ(takeAnnouncements(w.window), 1);
    line.showLatest();
    EXPECT_EQ(textOf(w.control), L"Monitoring your logs (0)");
}

TEST(StatusLine, EachShownTextAllowsTheNextAnnouncement) {
    Windows w;
    ASSERT_TRUE(w.window && w.control);
    StatusLine line;
    line.attach(w.window, w.control, kAnnounce);
    line.setStatus(u"Waiting for the game to launch.");
    ASSERT_EQ(takeAnnouncements(w.window), 1);
    line.showLatest();
    line.setStatus(u"Searching your logs.");
    EXPECT_EQ(takeAnnouncements(w.window), 1);
    line.showLatest();
    EXPECT_EQ(textOf(w.control), L"Searching your logs.");
}

TEST(StatusLine, AfterDetachTextsAreKeptButAnnouncedToNobody) {
    Windows w;
    ASSERT_TRUE(w.window && w.control);
    StatusLine line;
    line.attach(w.window, w.control, kAnnounce);
    line.detach();
    line.setStatus(u"late");
    EXPECT_EQ(takeAnnouncements(w.window), 0);
    EXPECT_EQ(line.latest(), u"late");
    line.showLatest();
    EXPECT_EQ(textOf(w.control), L"");
}

}  // namespace
}  // namespace tidemark
