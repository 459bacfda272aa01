#pragma once
// The bytes of the report journal. A header (magic and format version), then
// one record per event, each
//     u32 payload length | payload | u32 CRC-32 of the length and payload
// all little-endian. A payload is a report (type 1: id, code, pattern id,
// ordinal, time, present, language, line) or a done mark (type 2: id).
// Reading stops at the first record that is cut short or does not check out:
// a crash mid-append leaves exactly such a tail, and what follows a damaged
// record cannot be told from line bytes that merely look like records.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/report_journal.h"

namespace tidemark::journal_format {

inline constexpr std::string_view kMagic{"TDMQUEUE", 8};
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::size_t kHeaderBytes = kMagic.size() + 4;
inline constexpr std::size_t kMaxLanguageBytes = 255;
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;  // the client posts up to 64 KiB
inline constexpr std::size_t kDoneRecordBytes = 4 + 1 + 16 + 4;

std::uint32_t crc32(std::string_view bytes);

std::string header(std::uint32_t version = kVersion);
// The caller keeps language and line within the limits above.
std::string reportRecord(const JournalEntry& entry);
std::size_t reportRecordBytes(const JournalEntry& entry);
std::string doneRecord(const ReportId& id);

struct ParsedJournal {
    enum class Header {
        Ours,          // this version's header
        Unfinished,    // nothing but a beginning of the header: a journal never written to
        OtherVersion,  // our magic with another version
        Foreign        // not a journal
    } header = Header::Foreign;
    std::vector<JournalEntry> waiting;  // reports without a done mark, in file order
    std::size_t cleanBytes = 0;         // header and whole records up to the first damage
    bool damaged = false;               // bytes follow cleanBytes
};

ParsedJournal parse(std::string_view bytes);

}  // namespace tidemark::journal_format
