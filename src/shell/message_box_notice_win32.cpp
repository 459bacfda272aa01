#include "shell/message_box_notice_win32.h"

#include <windows.h>

#include "shell/main_dialog_win32.h"
#include "texts/texts.h"

namespace tidemark {

void MessageBoxNotice::showInformation(const std::u16string& text) {
    const std::u16string caption = LoadTextW(kTextInformation);
    MessageBoxW(mainWindow, reinterpret_cast<const wchar_t*>(text.c_str()),
                reinterpret_cast<const wchar_t*>(caption.c_str()), MB_ICONINFORMATION);
}

}  // namespace tidemark
