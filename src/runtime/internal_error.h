// Internal failures: an expectation inside the native code that does not hold.
//
// They are thrown as `InternalError` and travel as ordinary C++ exceptions up
// to the one guard of each Python entry point, which reports them as
// PanicException; inside a pool worker they end the job instead. The record
// keeps the source location of the throw so the diagnostic can name it.
#pragma once

#include <cstdint>          // std::uint64_t
#include <source_location>  // std::source_location
#include <stdexcept>        // std::runtime_error
#include <string>
#include <string_view>  // std::string_view

namespace gapwright {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message,
                         std::source_location where = std::source_location::current());

  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

// Throws InternalError carrying the caller's source location.
[[noreturn]] void panic(const std::string& message,
                        std::source_location where = std::source_location::current());

// The message of an index failure, "index out of bounds: the len is L but the index is I".
std::string index_out_of_bounds(std::uint64_t len, std::uint64_t index);

// Writes "thread '<name>' panicked at <file>:<line>:<column>:\n<message>\n" to
// standard error with one write, whatever thread calls it. Takes a view so
// that a caller short of memory can still report with a literal.
void write_panic_notice(std::string_view message, const std::source_location& where) noexcept;

}  // namespace gapwright
