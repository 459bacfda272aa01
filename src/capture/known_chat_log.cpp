#include "capture/known_chat_log.h"

#include "capture/report_journal_format.h"
#include "platform/durable_file.h"

namespace tidemark {

namespace {

constexpr std::string_view kMagic{"TDMLOGAT", 8};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kBodyBytes = kMagic.size() + 4 + 4 + 8 + 8;
constexpr std::size_t kFileBytes = kBodyBytes + 4;

void putLittleEndian(std::string& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

std::uint64_t takeLittleEndian(std::string_view& in, int width) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) value |= std::uint64_t{static_cast<std::uint8_t>(in[i])} << (8 * i);
    in.remove_prefix(static_cast<std::size_t>(width));
    return value;
}

}  // namespace

std::string encodeKnownChatLog(const KnownChatLog& known) {
    std::string bytes(kMagic);
    putLittleEndian(bytes, kVersion, 4);
    putLittleEndian(bytes, known.process.processId, 4);
    putLittleEndian(bytes, known.process.creationTime, 8);
    putLittleEndian(bytes, known.textBufferSlot, 8);
    putLittleEndian(bytes, journal_format::crc32(bytes), 4);
    return bytes;
}

std::optional<KnownChatLog> decodeKnownChatLog(std::string_view bytes) {
    if (bytes.size() != kFileBytes || bytes.substr(0, kMagic.size()) != kMagic) return std::nullopt;
    std::string_view check = bytes.substr(kBodyBytes);
    if (takeLittleEndian(check, 4) != journal_format::crc32(bytes.substr(0, kBodyBytes))) return std::nullopt;
    std::string_view in = bytes.substr(kMagic.size());
    if (takeLittleEndian(in, 4) != kVersion) return std::nullopt;
    KnownChatLog known;
    known.process.processId = static_cast<std::uint32_t>(takeLittleEndian(in, 4));
    known.process.creationTime = takeLittleEndian(in, 8);
    known.textBufferSlot = takeLittleEndian(in, 8);
    return known;
}

std::optional<KnownChatLog> readKnownChatLog(const std::filesystem::path& path) {
    if (path.empty()) return std::nullopt;
    // One byte more than a place: a longer file is not one.
    const FileContents contents = readFile(platformFileSystem(), path, kFileBytes + 1);
    if (contents.status != FileContents::Status::Read) return std::nullopt;
    return decodeKnownChatLog(contents.bytes);
}

bool writeKnownChatLog(const std::filesystem::path& path, const KnownChatLog& known) {
    return !path.empty() && replaceFile(platformFileSystem(), path, encodeKnownChatLog(known));
}

}  // namespace tidemark
