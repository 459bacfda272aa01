#pragma once

#include <cstdint>

namespace tidemark {

struct OpenFileLimit {
  uint64_t before = 0;
  uint64_t now = 0;
};

// Raises the soft open-file limit to the hard one: every client connection
// is a file, and the usual soft 1,024 would cap the server there.
OpenFileLimit raiseOpenFileLimit();

}  // namespace tidemark
