#include "utils/text/number_text.h"

#include <charconv>  // std::to_chars
#include <cmath>     // std::isnan, std::isinf, std::signbit
#include <string>

namespace gapwright {
namespace {

// The shortest round-trip digits of |value| (finite, non-zero) and the
// decimal exponent of the first digit: value = 0.d1d2d3... * 10^(exponent+1).
struct ShortestDigits {
  std::string digits;
  int exponent = 0;
};

ShortestDigits shortest_digits(double magnitude) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, magnitude,
                                 std::chars_format::scientific);
  (void)ec;  // 64 bytes always hold the shortest scientific form of a double
  std::string text(buffer, end);
  const std::size_t e = text.find('e');
  ShortestDigits result;
  for (std::size_t i = 0; i < e; ++i) {
    if (text[i] != '.') result.digits += text[i];
  }
  result.exponent = std::stoi(text.substr(e + 1));
  return result;
}

// Writes digits d1d2... with the first digit at decimal position `exponent`,
// padding with zeros; adds ".0" when asked and the value is integral.
void append_positional(std::string& out, const ShortestDigits& d, bool force_fraction) {
  const int count = static_cast<int>(d.digits.size());
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out += d.digits;
    return;
  }
  const int integral = d.exponent + 1;
  if (count <= integral) {
    out += d.digits;
    out.append(static_cast<std::size_t>(integral - count), '0');
    if (force_fraction) out += ".0";
    return;
  }
  out.append(d.digits, 0, static_cast<std::size_t>(integral));
  out += '.';
  out.append(d.digits, static_cast<std::size_t>(integral), std::string::npos);
}

bool append_special(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

std::string format_positional(double value) {
  std::string out;
  if (append_special(out, value)) return out;
  if (std::signbit(value)) out += '-';
  if (value == 0.0) {
    out += '0';
    return out;
  }
  append_positional(out, shortest_digits(std::fabs(value)), false);
  return out;
}

void append_dump_number(std::string& out, double value) {
  if (append_special(out, value)) return;
  if (std::signbit(value)) out += '-';
  const double magnitude = std::fabs(value);
  if (magnitude == 0.0) {
    out += "0.0";
    return;
  }
  const ShortestDigits d = shortest_digits(magnitude);
  if (magnitude >= 1e-4 && magnitude < 1e16) {
    append_positional(out, d, true);
    return;
  }
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out.append(d.digits, 1, std::string::npos);
  }
  out += 'e';
  out += std::to_string(d.exponent);
}

}  // namespace gapwright
