// Pieces shared by the channel-blocked (NCHW8c) operator sources: the block and the scatter to a plain
// output.
#pragma once

#include <immintrin.h>

#include <array>
#include <limits>

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

// Output columns [a, b) of a convolution whose window taps [kw0, kw1) are the ones inside the input row.
struct ColumnTaps {
    int64_t a, b, kw0, kw1;
};

// Addressing of one image for the convolution tiles.  Either every tap reads memory (the input is padded, or
// has no padding), or `rows` and `cols` name the taps inside the input, the only ones the tiles then read:
// kernel rows [rows[2 oh], rows[2 oh + 1]) of output row oh, and per range of output columns the kernel
// columns of `cols` (a dilated convolution whose padding is as wide as its window reads mostly padding
// otherwise).  ph and pw are the padding that the input lacks: the position of an output's window counts
// from the padded frame.  BS channels of one input block sit at consecutive floats (8 blocked, 1 plain).
struct ConvTile {
    const float *x, *w, *bias, *res;  // res: residual added before the activation (blocked, like y)
    float *y;
    int64_t x_cb, x_h, x_ws;  // input strides: channel block, row, one output column (stride * BS)
    int64_t tap_h, tap_w;     // input strides of one kernel tap: dilation * row, dilation * BS
    int64_t KH, KW, SH;
    int64_t w_ob, w_cb;  // packed weight strides: output block, input block
    int64_t OH, OW, M;
    bool plain_out;
    Activation act;
    const int64_t *rows;     // or nullptr: all kernel rows
    const ColumnTaps *cols;  // with rows: ranges covering [0, OW) in order
    int64_t ph, pw;
};

// Kernel taps [kh0, kh1) x [kw0, kw1) of a tile.
struct Taps {
    int64_t kh0, kh1, kw0, kw1;
};

// Residual, activation and scatter to a plain output of the finished sums of a tile, [no][nw][8] (apart from
// the kernel so that its accumulators stay in registers).
void scatter_tile(const ConvTile &t, float *sums, int no, int nw, int64_t ob, int64_t pos);

// Output columns [c0, c1) of row `oh` of NO output blocks from `ob`, over input blocks [cb0, cb1): the first
// pass starts from the bias, the last finishes the sums.
using RowKernel = void (*)(const ConvTile &, int64_t ob, int64_t oh, int64_t c0, int64_t c1, int64_t cb0,
                           int64_t cb1, bool first, bool last);

// Row kernels over 1, 2 or 3 pairs of output blocks (ops_conv512.cpp), whose weights are packed in pairs:
// [OB / 2][input blocks][KH][KW][bs][16], the two blocks' 8 channels side by side.  By [input blocked]
// [stride: other, 1, 2; pointwise][pairs - 1], as the AVX2 row kernels.
extern const std::array<RowKernel, 3> pair_row_kernels[2][4];

// m[o][t] = sum over c of v[c][t] u[o][c] for the output blocks o and tiles t of one transformed position
// of a Winograd convolution: v as [CB][v_cb floats: tiles][8], u as [blocks: u_ob floats][CB][8][8], m as
// [blocks: m_o floats][tiles][8].
using ProductKernel = void (*)(const float *v, int64_t v_cb, const float *u, int64_t u_ob, int64_t CB, float *m,
                               int64_t m_o);

// Product kernels over 1 or 2 pairs of output blocks on AVX-512 (ops_conv512.cpp), by [pairs - 1]
// [tiles - 1].
constexpr int64_t kPairTiles = 12;
extern const std::array<ProductKernel, kPairTiles> pair_product_kernels[2];

// An activation as vector constants, made once per kernel call: reading the Activation per vector costs a
// reload and a branch each (the project builds without strict aliasing, so any float store may change it).
// None, Relu and Clip all clamp to [lo, hi]; maxps and minps with the value as second operand keep NaN.
// Leaky scales the negative lanes.  The other activations leave the clamp open and run as a pass over the
// stored results (Activation::apply) while they are in cache: inlined into every tile kernel, their code
// would multiply the kernels' size.
struct VecAct {
    bool leaky;
    __m256 lo, hi, alpha;
    ZELT_AVX2 explicit VecAct(const Activation &a)
        : leaky(a.kind == Activation::Leaky),
          lo(_mm256_set1_ps(a.kind == Activation::Relu   ? 0.f
                            : a.kind == Activation::Clip ? a.lo
                                                         : -std::numeric_limits<float>::infinity())),
          hi(_mm256_set1_ps(a.kind == Activation::Clip ? a.hi : std::numeric_limits<float>::infinity())),
          alpha(_mm256_set1_ps(a.alpha)) {}
    template <bool LEAKY>
    ZELT_AVX2 __m256 apply(__m256 v) const {
        if constexpr (LEAKY)
            return _mm256_blendv_ps(v, _mm256_mul_ps(v, alpha),
                                    _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_LT_OQ));
        return _mm256_min_ps(hi, _mm256_max_ps(lo, v));
    }
    ZELT_AVX2 __m256 operator()(__m256 v) const { return leaky ? apply<true>(v) : apply<false>(v); }
};

// Window geometry of a depthwise convolution or pooling over a blocked input plane.
struct Window {
    Axis ah, aw;
    int64_t lo, hi;  // output columns whose whole window lies inside the row

    void init(const Axis &h, const Axis &w) {
        ah = h;
        aw = w;
        valid_columns(-aw.p0, aw.s, aw.in - (aw.k - 1) * aw.d, aw.out, lo, hi);
    }
};

// Output rows [oh0, oh1) of a depthwise convolution or pooling of one channel block (window_rows in
// ops_nchwc.cpp): xc holds the input rows from row0 on, pad_row a row of the neutral value.
using RowsFn = void (*)(const float *xc, int64_t row0, const float *pad_row, const float *wk, const float *init8,
                        const Window &g, int64_t oh0, int64_t oh1, const float *div, const Activation &act,
                        float *rows);

// The same for depthwise convolutions of dilation 1 and at most kMaxWindowRows rows, without horizontal
// padding (or over rows padded beforehand), on AVX-512 (ops_conv512.cpp), by stride: other, 1, 2.
constexpr int64_t kMaxWindowRows = 16;
extern const std::array<RowsFn, 3> depthwise_rows512;

// A Winograd F(4x4, 3x3) convolution of node `n` (ops_winograd.cpp), where it runs faster than the direct
// kernels: a 3x3 window of stride and dilation 1, ungrouped, pads of at most 1, blocked input `x`.  It
// writes `y` (blocked or plain) as act(conv + bias + res), `res` blocked or nullptr, and may share y's
// storage.  nullptr, with nothing charged, where the direct kernels run.
std::unique_ptr<Op> make_winograd_conv(const Node &n, Planner &p, Tensor *x, Tensor *y, Tensor *res,
                                       const Activation &act, const Axis &ah, const Axis &aw);

}  // namespace zelt::engine
