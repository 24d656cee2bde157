#pragma once
// Hot loops of the segment fit are built twice on x86-64, plainly and for AVX2, and the loader
// picks the one the processor runs. Neither uses fused multiply-add, so both give the same
// results bit for bit.

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define NBTV_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define NBTV_VECTOR_CLONES
#endif
