#include "capture/report_journal_format.h"

#include <array>
#include <unordered_map>

namespace tidemark::journal_format {

namespace {

constexpr std::uint8_t kReportType = 1;
constexpr std::uint8_t kDoneType = 2;
constexpr std::size_t kReportFixedBytes = 1 + 16 + 4 + 4 + 4 + 8 + 4 + 2 + 4;
constexpr std::size_t kMaxPayloadBytes = kReportFixedBytes + kMaxLanguageBytes + kMaxLineBytes;

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        table[i] = value;
    }
    return table;
}
constexpr auto kCrcTable = makeCrcTable();

template <typename T>
void put(std::string& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out += static_cast<char>(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
}

// Takes little-endian values off the front of a payload; every take is
// checked against what is left.
class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    template <typename T>
    bool take(T& value) {
        if (bytes_.size() < sizeof(T)) return false;
        std::uint64_t raw = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) raw |= std::uint64_t{static_cast<std::uint8_t>(bytes_[i])} << (8 * i);
        value = static_cast<T>(raw);
        bytes_.remove_prefix(sizeof(T));
        return true;
    }
    bool take(ReportId& id) {
        if (bytes_.size() < id.bytes.size()) return false;
        for (std::size_t i = 0; i < id.bytes.size(); ++i) id.bytes[i] = static_cast<std::uint8_t>(bytes_[i]);
        bytes_.remove_prefix(id.bytes.size());
        return true;
    }
    bool take(std::string& text, std::size_t size) {
        if (bytes_.size() < size) return false;
        text.assign(bytes_.data(), size);
        bytes_.remove_prefix(size);
        return true;
    }
    bool atEnd() const { return bytes_.empty(); }

private:
    std::string_view bytes_;
};

std::string framed(const std::string& payload) {
    std::string record;
    record.reserve(payload.size() + 8);
    put(record, static_cast<std::uint32_t>(payload.size()));
    record += payload;
    put(record, crc32(record));
    return record;
}

void putId(std::string& out, const ReportId& id) { out.append(reinterpret_cast<const char*>(id.bytes.data()), id.bytes.size()); }

bool decodeReport(Reader& in, JournalEntry& entry) {
    std::uint16_t languageBytes = 0;
    std::uint32_t lineBytes = 0;
    return in.take(entry.id) && in.take(entry.code) && in.take(entry.patternId) && in.take(entry.ordinal) &&
           in.take(entry.time) && in.take(entry.present) && in.take(languageBytes) &&
           languageBytes <= kMaxLanguageBytes && in.take(entry.language, languageBytes) && in.take(lineBytes) &&
           lineBytes <= kMaxLineBytes && in.take(entry.line, lineBytes) && in.atEnd();
}

}  // namespace

std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char c : bytes) crc = kCrcTable[(crc ^ static_cast<std::uint8_t>(c)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string header(std::uint32_t version) {
    std::string bytes(kMagic);
    put(bytes, version);
    return bytes;
}

std::string reportRecord(const JournalEntry& entry) {
    std::string payload;
    payload.reserve(kReportFixedBytes + entry.language.size() + entry.line.size());
    put(payload, kReportType);
    putId(payload, entry.id);
    put(payload, entry.code);
    put(payload, entry.patternId);
    put(payload, entry.ordinal);
    put(payload, entry.time);
    put(payload, entry.present);
    put(payload, static_cast<std::uint16_t>(entry.language.size()));
    payload += entry.language;
    put(payload, static_cast<std::uint32_t>(entry.line.size()));
    payload += entry.line;
    return framed(payload);
}

std::size_t reportRecordBytes(const JournalEntry& entry) {
    return 4 + kReportFixedBytes + entry.language.size() + entry.line.size() + 4;
}

std::string doneRecord(const ReportId& id) {
    std::string payload;
    put(payload, kDoneType);
    putId(payload, id);
    return framed(payload);
}

ParsedJournal parse(std::string_view bytes) {
    ParsedJournal parsed;
    if (bytes.size() < kHeaderBytes) {
        const std::string ours = header();
        if (std::string_view(ours).substr(0, bytes.size()) == bytes) parsed.header = ParsedJournal::Header::Unfinished;
        return parsed;
    }
    if (bytes.substr(0, kMagic.size()) != kMagic) return parsed;
    Reader versionReader(bytes.substr(kMagic.size(), 4));
    std::uint32_t version = 0;
    versionReader.take(version);
    if (version != kVersion) {
        parsed.header = ParsedJournal::Header::OtherVersion;
        return parsed;
    }
    parsed.header = ParsedJournal::Header::Ours;

    std::vector<JournalEntry> reports;
    std::vector<bool> done;
    std::unordered_map<ReportId, std::size_t> indexOf;
    std::size_t offset = kHeaderBytes;
    while (offset < bytes.size()) {
        const std::string_view rest = bytes.substr(offset);
        Reader framing(rest);
        std::uint32_t payloadBytes = 0;
        if (!framing.take(payloadBytes) || payloadBytes == 0 || payloadBytes > kMaxPayloadBytes ||
            rest.size() - 4 < std::size_t{payloadBytes} + 4)
            break;
        const std::string_view payload = rest.substr(4, payloadBytes);
        Reader crcReader(rest.substr(4 + payloadBytes, 4));
        std::uint32_t crc = 0;
        crcReader.take(crc);
        if (crc != crc32(rest.substr(0, 4 + payloadBytes))) break;

        Reader in(payload);
        std::uint8_t type = 0;
        in.take(type);
        if (type == kReportType) {
            JournalEntry entry;
            if (!decodeReport(in, entry)) break;
            // A repeat of a waiting report keeps the first one's place; one
            // appended again after it was done waits anew, as the writer saw it.
            const auto found = indexOf.find(entry.id);
            if (found == indexOf.end() || done[found->second]) {
                indexOf.insert_or_assign(entry.id, reports.size());
                reports.push_back(std::move(entry));
                done.push_back(false);
            }
        } else if (type == kDoneType) {
            ReportId id;
            if (!in.take(id) || !in.atEnd()) break;
            if (auto found = indexOf.find(id); found != indexOf.end()) done[found->second] = true;
        } else {
            break;
        }
        offset += 4 + payloadBytes + 4;
    }
    parsed.cleanBytes = offset;
    parsed.damaged = offset < bytes.size();
    for (std::size_t i = 0; i < reports.size(); ++i)
        if (!done[i]) parsed.waiting.push_back(std::move(reports[i]));
    return parsed;
}

}  // namespace tidemark::journal_format
