// Pieces shared by the channel-blocked (NCHW8c) operator sources: the block, the scatter to a plain
// output, and the 8x8 transpose that converts between the layouts eight positions at a time.
#pragma once

#include <immintrin.h>

#include <array>
#include <limits>

#include "ops_util.hpp"
#include "vec_math.hpp"

namespace zelt::engine {

constexpr int64_t kBlock = 8;

inline int64_t blocks_of(int64_t c) { return (c + kBlock - 1) / kBlock; }

// dst[i * ld_dst + j] = src[i + j * ld_src] for i, j < 8: eight rows in, eight out, in registers.
ZELT_AVX2 inline void transpose8x8(const float *src, int64_t ld_src, float *dst, int64_t ld_dst) {
    __m256 r[8], t[8];
    for (int j = 0; j < 8; ++j) r[j] = _mm256_loadu_ps(src + j * ld_src);
    for (int j = 0; j < 8; j += 2) {
        t[j] = _mm256_unpacklo_ps(r[j], r[j + 1]);
        t[j + 1] = _mm256_unpackhi_ps(r[j], r[j + 1]);
    }
    for (int j = 0; j < 8; j += 4)
        for (int h = 0; h < 2; ++h) {
            r[j + h] = _mm256_shuffle_ps(t[j + h], t[j + h + 2], _MM_SHUFFLE(1, 0, 1, 0));
            r[j + h + 2] = _mm256_shuffle_ps(t[j + h], t[j + h + 2], _MM_SHUFFLE(3, 2, 3, 2));
        }
    // r[0..3] of rows 0-3 and r[4..7] of rows 4-7 hold columns 0,2,1,3 (low lanes) and 4,6,5,7 (high).
    const int col[4] = {0, 2, 1, 3};
    for (int k = 0; k < 4; ++k) {
        _mm256_storeu_ps(dst + col[k] * ld_dst, _mm256_permute2f128_ps(r[k], r[k + 4], 0x20));
        _mm256_storeu_ps(dst + (col[k] + 4) * ld_dst, _mm256_permute2f128_ps(r[k], r[k + 4], 0x31));
    }
}

// Writes vector `v` of channel block `cb`, position `pos` of image `n` to plain NCHW `y`.
ZELT_AVX2 inline void scatter(__m256 v, float *y, int64_t C, int64_t plane, int64_t n, int64_t cb,
                              int64_t pos) {
    alignas(32) float lane[8];
    _mm256_store_ps(lane, v);
    const int64_t c0 = cb * kBlock, lanes = std::min<int64_t>(kBlock, C - c0);
    float *dst = y + (n * C + c0) * plane + pos;
    for (int64_t c = 0; c < lanes; ++c) dst[c * plane] = lane[c];
}

// Positions [0, count) of one channel block `row` (blocked, `lanes` of its channels real) to NCHW at `dst`,
// channel c at dst + c * plane: eight positions at a time through the transpose where the block is whole.
ZELT_AVX2 inline void unblock_row(const float *row, int64_t count, int64_t lanes, float *dst, int64_t plane) {
    int64_t i0 = 0;
    for (; lanes == kBlock && i0 + 8 <= count; i0 += 8)
        transpose8x8(row + i0 * kBlock, kBlock, dst + i0, plane);
    for (int64_t c = 0; c < lanes; ++c)
        for (int64_t i = i0; i < count; ++i) dst[c * plane + i] = row[i * kBlock + c];
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

constexpr int64_t kMaxWindowRows = 16;

// ---------------------------------------------------------------- depthwise convolution, either width

// Blocked vectors for the kernels written once for both widths: V8 holds one channel block at a position,
// V16 the same position of two blocks, read from and written to two addresses.
typedef float V8u __attribute__((vector_size(32), aligned(4)));
typedef float V16u __attribute__((vector_size(64), aligned(4)));

template <class V>
ZELT_MATH V load_blocks(const float *a, const float *b);
template <>
ZELT_MATH vec::V8 load_blocks<vec::V8>(const float *a, const float *) {
    return *reinterpret_cast<const V8u *>(a);
}
template <>
ZELT_MATH vec::V16 load_blocks<vec::V16>(const float *a, const float *b) {
    const vec::V8 lo = *reinterpret_cast<const V8u *>(a), hi = *reinterpret_cast<const V8u *>(b);
    return __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}
ZELT_MATH void store_blocks(vec::V8 v, float *a, float *) { *reinterpret_cast<V8u *>(a) = v; }
ZELT_MATH void store_blocks(vec::V16 v, float *a, float *b) {
    *reinterpret_cast<V8u *>(a) = __builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7);
    *reinterpret_cast<V8u *>(b) = __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15);
}
// Two pairs of blocks at consecutive positions: each block's two positions are one 64-byte run, stored or
// loaded whole.  Half-width accesses to two planes at every position cost a third of a wide pointwise
// convolution's time once its output leaves the cache.
ZELT_MATH void store_blocks2(vec::V16 v0, vec::V16 v1, float *a, float *b) {
    *reinterpret_cast<V16u *>(a) =
        __builtin_shufflevector(v0, v1, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
    *reinterpret_cast<V16u *>(b) =
        __builtin_shufflevector(v0, v1, 8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31);
}
ZELT_MATH void store_blocks2(vec::V8 v0, vec::V8 v1, float *a, float *) {
    *reinterpret_cast<V8u *>(a) = v0;
    *reinterpret_cast<V8u *>(a + kBlock) = v1;
}
ZELT_MATH void load_blocks2(const float *a, const float *, vec::V8 &v0, vec::V8 &v1) {
    v0 = *reinterpret_cast<const V8u *>(a);
    v1 = *reinterpret_cast<const V8u *>(a + kBlock);
}
ZELT_MATH void load_blocks2(const float *a, const float *b, vec::V16 &v0, vec::V16 &v1) {
    const vec::V16 pa = *reinterpret_cast<const V16u *>(a), pb = *reinterpret_cast<const V16u *>(b);
    v0 = __builtin_shufflevector(pa, pb, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
    v1 = __builtin_shufflevector(pa, pb, 8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31);
}

// A run of N positions of one block (V8) or a pair (V16) from a and b: two positions a store where it can.
template <class V, class T, int N>
ZELT_MATH void store_run(const T (&v)[N], float *a, float *b) {
#pragma GCC unroll 12
    for (int j = 0; j + 1 < N; j += 2) store_blocks2(V(v[j]), V(v[j + 1]), a + j * kBlock, b + j * kBlock);
    if constexpr (N % 2) store_blocks(V(v[N - 1]), a + (N - 1) * kBlock, b + (N - 1) * kBlock);
}

// The clamps of an activation (None, Relu, Clip) and Leaky on a vector of either width; the others run
// over the stored rows.
template <class V>
ZELT_MATH V clamp_act(V v, const Activation &a) {
    if (a.kind == Activation::Leaky) return v < 0.f ? v * a.alpha : v;
    if (a.kind == Activation::Relu) return vec::max(v, V{});
    if (a.kind == Activation::Clip) return vec::clamp(v, vec::splat<V>(a.lo), vec::splat<V>(a.hi));
    return v;
}

// One channel block (V8) or two (V16) of a depthwise convolution row: rows r0 (and r1, the second block)
// of the window, weights w0 (w1) [KH][KW][8], bias b0 (b1), outputs y0 (y1).
struct DepthwiseRow {
    const float *const *r0, *const *r1;
    const float *w0, *w1, *b0, *b1;
    float *y0, *y1;
};

// NW output columns from ow, whose windows lie inside the row.  Each input position is loaded once and
// multiplied into every output column whose window holds it (K / S of them), the row's K weights in
// registers: the loads, not the multiply-adds, bound the simple loop of one load per tap.  Window columns
// K, stride S, dilation 1.
template <class V, int K, int S, int NW>
ZELT_MATH void depthwise_columns(const DepthwiseRow &d, const Window &g, int64_t ow, const Activation &act) {
    V acc[NW];
    const V bias = load_blocks<V>(d.b0, d.b1);
    for (int j = 0; j < NW; ++j) acc[j] = bias;
    const int64_t at = (ow * S - g.aw.p0) * kBlock;
    for (int64_t kh = 0; kh < g.ah.k; ++kh) {
        V w[K];
#pragma GCC unroll 8
        for (int kw = 0; kw < K; ++kw)
            w[kw] = load_blocks<V>(d.w0 + (kh * K + kw) * kBlock, d.w1 + (kh * K + kw) * kBlock);
        const float *x0 = d.r0[kh] + at, *x1 = d.r1[kh] + at;
        constexpr int P = (NW - 1) * S + K;
#pragma GCC unroll 16
        for (int p = 0; p < P; p += 2) {
            V x[2];
            if (p + 1 < P)
                load_blocks2(x0 + p * kBlock, x1 + p * kBlock, x[0], x[1]);
            else
                x[0] = load_blocks<V>(x0 + p * kBlock, x1 + p * kBlock);
#pragma GCC unroll 2
            for (int e = 0; e < 2 && p + e < P; ++e)
#pragma GCC unroll 8
                for (int kw = 0; kw < K; ++kw) {
                    const int q = p + e - kw;
                    if (q >= 0 && q % S == 0 && q / S < NW) acc[q / S] = x[e] * w[kw] + acc[q / S];
                }
        }
    }
    for (int j = 0; j < NW; ++j) acc[j] = clamp_act(acc[j], act);
    store_run<V>(acc, d.y0 + ow * kBlock, d.y1 + ow * kBlock);
}

// Output column ow whose window reaches past the row: the taps outside are skipped.
template <class V>
ZELT_MATH void depthwise_border(const DepthwiseRow &d, const Window &g, int64_t ow, const Activation &act) {
    const Axis &aw = g.aw;
    V acc = load_blocks<V>(d.b0, d.b1);
    for (int64_t kh = 0; kh < g.ah.k; ++kh)
        for (int64_t kw = 0; kw < aw.k; ++kw) {
            const int64_t iw = ow * aw.s - aw.p0 + kw, t = (kh * aw.k + kw) * kBlock;
            if (iw >= 0 && iw < aw.in)
                acc = load_blocks<V>(d.r0[kh] + iw * kBlock, d.r1[kh] + iw * kBlock) *
                          load_blocks<V>(d.w0 + t, d.w1 + t) +
                      acc;
        }
    store_blocks(clamp_act(acc, act), d.y0 + ow * kBlock, d.y1 + ow * kBlock);
}

// One output row: the border columns one at a time, the others sixteen at a time on AVX-512 (eight on
// AVX2), then fewer.
template <class V, int K, int S>
ZELT_MATH void depthwise_row(const DepthwiseRow &d, const Window &g, const Activation &act) {
    constexpr int wide = sizeof(V) == 64 ? 16 : 8;
    for (int64_t ow = 0; ow < g.lo; ++ow) depthwise_border<V>(d, g, ow, act);
    int64_t ow = g.lo;
    for (; ow + wide <= g.hi; ow += wide) depthwise_columns<V, K, S, wide>(d, g, ow, act);
    for (; ow + 4 <= g.hi; ow += 4) depthwise_columns<V, K, S, 4>(d, g, ow, act);
    for (; ow + 2 <= g.hi; ow += 2) depthwise_columns<V, K, S, 2>(d, g, ow, act);
    for (; ow < g.hi; ++ow) depthwise_columns<V, K, S, 1>(d, g, ow, act);
    for (ow = std::max(g.hi, g.lo); ow < g.aw.out; ++ow) depthwise_border<V>(d, g, ow, act);
}

// The window shapes depthwise_row is made for.
inline bool reuse_window(const Window &g) {
    return g.aw.d == 1 && (g.aw.k == 3 || g.aw.k == 5 || g.aw.k == 7) && (g.aw.s == 1 || g.aw.s == 2) &&
           g.ah.k <= kMaxWindowRows;
}

// depthwise_row by window columns and stride.
template <class V>
ZELT_MATH void depthwise_row_of(const DepthwiseRow &d, const Window &g, const Activation &act) {
    switch (g.aw.k * 2 + g.aw.s - 1) {
        case 6: return depthwise_row<V, 3, 1>(d, g, act);
        case 7: return depthwise_row<V, 3, 2>(d, g, act);
        case 10: return depthwise_row<V, 5, 1>(d, g, act);
        case 11: return depthwise_row<V, 5, 2>(d, g, act);
        case 14: return depthwise_row<V, 7, 1>(d, g, act);
        default: return depthwise_row<V, 7, 2>(d, g, act);
    }
}

// Rows [oh0, oh1) of two consecutive channel blocks of a depthwise convolution (reuse_window) on AVX-512
// (ops_conv512.cpp): input rows from row0 on at x0 and x1, weights w [2][KH][KW][8],
// bias [2][8], outputs y0 and y1.
void depthwise_pair_rows(const float *x0, const float *x1, int64_t row0, const float *pad_row, const float *w,
                         const float *bias, const Window &g, int64_t oh0, int64_t oh1, const Activation &act,
                         float *y0, float *y1);

// A Winograd F(4x4, 3x3) convolution of node `n` (ops_winograd.cpp), where it runs faster than the direct
// kernels: a 3x3 window of stride and dilation 1, ungrouped, pads of at most 1, blocked input `x`.  It
// writes `y` (blocked or plain) as act(conv + bias + res), `res` blocked or nullptr, and may share y's
// storage.  nullptr, with nothing charged, where the direct kernels run.
std::unique_ptr<Op> make_winograd_conv(const Node &n, Planner &p, Tensor *x, Tensor *y, Tensor *res,
                                       const Activation &act, const Axis &ah, const Axis &aw);

}  // namespace zelt::engine
