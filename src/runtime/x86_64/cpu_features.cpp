// The processor checks behind the choice of vector kernels. They read CPUID
// and XCR0 only, so this file needs no extra target flags; it is built only
// for x86-64 targets.
#include "runtime/cpu_features.h"

#include <cpuid.h>  // __get_cpuid, __get_cpuid_count
#include <cstdint>  // std::uint32_t, std::uint64_t

namespace gapwright::detail {

namespace {

// XGETBV without -mxsave, so that this file needs no extra target flags.
std::uint64_t read_xcr0() noexcept {
  std::uint32_t eax = 0;
  std::uint32_t edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return static_cast<std::uint64_t>(eax) | (static_cast<std::uint64_t>(edx) << 32);
}

// CPUID leaf 7's EBX, once the operating system is known to save the
// register state in `state_bits` of XCR0; 0 when it does not.
unsigned leaf7_ebx_with_state(std::uint64_t state_bits) noexcept {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return 0;
  constexpr unsigned kXsave = 1U << 26;
  constexpr unsigned kOsxsave = 1U << 27;
  constexpr unsigned kAvx = 1U << 28;
  if ((ecx & (kXsave | kOsxsave | kAvx)) != (kXsave | kOsxsave | kAvx)) return 0;
  if ((read_xcr0() & state_bits) != state_bits) return 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return 0;
  return ebx;
}

// XCR0: SSE and AVX state; with AVX-512 also the opmask and both ZMM parts.
constexpr std::uint64_t kSseAvxState = 0b110;
constexpr std::uint64_t kAvx512State = 0b1110'0110;
constexpr unsigned kAvx2Bit = 1U << 5;
constexpr unsigned kAvx512fBit = 1U << 16;

}  // namespace

bool cpu_has_avx2() noexcept { return (leaf7_ebx_with_state(kSseAvxState) & kAvx2Bit) != 0; }

bool cpu_has_avx512f() noexcept {
  const unsigned ebx = leaf7_ebx_with_state(kAvx512State);
  return (ebx & kAvx2Bit) != 0 && (ebx & kAvx512fBit) != 0;
}

}  // namespace gapwright::detail
