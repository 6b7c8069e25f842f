// Convolution tiles on AVX-512: one 16-float register holds a pair of output channel blocks (8 channels of
// each) at one output position, so the blocked layout stays NCHW8c for every other operator while the
// convolutions, where most of the time goes, run at twice the width.  Weights of a pair are packed side by
// side ([16] per input channel); the sums are split into the two blocks' planes when they are loaded or
// stored.  With 32 registers a tile holds up to 24 accumulators.
#include <cstdlib>
#include <limits>
#include <utility>

#include "nchwc.hpp"

#define ZELT_AVX512_INLINE ZELT_AVX512 __attribute__((always_inline)) inline

namespace zelt::engine {

bool avx512_cpu() {
    static const bool cpu = __builtin_cpu_supports("avx512f");
    return cpu;
}

bool avx512_available() {
    const char *e = std::getenv("ZELT_AVX512");
    return avx512_cpu() && !(e && e[0] == '0');
}

namespace {

// The clamps (Relu, Clip) and Leaky as vector constants; the other activations run over the stored
// rows afterwards, as in the AVX2 tiles.
struct VecAct16 {
    enum Mode { Identity, Clamp, Leaky } mode;
    __m512 lo, hi, alpha;
    ZELT_AVX512 explicit VecAct16(const Activation &a)
        : mode(a.kind == Activation::Leaky                                   ? Leaky
               : a.kind == Activation::Relu || a.kind == Activation::Clip ? Clamp
                                                                            : Identity),
          lo(_mm512_set1_ps(a.kind == Activation::Relu   ? 0.f
                            : a.kind == Activation::Clip ? a.lo
                                                         : -std::numeric_limits<float>::infinity())),
          hi(_mm512_set1_ps(a.kind == Activation::Clip ? a.hi : std::numeric_limits<float>::infinity())),
          alpha(_mm512_set1_ps(a.alpha)) {}
    // maxps and minps with the value as second operand keep NaN.
    template <Mode M>
    ZELT_AVX512_INLINE __m512 apply(__m512 v) const {
        if constexpr (M == Leaky)
            return _mm512_mask_mul_ps(v, _mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_LT_OQ), v, alpha);
        if constexpr (M == Clamp) return _mm512_min_ps(hi, _mm512_max_ps(lo, v));
        return v;
    }
};

// One kernel tap of BS input channels into NP pairs x NW columns.  `x_ws` is the input offset of
// consecutive output columns (a constant for strides 1 and 2), `w_pair` the weight offset of a pair.
template <int NP, int NW, int BS>
ZELT_AVX512_INLINE void tap(__m512 (&acc)[NP][NW], const float *xp, const float *wp, int64_t x_ws,
                            int64_t w_pair) {
#pragma GCC unroll 8
    for (int c = 0; c < BS; ++c) {
        __m512 wv[NP];
#pragma GCC unroll 3
        for (int p = 0; p < NP; ++p) wv[p] = _mm512_loadu_ps(wp + p * w_pair + c * 16);
#pragma GCC unroll 24
        for (int j = 0; j < NW; ++j) {
            const __m512 xv = _mm512_set1_ps(xp[j * x_ws + c]);
#pragma GCC unroll 3
            for (int p = 0; p < NP; ++p) acc[p][j] = _mm512_fmadd_ps(wv[p], xv, acc[p][j]);
        }
    }
}

// Stores the tile's pairs of blocks at `y`, two positions at a time (store_blocks2).
template <int NP, int NW>
ZELT_AVX512_INLINE void store_tile(const __m512 (&v)[NP][NW], float *y, int64_t plane) {
#pragma GCC unroll 3
    for (int p = 0; p < NP; ++p)
        store_run<vec::V16>(v[p], y + 2 * p * plane * kBlock, y + (2 * p + 1) * plane * kBlock);
}

// Loads the tile's pairs of blocks from `y`, as store_tile stores them.
template <int NP, int NW>
ZELT_AVX512_INLINE void load_tile(__m512 (&v)[NP][NW], const float *y, int64_t plane) {
#pragma GCC unroll 3
    for (int p = 0; p < NP; ++p) {
        const float *a = y + 2 * p * plane * kBlock, *b = a + plane * kBlock;
#pragma GCC unroll 12
        for (int j = 0; j + 1 < NW; j += 2) {
            vec::V16 v0, v1;
            load_blocks2(a + j * kBlock, b + j * kBlock, v0, v1);
            v[p][j] = v0, v[p][j + 1] = v1;
        }
        if constexpr (NW % 2) v[p][NW - 1] = load_blocks<vec::V16>(a + (NW - 1) * kBlock, b + (NW - 1) * kBlock);
    }
}

template <bool RES, VecAct16::Mode M, int NP, int NW>
ZELT_AVX512_INLINE void finish_tile(__m512 (&acc)[NP][NW], const VecAct16 &act, const float *res, float *y,
                                    int64_t plane) {
    if constexpr (RES) {
        __m512 r[NP][NW];
        load_tile(r, res, plane);
#pragma GCC unroll 3
        for (int p = 0; p < NP; ++p)
#pragma GCC unroll 24
            for (int j = 0; j < NW; ++j) acc[p][j] = _mm512_add_ps(acc[p][j], r[p][j]);
    }
#pragma GCC unroll 3
    for (int p = 0; p < NP; ++p)
#pragma GCC unroll 24
        for (int j = 0; j < NW; ++j) acc[p][j] = act.apply<M>(acc[p][j]);
    store_tile(acc, y, plane);
}

// NP pairs of output blocks from `ob` x NW output columns of row `oh` from column `ow`, over input blocks
// [cb0, cb1); the structure of the AVX2 tile, with SW as there.
template <int NP, int NW, int BS, int SW>
ZELT_AVX512_INLINE void conv_tile(const ConvTile &t, const Taps &k, int64_t ob, int64_t oh, int64_t ow,
                                  int64_t cb0, int64_t cb1, bool first, bool last) {
    const int64_t plane = t.OH * t.OW, pos = oh * t.OW + ow;
    __m512 acc[NP][NW];
    if (first) {
#pragma GCC unroll 3
        for (int p = 0; p < NP; ++p) {
            const __m512 b =
                load_blocks<vec::V16>(t.bias + (ob + 2 * p) * kBlock, t.bias + (ob + 2 * p + 1) * kBlock);
#pragma GCC unroll 24
            for (int j = 0; j < NW; ++j) acc[p][j] = b;
        }
    } else {
        load_tile(acc, t.y + (ob * plane + pos) * kBlock, plane);
    }
    const int64_t x_ws = SW > 0 ? SW * BS : SW < 0 ? BS : t.x_ws, w_pair = 2 * t.w_ob, w_cb = 2 * t.w_cb;
    if (k.kh0 >= k.kh1 || k.kw0 >= k.kw1) cb1 = cb0;
    const float *xb =
        cb0 == cb1
            ? t.x
            : t.x + ((oh * t.SH - t.ph) * t.x_h + k.kh0 * t.tap_h + ow * x_ws - t.pw * BS + k.kw0 * t.tap_w);
    const float *wb = t.w + ob * t.w_ob + (k.kh0 * t.KW + k.kw0) * BS * 16;
    for (int64_t cb = cb0; cb < cb1; ++cb) {
        const float *xc = xb + cb * t.x_cb, *wc = wb + cb * w_cb;
        if constexpr (SW < 0) {
            tap<NP, NW, BS>(acc, xc, wc, x_ws, w_pair);
            continue;
        }
        for (int64_t kh = k.kh0; kh < k.kh1; ++kh) {
            const float *xp = xc + (kh - k.kh0) * t.tap_h, *wp = wc + (kh - k.kh0) * t.KW * BS * 16;
            for (int64_t kw = k.kw0; kw < k.kw1; ++kw, xp += t.tap_w, wp += BS * 16)
                tap<NP, NW, BS>(acc, xp, wp, x_ws, w_pair);
        }
    }
    if (last && t.plain_out) {
        alignas(64) float sums[2 * NP * NW * kBlock];
#pragma GCC unroll 3
        for (int p = 0; p < NP; ++p)
#pragma GCC unroll 24
            for (int j = 0; j < NW; ++j)
                store_blocks(vec::V16(acc[p][j]), sums + (2 * p * NW + j) * kBlock, sums + ((2 * p + 1) * NW + j) * kBlock);
        scatter_tile(t, sums, 2 * NP, NW, ob, pos);
        return;
    }
    float *const y = t.y + (ob * plane + pos) * kBlock;
    if (!last) return store_tile(acc, y, plane);
    const float *const res = t.res ? t.res + (ob * plane + pos) * kBlock : nullptr;
    const VecAct16 end(t.act);
    switch (end.mode) {
    case VecAct16::Identity:
        return res ? finish_tile<true, VecAct16::Identity>(acc, end, res, y, plane)
                   : finish_tile<false, VecAct16::Identity>(acc, end, res, y, plane);
    case VecAct16::Clamp:
        return res ? finish_tile<true, VecAct16::Clamp>(acc, end, res, y, plane)
                   : finish_tile<false, VecAct16::Clamp>(acc, end, res, y, plane);
    case VecAct16::Leaky:
        return res ? finish_tile<true, VecAct16::Leaky>(acc, end, res, y, plane)
                   : finish_tile<false, VecAct16::Leaky>(acc, end, res, y, plane);
    }
}

// The widest tile: 24 accumulators.
template <int NP>
constexpr int64_t kTileWidth = NP == 3 ? 8 : NP == 2 ? 12 : 24;

constexpr int kBlocksPerUnit = 2;

#pragma GCC push_options
#pragma GCC target("avx512f,avx2,fma")
#include "conv_rows.hpp"
#pragma GCC pop_options

// NP pairs of output blocks x NT tiles of one Winograd position (ProductKernel); u holds the blocks apart,
// so each channel's weights of a pair are loaded in two halves.
template <int NP, int NT>
ZELT_AVX512 void product_tile(const float *v, int64_t v_cb, const float *u, int64_t u_ob, int64_t CB, float *m,
                              int64_t m_o) {
    __m512 acc[NP][NT];
    for (int p = 0; p < NP; ++p)
        for (int j = 0; j < NT; ++j) acc[p][j] = _mm512_setzero_ps();
    for (int64_t cb = 0; cb < CB; ++cb, v += v_cb, u += kBlock * kBlock) {
#pragma GCC unroll 8
        for (int c = 0; c < kBlock; ++c) {
            __m512 w[NP];
            for (int p = 0; p < NP; ++p)
                w[p] = load_blocks<vec::V16>(u + 2 * p * u_ob + c * kBlock, u + (2 * p + 1) * u_ob + c * kBlock);
            for (int j = 0; j < NT; ++j) {
                const __m512 b = _mm512_set1_ps(v[j * kBlock + c]);
                for (int p = 0; p < NP; ++p) acc[p][j] = _mm512_fmadd_ps(w[p], b, acc[p][j]);
            }
        }
    }
    for (int p = 0; p < NP; ++p) store_run<vec::V16>(acc[p], m + 2 * p * m_o, m + (2 * p + 1) * m_o);
}

template <int NP, size_t... I>
constexpr std::array<ProductKernel, kPairTiles> product_kernels(std::index_sequence<I...>) {
    return {&product_tile<NP, int(I) + 1>...};
}

}  // namespace

