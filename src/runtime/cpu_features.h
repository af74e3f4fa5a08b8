// What the processor and the operating system let vector code use, checked
// with CPUID and XGETBV. x86-64 builds only (GAPWRIGHT_X86_64_REFILLS is 1
// there); the kernels that use the answers choose once and keep the choice.
#pragma once

namespace gapwright::detail {

#if GAPWRIGHT_X86_64_REFILLS
// AVX2, with the XSAVE, OSXSAVE and AVX bits and the SSE and AVX state
// saved by the operating system.
bool cpu_has_avx2() noexcept;
// AVX-512 Foundation, with AVX2 and the opmask and ZMM state saved too.
bool cpu_has_avx512f() noexcept;
#endif

}  // namespace gapwright::detail
