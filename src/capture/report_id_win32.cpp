#include <windows.h>
#include <bcrypt.h>

#include "capture/report_id.h"

namespace tidemark {

bool fillFromSystemRandom(std::uint8_t* out, std::size_t size) {
    return BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

}  // namespace tidemark
