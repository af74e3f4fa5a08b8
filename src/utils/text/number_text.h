// Text forms of doubles, all built on the shortest digit string that reads
// back as the same double.
#pragma once

#include <string>  // std::string

namespace gapwright {

// Positional, never an exponent; no point when integral, no trailing zeros;
// "-" for every negative value including -0; "NaN", "inf", "-inf".
// 0.5 -> "0.5", 3.0 -> "3", 1e-7 -> "0.0000001", 1e21 -> "1000000000000000000000".
std::string format_positional(double value);

// The matrix dump's form: zero and magnitudes in [1e-4, 1e16) positional with
// at least one digit after the point ("1.0", "-0.0", "1234.5"); others in
// scientific notation with a point only for a multi-digit mantissa and no
// plus sign ("1e-5", "1.5e-7", "1e16"); "NaN", "inf", "-inf". Appends to out.
void append_dump_number(std::string& out, double value);

}  // namespace gapwright
