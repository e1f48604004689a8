// The server's command line on POSIX systems, for its server key: the kernel keeps the arguments
// the process was started with, each ended by a NUL.
#if !defined(_WIN32)

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "config_internal.h"

namespace brimwarden::config {

std::string ServerKeyFromCommandLine() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  const std::string all{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::vector<std::string> list;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    list.emplace_back(all, start, end - start);
    start = end + 1;
  }
  return FindServerKey(list);
}

}  // namespace brimwarden::config

#endif  // !defined(_WIN32)
