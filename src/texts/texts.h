#pragma once
// Texts of the user interface, by string-table id, in the user-interface
// language (Japanese set for a Japanese UI, else the neutral English set).

#include <string>
#include <string_view>

namespace tidemark {

enum TextId : int {
    kTextSpecifyLanguage = 111,
    kTextConnectionFailed = 112,
    kTextWaitingForGame = 113,
    kTextLaunchingGame = 114,
    kTextLaunchFailed = 115,
    kTextLoadingLogs = 116,
    kTextLogTab = 117,
    kTextConfigTab = 118,
    kTextMonitoringLogs = 120,
    kTextSearchingLogs = 121,
    kTextAuthenticationRequired = 123,
    kTextDirectX9Unsupported = 124,
    kTextInformation = 125,
    kTextPlayerIdRefused = 126,
    kTextReportsWaiting = 127,
    kTextReportsNotSent = 128,
    kTextReportsDropped = 129,
    kTextWaitingForServer = 130,
    kTextLastRunReportsSent = 131,
    kTextJournalDamaged = 132,
    kTextJournalOtherVersion = 133,
    kTextJournalUnusable = 134,
    kTextCertificateUntrusted = 135,
    kTextCertificateOtherName = 136,
    kTextCertificateOutOfDate = 137,
    kTextCertificateRevoked = 138,
    kTextCertificateRevocationUnknown = 139,
    kTextCertificateClientAsked = 140,
    kTextCertificateUnusable = 141,
    kTextStartCertificateRefused = 142,
    kTextJournalNotWritten = 150,
    kTextReportGivenUp = 151,
    kTextJournalSetAside = 152,
    kTextJournalReadOnly = 153,
    kTextLinesPassedOver = 154,
};

// At most 1023 UTF-16 units; an id without text gives the empty text.
std::u16string LoadTextW(int id);
// The same as narrow text in the system's code page (UTF-8 off Windows).
std::string LoadTextA(int id);
// UTF-8 to UTF-16 up to the first NUL; invalid sequences become U+FFFD.
std::u16string Utf8ToWide(std::string_view utf8);

}  // namespace tidemark
