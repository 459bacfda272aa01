// Works Tidemark's main window from outside, as a person would, for the
// window tests under Wine: finds the window by its caption, reads texts,
// clicks, picks combo items, switches tabs and posts tray and menu
// commands. One command per run; results go to standard output as UTF-8
// "key=value" lines (values with \\, \r and \n escaped). Exit code 0 on
// success, 1 when the window or control is missing or a wait timed out,
// 2 on bad usage.
//
//   uidriver wait [ms]             the main window exists with its tabs (default 10000 ms)
//   uidriver wait-gone [ms]        no main window exists any more
//   uidriver wait-hidden [ms]      no main window is visible; asks nothing of the window's
//                                  thread, which may be busy
//   uidriver ping [ms]             the window's thread answers a message within ms (default
//                                  500): exit code 0, else 1 (a window that is "Not responding")
//   uidriver dump                  window state, tabs, status, page controls
//   uidriver click ID              clicks control ID and returns when the click is handled
//                                  (BM_CLICK; a mouse click for a static text)
//   uidriver press ID              clicks control ID without waiting (when the click opens
//                                  a message box)
//   uidriver select ID INDEX       CB_SETCURSEL, then CBN_SELCHANGE as the combo would
//   uidriver dropdown ID           opens the list of combo box ID
//   uidriver tab INDEX             TCM_SETCURFOCUS on the tab control
//   uidriver command ID            posts WM_COMMAND ID (menu items)
//   uidriver tray MOUSEMSG         posts the tray icon's callback (WM_USER) with MOUSEMSG
//   uidriver syscommand SC         posts WM_SYSCOMMAND SC (0xF020 minimise, 0xF060 close box)
//   uidriver escape                posts an Esc key press to the focused control
//   uidriver keys VK...            posts these key presses to the focused control (an open
//                                  menu of the window's thread takes them)
//   uidriver taskbar-created       sends the shell's "TaskbarCreated" announcement
//   uidriver forget-tray-icon      deletes the window's tray icon, as a restarted shell forgets it
//   uidriver message-box [ms]      the message box owned by the main window: its caption and
//                                  texts; then presses its OK button
//   uidriver send-keys KEY...       real key presses (SendInput) to the window made foreground:
//                                  tab, shift+tab, ctrl+tab, ctrl+shift+tab, space, ...
//   uidriver glyphs TEXT           whether each character of TEXT draws differently in the
//                                  dialog font (a font without the characters draws boxes)
//   uidriver list                  every window of the desktop, for finding one's way
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kTabControlId = 1002;
constexpr int kStatusId = 1001;
constexpr int kLogTextId = 1008;
constexpr int kLanguageComboId = 1028;
const int kPageControlIds[] = {1010, 1013, 1015, 1018, 1020, 1027};

std::string utf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

