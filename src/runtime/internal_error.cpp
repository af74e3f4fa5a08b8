#include "runtime/internal_error.h"

#include <pthread.h>  // pthread_getname_np
#include <unistd.h>   // write, STDERR_FILENO

#include <cerrno>
#include <cstdint>
#include <string>

namespace gapwright {

InternalError::InternalError(const std::string& message, std::source_location where)
    : std::runtime_error(message), where_(where) {}

void panic(const std::string& message, std::source_location where) {
  throw InternalError(message, where);
}

std::string index_out_of_bounds(std::uint64_t len, std::uint64_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}

void write_panic_notice(std::string_view message, const std::source_location& where) noexcept {
  try {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
      name[0] = '\0';
    }
    std::string text = "thread '";
    text += name[0] != '\0' ? name : "<unnamed>";
    text += "' panicked at ";
    text += where.file_name();
    text += ':';
    text += std::to_string(where.line());
    text += ':';
    text += std::to_string(where.column());
    text += ":\n";
    text += message;
    text += '\n';
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
      ssize_t n = ::write(STDERR_FILENO, data, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      data += n;
      left -= static_cast<std::size_t>(n);
    }
  } catch (...) {
    // A notice that cannot be built is dropped; the failure itself still propagates.
  }
}

}  // namespace gapwright