const std::array<ProductKernel, kPairTiles> pair_product_kernels[2] = {
    product_kernels<1>(std::make_index_sequence<kPairTiles>()),
    product_kernels<2>(std::make_index_sequence<kPairTiles>())};

ZELT_AVX512 void depthwise_pair_rows(const float *x0, const float *x1, int64_t row0, const float *pad_row,
                                     const float *w, const float *bias, const Window &g, int64_t oh0,
                                     int64_t oh1, const Activation &act, float *y0, float *y1) {
    const Axis &ah = g.ah, &aw = g.aw;
    const int64_t taps = ah.k * aw.k;
    for (int64_t oh = oh0; oh < oh1; ++oh) {
        const float *r0[kMaxWindowRows], *r1[kMaxWindowRows];
        for (int64_t kh = 0; kh < ah.k; ++kh) {
            const int64_t ih = oh * ah.s - ah.p0 + kh * ah.d;
            const bool in = ih >= 0 && ih < ah.in;
            r0[kh] = in ? x0 + (ih - row0) * aw.in * kBlock : pad_row;
            r1[kh] = in ? x1 + (ih - row0) * aw.in * kBlock : pad_row;
        }
        float *row0_out = y0 + (oh - oh0) * aw.out * kBlock, *row1_out = y1 + (oh - oh0) * aw.out * kBlock;
        depthwise_row_of<vec::V16>({r0, r1, w, w + taps * kBlock, bias, bias + kBlock, row0_out, row1_out}, g,
                                   act);
        if (!act.clamp()) {
            act.apply(row0_out, aw.out * kBlock);
            act.apply(row1_out, aw.out * kBlock);
        }
    }
}

const std::array<RowKernel, 3> pair_row_kernels[2][4] = {
    {row_kernels<1, 0>(), row_kernels<1, 1>(), row_kernels<1, 2>(), row_kernels<1, -1>()},
    {row_kernels<8, 0>(), row_kernels<8, 1>(), row_kernels<8, 2>(), row_kernels<8, -1>()}};

}  // namespace zelt::engine