void emit(const std::string& key, const std::string& value) {
    std::string line = key + "=" + escaped(value) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void emit(const std::string& key, long long value) { emit(key, std::to_string(value)); }

std::wstring className(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

std::wstring windowText(HWND window) {
    LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    LRESULT got = SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(got));
    return text;
}

// The caption without a message to the window's thread (which may be busy).
std::wstring caption(HWND window) {
    wchar_t text[64] = {};
    GetWindowTextW(window, text, 64);
    return text;
}

// The main window: a dialog captioned "Tidemark" holding the tab control
// (the single-instance guard has the same caption but no controls).
HWND findMainWindow() {
    HWND found = nullptr;
    EnumWindows(
        [](HWND window, LPARAM result) -> BOOL {
            if (className(window) == L"#32770" && caption(window) == L"Tidemark" &&
                GetDlgItem(window, kTabControlId)) {
                *reinterpret_cast<HWND*>(result) = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND findControl(HWND mainWindow, int id) {
    struct Search {
        int id;
        HWND found;
    } search{id, nullptr};
    EnumChildWindows(
        mainWindow,
        [](HWND child, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            if (GetDlgCtrlID(child) == s->id) {
                s->found = child;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Tab items can only be read through memory of the window's own process.
std::wstring tabLabel(HWND tabControl, int index) {
    DWORD processId = 0;
    GetWindowThreadProcessId(tabControl, &processId);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    if (!process) return L"?";
    constexpr std::size_t kChars = 256;
    const std::size_t size = sizeof(TCITEMW) + kChars * sizeof(wchar_t);
    auto* remote = static_cast<char*>(VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    std::wstring label = L"?";
    if (remote) {
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(TCITEMW));
        item.cchTextMax = kChars;
        WriteProcessMemory(process, remote, &item, sizeof item, nullptr);
        if (SendMessageW(tabControl, TCM_GETITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(remote))) {
            wchar_t text[kChars] = {};
            ReadProcessMemory(process, remote + sizeof(TCITEMW), text, sizeof text, nullptr);
            text[kChars - 1] = L'\0';
            label = text;
        }
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    return label;
}

void dumpControl(HWND mainWindow, int id) {
    HWND control = findControl(mainWindow, id);
    const std::string key = "ctl." + std::to_string(id);
    emit(key + ".exists", control ? 1 : 0);
    if (!control) return;
    emit(key + ".text", utf8(windowText(control)));
    emit(key + ".enabled", IsWindowEnabled(control) ? 1 : 0);
    emit(key + ".visible", IsWindowVisible(control) ? 1 : 0);
    if (className(control) == L"Button")
        emit(key + ".checked", SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0);
    RECT rect;
    GetWindowRect(control, &rect);
    emit(key + ".rect", std::to_string(rect.left) + " " + std::to_string(rect.top) + " " + std::to_string(rect.right) +
                            " " + std::to_string(rect.bottom));
}

// The window's DPI as the program sees it (96 for a program that is not
// DPI-aware); 0 where the system cannot tell.
UINT windowDpi(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    auto get = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    return get ? get(window) : 0;
}

int dump(HWND window) {
    char handle[32];
    wsprintfA(handle, "%p", static_cast<void*>(window));
    emit("window", handle);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    emit("pid", processId);
    emit("visible", IsWindowVisible(window) ? 1 : 0);
    emit("iconic", IsIconic(window) ? 1 : 0);
    RECT rect;
    GetWindowRect(window, &rect);
    emit("rect", std::to_string(rect.left) + " " + std::to_string(rect.top) + " " + std::to_string(rect.right) + " " +
                     std::to_string(rect.bottom));
    emit("screen", std::to_string(GetSystemMetrics(SM_CXSCREEN)) + " " + std::to_string(GetSystemMetrics(SM_CYSCREEN)));
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    emit("workarea", std::to_string(work.left) + " " + std::to_string(work.top) + " " + std::to_string(work.right) + " " +
                         std::to_string(work.bottom));
    emit("caption", utf8(windowText(window)));
    emit("dpi", windowDpi(window));
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread) && thread.hwndFocus)
        emit("focus", GetDlgCtrlID(thread.hwndFocus));
    else
        emit("focus", "none");
    HWND tab = GetDlgItem(window, kTabControlId);
    const auto tabs = static_cast<int>(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0));
    emit("tab.count", tabs);
    emit("tab.selected", SendMessageW(tab, TCM_GETCURSEL, 0, 0));
    for (int i = 0; i < tabs; ++i) emit("tab." + std::to_string(i), utf8(tabLabel(tab, i)));
    emit("status", utf8(windowText(GetDlgItem(window, kStatusId))));
    emit("close", utf8(windowText(GetDlgItem(window, IDCANCEL))));
    HWND log = findControl(window, kLogTextId);
    emit("page", log ? "log" : findControl(window, kLanguageComboId) ? "config" : "none");
    if (log) {
        emit("log", utf8(windowText(log)));
        DWORD start = 0, end = 0;
        SendMessageW(log, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
        emit("log.selection", std::to_string(start) + " " + std::to_string(end));
        emit("log.length", GetWindowTextLengthW(log));
        emit("log.firstVisibleLine", SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0));
        emit("log.lineCount", SendMessageW(log, EM_GETLINECOUNT, 0, 0));
        RECT rect;
        GetWindowRect(log, &rect);
        emit("log.rect", std::to_string(rect.left) + " " + std::to_string(rect.top) + " " + std::to_string(rect.right) +
                             " " + std::to_string(rect.bottom));
    }
    if (HWND combo = findControl(window, kLanguageComboId)) {
        const auto count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
        emit("combo.count", count);
        emit("combo.selected", SendMessageW(combo, CB_GETCURSEL, 0, 0));
        for (int i = 0; i < count; ++i) {
            wchar_t item[256] = {};
            if (SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) < 256) SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
            emit("combo." + std::to_string(i), utf8(item));
        }
        for (int id : kPageControlIds) dumpControl(window, id);
    }
    return 0;
}

// Created far enough to be worked: its tabs are in place.
bool ready(HWND window) { return SendMessageW(GetDlgItem(window, kTabControlId), TCM_GETITEMCOUNT, 0, 0) == 2; }

int waitFor(bool present, DWORD timeoutMs) {
    const DWORD started = GetTickCount();
    for (;;) {
        HWND window = findMainWindow();
        if (present ? window != nullptr && ready(window) : window == nullptr) {
            if (window) dump(window);
            return 0;
        }
        if (GetTickCount() - started > timeoutMs) return 1;
        Sleep(50);
    }
}

int waitHidden(DWORD timeoutMs) {
    const DWORD started = GetTickCount();
    for (;;) {
        HWND window = findMainWindow();
        if (!window || !IsWindowVisible(window)) return 0;
        if (GetTickCount() - started > timeoutMs) return 1;
        Sleep(20);
    }
}

int number(const wchar_t* text) { return static_cast<int>(std::wcstol(text, nullptr, 0)); }

int click(HWND window, int id, bool wait) {
    HWND control = findControl(window, id);
    if (!control) return 1;
    if (className(control) == L"Static") {
        PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(1, 1));
        PostMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(1, 1));
        if (wait) SendMessageW(control, WM_NULL, 0, 0);  // returns once the posted clicks are handled
        return 0;
    }
    if (wait) SendMessageW(control, BM_CLICK, 0, 0);
    else PostMessageW(control, BM_CLICK, 0, 0);
    return 0;
}

int select(HWND window, int id, int index) {
    HWND combo = findControl(window, id);
    if (!combo) return 1;
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    return 0;
}

int pressKeys(HWND window, const std::vector<int>& keys) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    HWND target = window;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) && info.hwndFocus) target = info.hwndFocus;
    for (int key : keys) {
        PostMessageW(target, WM_KEYDOWN, static_cast<WPARAM>(key), 0x00000001);
        PostMessageW(target, WM_KEYUP, static_cast<WPARAM>(key), 0xC0000001);
        Sleep(100);
    }
    return 0;
}

WORD virtualKey(const std::wstring& name) {
    if (name == L"tab") return VK_TAB;
    if (name == L"space") return VK_SPACE;
    if (name == L"return") return VK_RETURN;
    if (name == L"escape") return VK_ESCAPE;
    if (name == L"down") return VK_DOWN;
    if (name == L"up") return VK_UP;
    return 0;
}

void keyInput(WORD key, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendInput(1, &input, sizeof input);
}

// Each argument one chord such as "ctrl+shift+tab": modifiers held while
// the key goes down and up, as a person types it.
int sendKeys(HWND window, int count, wchar_t** chords) {
    SetForegroundWindow(window);
    Sleep(100);
    for (int i = 0; i < count; ++i) {
        std::wstring chord = chords[i];
        std::vector<WORD> held;
        std::size_t start = 0;
        for (std::size_t plus; (plus = chord.find(L'+', start)) != std::wstring::npos; start = plus + 1) {
            const std::wstring modifier = chord.substr(start, plus - start);
            held.push_back(modifier == L"ctrl" ? VK_CONTROL : modifier == L"shift" ? VK_SHIFT : VK_MENU);
        }
        const WORD key = virtualKey(chord.substr(start));
        if (key == 0) return 2;
        for (WORD modifier : held) keyInput(modifier, false);
        keyInput(key, false);
        keyInput(key, true);
        for (auto it = held.rbegin(); it != held.rend(); ++it) keyInput(*it, true);
        Sleep(150);
    }
    return 0;
}

// Draws one character in the dialog font into a small black-and-white
// bitmap and returns its pixels.
std::vector<unsigned char> glyphPixels(HDC dc, wchar_t c) {
    constexpr int kSize = 32;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kSize;
    info.bmiHeader.biHeight = -kSize;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    RECT all{0, 0, kSize, kSize};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    TextOutW(dc, 2, 2, &c, 1);
    GdiFlush();
    std::vector<unsigned char> pixels(static_cast<const unsigned char*>(bits),
                                      static_cast<const unsigned char*>(bits) + kSize * kSize * 4);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    return pixels;
}

int glyphs(const std::wstring& text) {
    HDC dc = CreateCompatibleDC(nullptr);
    HFONT font = CreateFontW(-16, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, DEFAULT_PITCH, L"MS Shell Dlg");
    HGDIOBJ old = SelectObject(dc, font);
    std::vector<std::vector<unsigned char>> drawn;
    for (wchar_t c : text) drawn.push_back(glyphPixels(dc, c));
    int distinct = 1;
    for (std::size_t i = 0; i < drawn.size(); ++i)
        for (std::size_t j = i + 1; j < drawn.size(); ++j)
            if (drawn[i] == drawn[j]) distinct = 0;
    SelectObject(dc, old);
    DeleteObject(font);
    DeleteDC(dc);
    emit("glyphs.distinct", distinct);
    return 0;
}

// Waits for the main window too: a box may come before anything else does.
int messageBox(DWORD timeoutMs) {
    const DWORD started = GetTickCount();
    for (;;) {
        struct Search {
            HWND owner;
            HWND found;
        } search{findMainWindow(), nullptr};
        EnumWindows(
            [](HWND window, LPARAM data) -> BOOL {
                auto* s = reinterpret_cast<Search*>(data);
                if (s->owner && className(window) == L"#32770" && GetWindow(window, GW_OWNER) == s->owner &&
                    IsWindowVisible(window)) {
                    s->found = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            emit("caption", utf8(windowText(search.found)));
            std::string texts;
            for (HWND child = FindWindowExW(search.found, nullptr, L"Static", nullptr); child;
                 child = FindWindowExW(search.found, child, L"Static", nullptr))
                texts += utf8(windowText(child));
            emit("text", texts);
            PostMessageW(search.found, WM_COMMAND, IDOK, 0);
            return 0;
        }
        if (GetTickCount() - started > timeoutMs) return 1;
        Sleep(50);
    }
}

// Every window of the desktop, children indented: for finding one's way.
void listWindows(HWND parent, int depth) {
    for (HWND child = FindWindowExW(parent, nullptr, nullptr, nullptr); child;
         child = FindWindowExW(parent, child, nullptr, nullptr)) {
        char handle[32];
        wsprintfA(handle, "%p", static_cast<void*>(child));
        emit(std::string(static_cast<std::size_t>(depth) * 2, ' ') + handle,
             utf8(className(child)) + " \"" + utf8(windowText(child)) + "\" visible=" +
                 (IsWindowVisible(child) ? "1" : "0"));
        listWindows(child, depth + 1);
    }
}

int run(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const std::wstring verb = argv[1];
    if (verb == L"list") {
        listWindows(nullptr, 0);
        return 0;
    }
    if (verb == L"glyphs" && argc > 2) return glyphs(argv[2]);
    if (verb == L"wait") return waitFor(true, argc > 2 ? number(argv[2]) : 10000);
    if (verb == L"wait-gone") return waitFor(false, argc > 2 ? number(argv[2]) : 10000);
    if (verb == L"message-box") return messageBox(argc > 2 ? number(argv[2]) : 10000);
    if (verb == L"wait-hidden") return waitHidden(argc > 2 ? number(argv[2]) : 10000);
    HWND window = findMainWindow();
    if (!window) return 1;
    if (verb == L"dump") return dump(window);
    if (verb == L"ping") {
        DWORD_PTR ignored = 0;
        const UINT timeoutMs = argc > 2 ? static_cast<UINT>(number(argv[2])) : 500;
        return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &ignored) ? 0 : 1;
    }
    if (verb == L"click" && argc > 2) return click(window, number(argv[2]), true);
    if (verb == L"press" && argc > 2) return click(window, number(argv[2]), false);
    if (verb == L"select" && argc > 3) return select(window, number(argv[2]), number(argv[3]));
    if (verb == L"dropdown" && argc > 2) {
        HWND combo = findControl(window, number(argv[2]));
        return combo && PostMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0) ? 0 : 1;
    }
    if (verb == L"tab" && argc > 2) {
        SendMessageW(GetDlgItem(window, kTabControlId), TCM_SETCURFOCUS, number(argv[2]), 0);
        return 0;
    }
    if (verb == L"command" && argc > 2) return PostMessageW(window, WM_COMMAND, number(argv[2]), 0) ? 0 : 1;
    if (verb == L"tray" && argc > 2) return PostMessageW(window, WM_USER, 0, number(argv[2])) ? 0 : 1;
    if (verb == L"syscommand" && argc > 2) return PostMessageW(window, WM_SYSCOMMAND, number(argv[2]), 0) ? 0 : 1;
    if (verb == L"escape") return pressKeys(window, {VK_ESCAPE});
    if (verb == L"keys") {
        std::vector<int> keys;
        for (int i = 2; i < argc; ++i) keys.push_back(number(argv[i]));
        return pressKeys(window, keys);
    }
    if (verb == L"send-keys") return sendKeys(window, argc - 2, argv + 2);
    if (verb == L"forget-tray-icon") {
        NOTIFYICONDATAW icon{};
        icon.cbSize = sizeof icon;
        icon.hWnd = window;
        icon.uID = 0;
        return Shell_NotifyIconW(NIM_DELETE, &icon) ? 0 : 1;
    }
    if (verb == L"taskbar-created") {
        SendMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
        return 0;
    }
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) { return run(argc, argv); }
