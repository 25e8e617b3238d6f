// QUINTARA_WIDE_CLONES: compile a hot kernel also for wider vector units.
//
// On x86-64 with GCC the marked function gets AVX-512 and AVX2 clones beside
// the baseline one, picked once at load time. Only the width of the
// independent lanes changes: the build never contracts products into fused
// multiply-adds (-ffp-contract=off), so every clone performs the same
// additions and products in the same order and returns the same bits.
#pragma once

#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__) && !defined(__clang__)
#define QUINTARA_WIDE_CLONES __attribute__((target_clones("avx512f", "avx2", "default"), flatten))
#else
#define QUINTARA_WIDE_CLONES
#endif
