#pragma once
// The game's chat log laid out in a FakeProcessImage the way the game keeps
// it: a header with the entry count, the offset-table pointer and the
// text-buffer pointer; blocks of 1000 entries whose offset table and text
// buffer hold the current block only. Appending past a multiple of 1000
// starts a new block in the other of two buffer pairs, as a game that
// reallocates its block would, or (reuseBuffers) over the same pair.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fakes/fake_process_image.h"
#include "gamelog/chat_log.h"

namespace tidemark::testing {

class FakeChatLog {
public:
    static constexpr std::uint64_t kHeaderBase = 0x10000000;
    static constexpr std::uint64_t kTextBufferSlot = kHeaderBase + 0x100;
    static constexpr std::uint64_t kTableBase[2] = {0x20000000, 0x21000000};
    static constexpr std::uint64_t kTextBase[2] = {0x30000000, 0x38000000};
    static constexpr std::uint64_t kTableSize = 0x1000;  // 1000 entries of 4 bytes

    explicit FakeChatLog(std::shared_ptr<FakeProcessImage> image, std::uint64_t textCapacity = 1 << 20)
        : image_(std::move(image)), textCapacity_(textCapacity) {
        image_->addRegion(kHeaderBase, 0x1000);
        for (int i = 0; i < 2; ++i) {
            image_->addRegion(kTableBase[i], kTableSize);
            image_->addRegion(kTextBase[i], textCapacity_);
        }
        pointBlockAt(0);
        writeCount();
    }

    static constexpr std::uint64_t offsetTableSlot() { return kTextBufferSlot - 0x18; }
    static constexpr std::uint64_t entryCountAddress() { return kTextBufferSlot - 0x4C; }

    // What the locator would have found.
    static constexpr ChatLogAddresses addresses() {
        return {kTextBufferSlot, offsetTableSlot(), entryCountAddress()};
    }

    // Writes the entry into the current block; the count is raised only when
    // `publish` is set, so a test can show the game between its two writes.
    void append(std::uint32_t time, std::int32_t code, std::string_view line, bool publish = true) {
        std::uint32_t indexInBlock = written_ % 1000;
        if (indexInBlock == 0 && written_ > 0) {
            if (!reuse_) parity_ ^= 1;
            pointBlockAt(parity_);
            textEnd_ = 0;
        }
        std::vector<std::uint8_t> entry(8 + line.size());
        for (int i = 0; i < 4; ++i) entry[i] = static_cast<std::uint8_t>(time >> (8 * i));
        for (int i = 0; i < 4; ++i)
            entry[4 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(code) >> (8 * i));
        std::memcpy(entry.data() + 8, line.data(), line.size());
        image_->writeBytes(kTextBase[blockParity()] + textEnd_, entry.data(), entry.size());
        textEnd_ += static_cast<std::uint32_t>(entry.size());
        image_->writeU32(kTableBase[blockParity()] + 4 * indexInBlock, textEnd_);
        ++written_;
        if (publish) writeCount();
    }

    // `n` filler entries that no keyword of the tests occurs in.
    void appendFiller(std::uint32_t n, std::int32_t code = 10) {
        for (std::uint32_t i = 0; i < n; ++i) append(1700000000 + i, code, "filler", false);
        writeCount();
    }

    void publishCount() { writeCount(); }
    // The game begins its log anew: the count falls to 0 and the next entry
    // is written over the start of the first buffer pair.
    void startOver() {
        written_ = 0;
        textEnd_ = 0;
        parity_ = 0;
        pointBlockAt(0);
        writeCount();
    }
    // The header points at the other buffer pair, as a game that starts its
    // next block before writing to it would have it.
    void pointAtOtherBuffers() { pointBlockAt(parity_ ^ 1); }
    // From the next block on, every block is written over the buffers of
    // the one before.
    void reuseBuffers() { reuse_ = true; }
    void setCount(std::int32_t count) { image_->writeU32(entryCountAddress(), static_cast<std::uint32_t>(count)); }
    std::uint32_t written() const { return written_; }

    // Overwrites the end offset of entry `indexInBlock` of the current block.
    void setEndOffset(std::uint32_t indexInBlock, std::uint32_t endOffset) {
        image_->writeU32(kTableBase[blockParity()] + 4 * indexInBlock, endOffset);
    }
    std::uint64_t currentTableAddress() const { return kTableBase[blockParity()]; }
    std::uint64_t currentTextAddress() const { return kTextBase[blockParity()]; }
    // The other buffer pair: the last block's, after a change of block.
    std::uint64_t otherTableAddress() const { return kTableBase[blockParity() ^ 1]; }
    std::uint64_t otherTextAddress() const { return kTextBase[blockParity() ^ 1]; }

    FakeProcessImage& image() { return *image_; }

private:
    int blockParity() const { return parity_; }
    void pointBlockAt(int parity) {
        image_->writeU64(offsetTableSlot(), kTableBase[parity]);
        image_->writeU64(kTextBufferSlot, kTextBase[parity]);
    }
    void writeCount() { setCount(static_cast<std::int32_t>(written_)); }

    std::shared_ptr<FakeProcessImage> image_;
    std::uint64_t textCapacity_;
    std::uint32_t written_ = 0;
    std::uint32_t textEnd_ = 0;
    int parity_ = 0;
    bool reuse_ = false;
};

}  // namespace tidemark::testing
