#pragma once
// Where the chat log of a game process was last found, kept in a small file
// beside the journal so that a Tidemark started again beside the same
// running game can try that place before searching the game's memory, which
// takes long in a large address space and cannot find a log whose marker
// line has left the current block.
//
// The file is 36 bytes, little-endian: the magic "TDMLOGAT", the format
// version (u32), the process id (u32), its creation time (u64), the
// header's text-buffer slot (u64), then the CRC-32 of all that (u32).
// Anything else (missing, cut, flipped, another version) reads as nothing
// known: the place is only ever a hint, confirmed before it is used.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "gamelog/process_memory.h"

namespace tidemark {

struct KnownChatLog {
    ProcessIdentity process;
    std::uint64_t textBufferSlot = 0;

    friend bool operator==(const KnownChatLog&, const KnownChatLog&) = default;
};

std::string encodeKnownChatLog(const KnownChatLog& known);
std::optional<KnownChatLog> decodeKnownChatLog(std::string_view bytes);

// Nothing when `path` is empty or its file does not hold a place.
std::optional<KnownChatLog> readKnownChatLog(const std::filesystem::path& path);
// Replaces the file whole and flushed: a crash leaves the old place or the
// new one. False when it could not be written (the next start then searches).
bool writeKnownChatLog(const std::filesystem::path& path, const KnownChatLog& known);

}  // namespace tidemark
