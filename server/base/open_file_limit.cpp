#include "base/open_file_limit.h"

#include <sys/resource.h>

namespace tidemark {

OpenFileLimit raiseOpenFileLimit() {
  OpenFileLimit result;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return result;
  result.before = result.now = limit.rlim_cur;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) result.now = raised.rlim_cur;
  }
  return result;
}

}  // namespace tidemark
