#pragma once
// The widest vector registers of this processor, found once: the kernels built in several widths
// (the transforms, the enhanced fit's algebra) each run at the widest it holds.

namespace nbtv {

enum class VectorRegisters { Bits128, Bits256, Bits512 };

inline VectorRegisters vectorRegisters() {
#if defined(__x86_64__) && defined(__GNUC__)
    static const VectorRegisters widest =
        __builtin_cpu_supports("avx512f") ? VectorRegisters::Bits512
        : __builtin_cpu_supports("avx2")  ? VectorRegisters::Bits256
                                          : VectorRegisters::Bits128;
    return widest;
#else
    return VectorRegisters::Bits128;
#endif
}

} // namespace nbtv
