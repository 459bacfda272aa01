#include "gamelog/chat_log.h"

namespace tidemark {

std::int32_t entryCount(const ProcessMemory& process, const ChatLogAddresses& log) {
    if (log.entryCountAddress == 0) return 0;
    return process.readU32(log.entryCountAddress);
}

}  // namespace tidemark
