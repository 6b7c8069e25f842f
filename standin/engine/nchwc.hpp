// Pieces shared by the channel-blocked (NCHW8c) operator sources: the block and the scatter to a plain
// output.
#pragma once

#include <immintrin.h>

#include "ops_util.hpp"
#include "vec_math.hpp"

namespace zelt::engine {

constexpr int64_t kBlock = 8;

inline int64_t blocks_of(int64_t c) { return (c + kBlock - 1) / kBlock; }

// Writes vector `v` of channel block `cb`, position `pos` of image `n` to plain NCHW `y`.
ZELT_AVX2 inline void scatter(__m256 v, float *y, int64_t C, int64_t plane, int64_t n, int64_t cb,
                              int64_t pos) {
    alignas(32) float lane[8];
    _mm256_store_ps(lane, v);
    const int64_t c0 = cb * kBlock, lanes = std::min<int64_t>(kBlock, C - c0);
    float *dst = y + (n * C + c0) * plane + pos;
    for (int64_t c = 0; c < lanes; ++c) dst[c * plane] = lane[c];
}

// A Winograd F(4x4, 3x3) convolution of node `n` (ops_winograd.cpp), where it runs faster than the direct
// kernels: a 3x3 window of stride and dilation 1, ungrouped, pads of at most 1, blocked input `x`.  It
// writes `y` (blocked or plain) as act(conv + bias + res), `res` blocked or nullptr, and may share y's
// storage.  nullptr, with nothing charged, where the direct kernels run.
std::unique_ptr<Op> make_winograd_conv(const Node &n, Planner &p, Tensor *x, Tensor *y, Tensor *res,
                                       const Activation &act, const Axis &ah, const Axis &aw);

}  // namespace zelt::engine
