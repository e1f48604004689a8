// The server's command line on Windows, for its server key: the wide command line split as the
// system splits it, and the key converted to UTF-8.
#if defined(_WIN32)

#include <windows.h>
// shellapi.h needs windows.h before it.
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "brimwarden/host/text.h"
#include "config_internal.h"

namespace brimwarden::config {

std::string ServerKeyFromCommandLine() {
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&LocalFree)> arguments(
      CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
  if (!arguments) return {};
  std::vector<std::u16string> list;
  list.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    list.emplace_back(reinterpret_cast<const char16_t*>(arguments.get()[i]));
  }
  return host::ToUtf8(FindServerKey(list));
}

}  // namespace brimwarden::config

#endif  // defined(_WIN32)
