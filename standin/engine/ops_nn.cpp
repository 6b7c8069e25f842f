// Convolution, pooling, GEMM/MatMul and normalisation operators.
#include <unistd.h>

#include <cblas.h>

#include <limits>

#include "ops_util.hpp"

// Hot loops get an AVX2/FMA clone picked at load time, and stay portable.  The clone is chosen by the CPU's
// features (x86-64-v3): "arch=haswell" would be chosen by its model, on Haswell alone.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
#define ZELT_HOT __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define ZELT_HOT
#endif

namespace zelt::engine {

void sgemm(bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha, const float *a,
           int64_t lda, const float *b, int64_t ldb, float beta, float *c, int64_t ldc) {
    if (m == 0 || n == 0) return;
    if (m == 1 && k > 0) {
        // A row vector times a matrix: OpenBLAS's matrix-vector kernel streams the matrix once.  It
        // scales c by beta, which would keep a NaN left in c; a zero beta means c is not read.
        if (beta == 0) std::fill(c, c + n, 0.f);
        if (trans_b)
            scipy_cblas_sgemv(CblasRowMajor, CblasNoTrans, blasint(n), blasint(k), alpha, b, blasint(ldb), a,
                              blasint(trans_a ? lda : 1), beta, c, 1);
        else
            scipy_cblas_sgemv(CblasRowMajor, CblasTrans, blasint(k), blasint(n), alpha, b, blasint(ldb), a,
                              blasint(trans_a ? lda : 1), beta, c, 1);
        return;
    }
    if (n == 1 && k > 0) {
        // A matrix times a column vector (a 1x1 convolution of a single position, as in channel attention).
        if (beta == 0)
            for (int64_t i = 0; i < m; ++i) c[i * ldc] = 0.f;
        scipy_cblas_sgemv(CblasRowMajor, trans_a ? CblasTrans : CblasNoTrans, blasint(trans_a ? k : m),
                          blasint(trans_a ? m : k), alpha, a, blasint(lda), b, blasint(trans_b ? 1 : ldb),
                          beta, c, blasint(ldc));
        return;
    }
    if (k == 0) {
        for (int64_t i = 0; i < m; ++i)
            for (int64_t j = 0; j < n; ++j) c[i * ldc + j] = beta == 0 ? 0.f : beta * c[i * ldc + j];
        return;
    }
    scipy_cblas_sgemm(CblasRowMajor, trans_a ? CblasTrans : CblasNoTrans, trans_b ? CblasTrans : CblasNoTrans,
                      blasint(m), blasint(n), blasint(k), alpha, a, blasint(lda), b, blasint(ldb), beta, c,
                      blasint(ldc));
}

void sgemm_parallel(ThreadPool &pool, bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k,
                    float alpha, const float *a, int64_t lda, const float *b, int64_t ldb, float beta,
                    float *c, int64_t ldc) {
    const double row_ns = kMacNs * double(k);
    if (n >= 32 * pool.size() || n >= m) {
        pool.parallel_for(n, Cost{row_ns * double(m), 16}, [&](int64_t j0, int64_t j1) {
            const float *bj = trans_b ? b + j0 * ldb : b + j0;
            sgemm(trans_a, trans_b, m, j1 - j0, k, alpha, a, lda, bj, ldb, beta, c + j0, ldc);
        });
    } else {
        pool.parallel_for(m, Cost{row_ns * double(n), 4}, [&](int64_t i0, int64_t i1) {
            const float *ai = trans_a ? a + i0 : a + i0 * lda;
            sgemm(trans_a, trans_b, i1 - i0, n, k, alpha, ai, lda, b, ldb, beta, c + i0 * ldc, ldc);
        });
    }
}

std::vector<Axis> window_axes(const Node &n, const Shape &x, const std::vector<int64_t> &kernel,
                              bool ceil_mode) {
    size_t rank = x.size() - 2;
    auto strides = n.get_ints("strides", std::vector<int64_t>(rank, 1));
    auto dil = n.get_ints("dilations", std::vector<int64_t>(rank, 1));
    auto pads = n.get_ints("pads", std::vector<int64_t>(2 * rank, 0));
    std::string auto_pad = n.get_string("auto_pad", "NOTSET");
    if (kernel.size() != rank || strides.size() != rank || dil.size() != rank || pads.size() != 2 * rank)
        fail(n, "kernel, strides, dilations or pads do not match the input rank");
    std::vector<Axis> axes(rank);
    for (size_t i = 0; i < rank; ++i) {
        Axis &a = axes[i];
        a.in = x[i + 2];
        a.k = kernel[i];
        a.s = strides[i];
        a.d = dil[i];
        if (a.k < 1 || a.s < 1 || a.d < 1 || a.k > 1024 || a.d > 1024 || a.s > 1024)
            fail(n, "bad kernel, stride or dilation");
        int64_t span = (a.k - 1) * a.d + 1;
        if (auto_pad == "SAME_UPPER" || auto_pad == "SAME_LOWER") {
            a.out = (a.in + a.s - 1) / a.s;
            int64_t total = std::max<int64_t>(0, (a.out - 1) * a.s + span - a.in);
            a.p0 = auto_pad == "SAME_UPPER" ? total / 2 : total - total / 2;
            a.p1 = total - a.p0;
            continue;
        }
        if (auto_pad == "VALID") {
            a.p0 = a.p1 = 0;
        } else if (auto_pad == "NOTSET") {
            a.p0 = pads[i];
            a.p1 = pads[i + rank];
        } else {
            fail(n, "unknown auto_pad " + auto_pad);
        }
        if (a.p0 < 0 || a.p1 < 0 || a.p0 > 4096 || a.p1 > 4096) fail(n, "bad pads");
        int64_t room = a.in + a.p0 + a.p1 - span;
        if (room < 0) fail(n, "kernel larger than the padded input");
        if (ceil_mode) {
            a.out = (room + a.s - 1) / a.s + 1;
            // The last window must start inside the input or its left padding.
            if ((a.out - 1) * a.s >= a.in + a.p0) --a.out;
        } else {
            a.out = room / a.s + 1;
        }
    }
    return axes;
}

void to_2d(std::vector<Axis> &axes) {
    if (axes.size() == 1) axes.insert(axes.begin(), Axis{});
}

void window_counts(Planner &p, const Axis &a, std::vector<int64_t> &inside, std::vector<int64_t> &padded) {
    p.charge(uint64_t(a.out) * 2, 8);
    // Taps t of a window from `start` lie at start + t * d: counted by division, not tap by tap.
    auto taps_below = [&](int64_t start, int64_t limit) {  // taps with start + t * d < limit
        return limit - start <= 0 ? 0 : std::min(a.k, (limit - start + a.d - 1) / a.d);
    };
    for (int64_t o = 0; o < a.out; ++o) {
        const int64_t start = o * a.s - a.p0;
        const int64_t first = start >= 0 ? 0 : std::min(a.k, (-start + a.d - 1) / a.d);
        inside.push_back(std::max<int64_t>(0, taps_below(start, a.in) - first));
        padded.push_back(taps_below(start, a.in + a.p1));
    }
}

namespace {

// One output row of a depthwise convolution: bias, then one pass over the row per kernel tap.
ZELT_HOT void depthwise_row(const float *xc, int64_t H, int64_t W, const float *wk, const Axis &ah,
                            const Axis &aw, int64_t oh, float bias, float *yr) {
    const int64_t OW = aw.out;
    std::fill(yr, yr + OW, bias);
    for (int64_t ki = 0; ki < ah.k; ++ki) {
        int64_t ih = oh * ah.s - ah.p0 + ki * ah.d;
        if (ih < 0 || ih >= H) continue;
        const float *xr = xc + ih * W;
        for (int64_t kj = 0; kj < aw.k; ++kj) {
            const float wv = wk[ki * aw.k + kj];
            int64_t off = kj * aw.d - aw.p0, lo, hi;
            valid_columns(off, aw.s, W, OW, lo, hi);
            if (aw.s == 1) {
                for (int64_t ow = lo; ow < hi; ++ow) yr[ow] += wv * xr[ow + off];
            } else {
                for (int64_t ow = lo; ow < hi; ++ow) yr[ow] += wv * xr[ow * aw.s + off];
            }
        }
    }
}

// One output row of a 3x3 depthwise convolution without dilation: all nine taps in one pass over the
// columns whose window lies inside the row, the general path for the border columns.  Rows outside the
// input are passed as `zeros`.
ZELT_HOT void depthwise3x3_row(const float *r0, const float *r1, const float *r2, int64_t W, const float *w,
                               const Axis &aw, float bias, float *yr) {
    const int64_t OW = aw.out, s = aw.s, p = aw.p0;
    int64_t lo, hi;  // columns whose taps 0..2 are all inside
    valid_columns(-p, s, W - 2, OW, lo, hi);
    auto edge = [&](int64_t ow) {
        float acc = bias;
        for (int64_t kj = 0; kj < 3; ++kj) {
            int64_t iw = ow * s - p + kj;
            if (iw < 0 || iw >= W) continue;
            acc += w[kj] * r0[iw] + w[3 + kj] * r1[iw] + w[6 + kj] * r2[iw];
        }
        yr[ow] = acc;
    };
    for (int64_t ow = 0; ow < lo; ++ow) edge(ow);
    const float w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3], w4 = w[4], w5 = w[5], w6 = w[6], w7 = w[7],
                w8 = w[8];
    if (s == 1) {
        const float *a = r0 - p, *b = r1 - p, *c = r2 - p;
        for (int64_t ow = lo; ow < hi; ++ow)
            yr[ow] = bias + w0 * a[ow] + w1 * a[ow + 1] + w2 * a[ow + 2] + w3 * b[ow] + w4 * b[ow + 1] +
                     w5 * b[ow + 2] + w6 * c[ow] + w7 * c[ow + 1] + w8 * c[ow + 2];
    } else {
        for (int64_t ow = lo; ow < hi; ++ow) {
            const int64_t i = ow * s - p;
            yr[ow] = bias + w0 * r0[i] + w1 * r0[i + 1] + w2 * r0[i + 2] + w3 * r1[i] + w4 * r1[i + 1] +
                     w5 * r1[i + 2] + w6 * r2[i] + w7 * r2[i + 1] + w8 * r2[i + 2];
        }
    }
    for (int64_t ow = hi; ow < OW; ++ow) edge(ow);
}

// Depthwise convolution of eight channels at once on small planes, where rows are too short for
// vector loops: the planes are interleaved (position-major, channel-minor) so that the vector lanes run
// across the channels.  `xi` holds H*W*8 inputs, `wi` k*k*8 weights, `yi` receives OH*OW*8 outputs.
ZELT_HOT void depthwise_block8(const float *xi, const float *wi, const float *bias8, const Axis &ah,
                               const Axis &aw, float *yi) {
    for (int64_t oh = 0; oh < ah.out; ++oh)
        for (int64_t ow = 0; ow < aw.out; ++ow) {
            float acc[8];
            for (int c = 0; c < 8; ++c) acc[c] = bias8[c];
            for (int64_t ki = 0; ki < ah.k; ++ki) {
                int64_t ih = oh * ah.s - ah.p0 + ki * ah.d;
                if (ih < 0 || ih >= ah.in) continue;
                for (int64_t kj = 0; kj < aw.k; ++kj) {
                    int64_t iw = ow * aw.s - aw.p0 + kj * aw.d;
                    if (iw < 0 || iw >= aw.in) continue;
                    const float *src = xi + (ih * aw.in + iw) * 8, *wv = wi + (ki * aw.k + kj) * 8;
                    for (int c = 0; c < 8; ++c) acc[c] += wv[c] * src[c];
                }
            }
            float *dst = yi + (oh * aw.out + ow) * 8;
            for (int c = 0; c < 8; ++c) dst[c] = acc[c];
        }
}

// Rows of the patch matrix of a convolution for output positions [p0, p1):
// row (c, ki, kj) holds the input value under that tap for each position.
ZELT_HOT void im2col(const float *xg, int64_t channels, const Axis &ah, const Axis &aw, float *col,
                     int64_t p0, int64_t p1) {
    const int64_t H = ah.in, W = aw.in, OW = aw.out, len = p1 - p0;
    int64_t row = 0;
    for (int64_t c = 0; c < channels; ++c)
        for (int64_t ki = 0; ki < ah.k; ++ki)
            for (int64_t kj = 0; kj < aw.k; ++kj, ++row) {
                float *dst = col + row * len;
                const float *xc = xg + c * H * W;
                const int64_t off = kj * aw.d - aw.p0;
                int64_t lo, hi;
                valid_columns(off, aw.s, W, OW, lo, hi);
                for (int64_t p = p0; p < p1;) {
                    int64_t oh = p / OW, ow0 = p % OW, ow1 = std::min(OW, ow0 + (p1 - p));
                    int64_t ih = oh * ah.s - ah.p0 + ki * ah.d;
                    float *d = dst + (p - p0);  // d[i] is output column ow0 + i
                    const int64_t n = ow1 - ow0;
                    if (ih < 0 || ih >= H) {
                        std::fill(d, d + n, 0.f);
                    } else {
                        const float *src = xc + ih * W + off;
                        int64_t a = std::max(ow0, lo), b = std::min(ow1, hi);
                        if (a >= b) {
                            std::fill(d, d + n, 0.f);
                        } else {
                            std::fill(d, d + (a - ow0), 0.f);
                            if (aw.s == 1)
                                for (int64_t ow = a; ow < b; ++ow)
                                    d[ow - ow0] = src[ow];  // short runs: no call
                            else
                                for (int64_t ow = a; ow < b; ++ow) d[ow - ow0] = src[ow * aw.s];
                            std::fill(d + (b - ow0), d + n, 0.f);
                        }
                    }
                    p += ow1 - ow0;
                }
            }
}

// What a convolution and a transposed convolution share: operands X, W and
// the optional bias B, batch N, input and output channels C and M, groups G.
class ConvBase : public Op {
public:
    Tensor *x = nullptr, *w = nullptr, *b = nullptr, *y = nullptr;
    int64_t N = 0, C = 0, M = 0, G = 1;
    Axis ah, aw;

    // Binds X, W and B, checks their kinds and ranks, and reads N, C and G.
    void take_operands(const Node &n, const char *what) {
        x = n.input(0);
        w = n.input(1);
        b = n.input(2);
        if (!x || !w || n.out.size() != 1) fail(n, "needs X, W and one output");
        need_float(n, x);
        need_float(n, w);
        if (x->shape.size() < 3 || x->shape.size() > 4)
            fail(n, std::string("only 1-D and 2-D ") + what + " are supported");
        if (w->shape.size() != x->shape.size()) fail(n, "weight rank differs from input rank");
        N = x->shape[0];
        C = x->shape[1];
        G = n.get_int("group", 1);
    }
    // Checks the bias against M, once M is known.
    void check_bias(const Node &n) const {
        if (!b) return;
        need_float(n, b);
        if (b->numel != M) fail(n, "bias size differs from output channels");
    }
    // Takes `out` as the output, of shape `s`.
    void take_output(Tensor *out, Shape s) {
        y = out;
        set_shape(y, std::move(s));
        ins = {x, w};
        if (b) ins.push_back(b);
        outs = {y};
    }
};

class ConvOp : public ConvBase {
public:
    Activation act;
    bool pointwise = false, depthwise = false, fast3x3 = false;
    std::vector<float> zeros;  // a row of the input's width, for window rows outside the input

    int64_t K() const { return (C / G) * ah.k * aw.k; }
    int64_t cols() const { return ah.out * aw.out; }
    static constexpr int64_t kTile = 1024;

    // Small planes go through depthwise_block8: input and output interleaved in the scratch.
    bool blocked() const { return depthwise && aw.out < 16; }

    size_t scratch_floats() const override {
        if (blocked()) return size_t(8 * (ah.in * aw.in + ah.out * aw.out + ah.k * aw.k + 1));
        if (pointwise || depthwise) return 0;
        return size_t(K() * std::min(cols(), kTile));
    }

    void bias_act(float *yrow0, int64_t m0, int64_t rows, int64_t ld, int64_t c0, int64_t c1) const {
        for (int64_t m = 0; m < rows; ++m) {
            float *r = yrow0 + m * ld + c0;
            if (b) {
                float bv = b->data[m0 + m];
                for (int64_t j = 0; j < c1 - c0; ++j) r[j] += bv;
            }
            act.apply(r, c1 - c0);
        }
    }

    void run_depthwise(RunCtx &ctx) {
        const int64_t H = ah.in, W = aw.in, OH = ah.out, OW = aw.out, mult = M / G;
        if (blocked()) return run_blocked(ctx);
        const double plane_ns = double(OH * OW * ah.k * aw.k) * kFloatNs;
        ctx.pool.parallel_for(N * M, Cost{plane_ns}, [&](int64_t q0, int64_t q1) {
            for (int64_t q = q0; q < q1; ++q) {
                int64_t n = q / M, m = q % M, c = m / mult;
                const float *xc = x->data + (n * C + c) * H * W;
                const float *wk = w->data + m * ah.k * aw.k;
                float *yo = y->data + q * OH * OW;
                float bv = b ? b->data[m] : 0.f;
                for (int64_t oh = 0; oh < OH; ++oh) {
                    float *yr = yo + oh * OW;
                    if (fast3x3) {
                        const float *rows[3];
                        for (int64_t ki = 0; ki < 3; ++ki) {
                            int64_t ih = oh * ah.s - ah.p0 + ki;
                            rows[ki] = ih >= 0 && ih < H ? xc + ih * W : zeros.data();
                        }
                        depthwise3x3_row(rows[0], rows[1], rows[2], W, wk, aw, bv, yr);
                    } else {
                        depthwise_row(xc, H, W, wk, ah, aw, oh, bv, yr);
                    }
                    act.apply(yr, OW);
                }
            }
        });
    }

    void run_blocked(RunCtx &ctx) {
        const int64_t HW = ah.in * aw.in, OHW = ah.out * aw.out, KK = ah.k * aw.k, mult = M / G;
        const int64_t blocks = (M + 7) / 8;
        const double block_ns = double(OHW * KK) * kTapNs + double(8 * (HW + OHW)) * 2 * kFloatNs;
        ctx.pool.parallel_for(N * blocks, Cost{block_ns}, [&](int task, int64_t q0, int64_t q1) {
            float *xi = ctx.scratch + task * ctx.scratch_per_thread, *yi = xi + 8 * HW, *wi = yi + 8 * OHW;
            float *bias8 = wi + 8 * KK;
            for (int64_t q = q0; q < q1; ++q) {
                const int64_t n = q / blocks, m0 = q % blocks * 8, lanes = std::min<int64_t>(8, M - m0);
                for (int64_t c = 0; c < 8; ++c) {
                    // Lanes past the last channel repeat it; their results are dropped.
                    const int64_t m = m0 + std::min(c, lanes - 1);
                    const float *xc = x->data + (n * C + m / mult) * HW;
                    for (int64_t i = 0; i < HW; ++i) xi[i * 8 + c] = xc[i];
                    for (int64_t t = 0; t < KK; ++t) wi[t * 8 + c] = w->data[m * KK + t];
                    bias8[c] = b ? b->data[m] : 0.f;
                }
                depthwise_block8(xi, wi, bias8, ah, aw, yi);
                for (int64_t c = 0; c < lanes; ++c) {
                    float *yo = y->data + (n * M + m0 + c) * OHW;
                    for (int64_t i = 0; i < OHW; ++i) yo[i] = yi[i * 8 + c];
                    act.apply(yo, OHW);
                }
            }
        });
    }

    // Grouped: one job over (image, group, column tile) items that the threads claim, each a small product
    // of the group's weights and its tile of the patch matrix; a job per group would cost a wake-up each.
    void run(RunCtx &ctx) override {
        if (depthwise) return run_depthwise(ctx);
        const int64_t Mg = M / G, Cg = C / G, HW = ah.in * aw.in, P = cols(), k = K();
        const int T = ctx.pool.size();
        if (P >= 32 * T || T == 1 || G > 1) {
            // Items of (image, group, column tile), claimed as one job: each multiplies the group's weights
            // by its slice of the patch matrix (built in the task's scratch, or the input itself for a
            // pointwise convolution), then adds bias and activation while the tile is still in cache.
            const int64_t tile_max = pointwise ? std::max<int64_t>(256, (int64_t(1) << 16) / Mg) : kTile;
            int64_t tiles = (P + tile_max - 1) / tile_max;
            tiles = std::max(tiles, std::min<int64_t>(4 * T, (P + 63) / 64));  // enough to share
            const int64_t tile = (P + tiles - 1) / tiles;
            tiles = (P + tile - 1) / tile;
            const double tile_ns =
                kMacNs * double(Mg * k * tile) + (pointwise ? 0 : double(k * tile) * kFloatNs);
            ctx.pool.parallel_for(N * G * tiles, Cost{tile_ns}, [&](int task, int64_t q0, int64_t q1) {
                float *col = ctx.scratch + task * ctx.scratch_per_thread;
                for (int64_t q = q0; q < q1; ++q) {
                    const int64_t t = q % tiles, g = q / tiles % G, n = q / (tiles * G);
                    const float *xg = x->data + (n * C + g * Cg) * HW;
                    const float *wg = w->data + g * Mg * k;
                    float *yg = y->data + (n * M + g * Mg) * P;
                    const int64_t p0 = t * tile, p1 = std::min(P, p0 + tile);
                    if (pointwise) {
                        sgemm(false, false, Mg, p1 - p0, k, 1.f, wg, k, xg + p0, HW, 0.f, yg + p0, P);
                    } else {
                        im2col(xg, Cg, ah, aw, col, p0, p1);
                        sgemm(false, false, Mg, p1 - p0, k, 1.f, wg, k, col, p1 - p0, 0.f, yg + p0, P);
                    }
                    bias_act(yg, g * Mg, Mg, P, p0, p1);
                }
            });
            return;
        }
        // One group and few output positions: the rows of the product are split.
        for (int64_t n = 0; n < N; ++n) {
            const float *xn = x->data + n * C * HW;
            float *yn = y->data + n * M * P;
            if (pointwise) {
                sgemm_parallel(ctx.pool, false, false, M, P, k, 1.f, w->data, k, xn, HW, 0.f, yn, P);
            } else {
                im2col(xn, C, ah, aw, ctx.scratch, 0, P);
                sgemm_parallel(ctx.pool, false, false, M, P, k, 1.f, w->data, k, ctx.scratch, P, 0.f, yn, P);
            }
            bias_act(yn, 0, M, P, 0, P);
        }
    }
};

std::unique_ptr<Op> make_conv(const Node &n, Planner &p) {
    if (auto blocked = make_nchwc_conv(n, p)) return blocked;
    auto op = std::make_unique<ConvOp>();
    op->take_operands(n, "convolutions");
    const Shape &xs = op->x->shape, &ws = op->w->shape;
    op->M = ws[0];
    if (op->G < 1 || op->C % op->G || op->M % op->G || ws[1] != op->C / op->G)
        fail(n, "channels do not match group");
    op->check_bias(n);
    std::vector<int64_t> kernel(ws.begin() + 2, ws.end());
    auto ks = n.get_ints("kernel_shape", kernel);
    if (ks != kernel) fail(n, "kernel_shape differs from the weight shape");
    auto axes = window_axes(n, xs, kernel, false);
    Shape ys{op->N, op->M};
    for (auto &a : axes) ys.push_back(a.out);
    to_2d(axes);
    op->ah = axes[0];
    op->aw = axes[1];
    op->pointwise = op->ah.k == 1 && op->aw.k == 1 && op->ah.s == 1 && op->aw.s == 1 && op->ah.p0 == 0 &&
                    op->aw.p0 == 0 && op->ah.p1 == 0 && op->aw.p1 == 0;
    op->depthwise = op->C == op->G && op->G > 1;
    op->fast3x3 = op->depthwise && op->ah.k == 3 && op->aw.k == 3 && op->ah.d == 1 && op->aw.d == 1;
    if (op->fast3x3 && numel_of(ys)) {
        p.charge(uint64_t(op->aw.in), 4);
        op->zeros.assign(size_t(op->aw.in), 0.f);
    }
    set_shape(n.out[0], ys);
    op->take_output(fuse_activation(n, p, op->act), ys);
    return op;
}

// Transposed convolution: the product W^T X gives, per input position, the
// contribution of every (output channel, tap); col2im adds them into place.
class ConvTransposeOp : public ConvBase {
public:
    // In ah and aw, `in` is the input extent, `out` the output extent.

    int64_t rows() const { return (M / G) * ah.k * aw.k; }
    size_t scratch_floats() const override { return size_t(rows() * ah.in * aw.in); }

    void run(RunCtx &ctx) override {
        const int64_t Cg = C / G, Mg = M / G, HW = ah.in * aw.in, OHW = ah.out * aw.out, R = rows();
        float *col = ctx.scratch;
        for (int64_t n = 0; n < N; ++n)
            for (int64_t g = 0; g < G; ++g) {
                const float *xg = x->data + (n * C + g * Cg) * HW;
                const float *wg = w->data + g * Cg * R;
                sgemm_parallel(ctx.pool, true, false, R, HW, Cg, 1.f, wg, R, xg, HW, 0.f, col, HW);
                float *yg = y->data + (n * M + g * Mg) * OHW;
                ctx.pool.parallel_for(
                    Mg, Cost{double(ah.k * aw.k * HW) * 2 * kFloatNs}, [&](int64_t m0, int64_t m1) {
                        for (int64_t m = m0; m < m1; ++m) {
                            float *ym = yg + m * OHW;
                            std::fill(ym, ym + OHW, b ? b->data[g * Mg + m] : 0.f);
                            for (int64_t ki = 0; ki < ah.k; ++ki)
                                for (int64_t kj = 0; kj < aw.k; ++kj) {
                                    const float *c = col + ((m * ah.k + ki) * aw.k + kj) * HW;
                                    for (int64_t ih = 0; ih < ah.in; ++ih) {
                                        int64_t oh = ih * ah.s - ah.p0 + ki * ah.d;
                                        if (oh < 0 || oh >= ah.out) continue;
                                        for (int64_t iw = 0; iw < aw.in; ++iw) {
                                            int64_t ow = iw * aw.s - aw.p0 + kj * aw.d;
                                            if (ow >= 0 && ow < aw.out)
                                                ym[oh * aw.out + ow] += c[ih * aw.in + iw];
                                        }
                                    }
                                }
                        }
                    });
            }
    }
};

std::unique_ptr<Op> make_conv_transpose(const Node &n, Planner &) {
    auto op = std::make_unique<ConvTransposeOp>();
    op->take_operands(n, "transposed convolutions");
    const Shape &xs = op->x->shape, &ws = op->w->shape;
    const size_t rank = xs.size() - 2;
    if (op->G < 1 || op->C % op->G || ws[0] != op->C) fail(n, "channels do not match group");
    op->M = ws[1] * op->G;
    op->check_bias(n);
    std::vector<int64_t> kernel(ws.begin() + 2, ws.end());
    if (n.get_ints("kernel_shape", kernel) != kernel) fail(n, "kernel_shape differs from the weight shape");
    auto strides = n.get_ints("strides", std::vector<int64_t>(rank, 1));
    auto dil = n.get_ints("dilations", std::vector<int64_t>(rank, 1));
    auto pads = n.get_ints("pads", std::vector<int64_t>(2 * rank, 0));
    auto out_pad = n.get_ints("output_padding", std::vector<int64_t>(rank, 0));
    auto out_shape = n.get_ints("output_shape", {});
    std::string auto_pad = n.get_string("auto_pad", "NOTSET");
    if (strides.size() != rank || dil.size() != rank || pads.size() != 2 * rank || out_pad.size() != rank ||
        (!out_shape.empty() && out_shape.size() != rank))
        fail(n, "strides, dilations, pads or output sizes do not match the input rank");
    std::vector<Axis> axes(rank);
    Shape ys{op->N, op->M};
    for (size_t i = 0; i < rank; ++i) {
        Axis &a = axes[i];
        a.in = xs[i + 2];
        a.k = kernel[i];
        a.s = strides[i];
        a.d = dil[i];
        const int64_t limit = int64_t(1) << 24;
        if (a.k < 1 || a.s < 1 || a.d < 1 || a.k > 1024 || a.s > 1024 || a.d > 1024 || out_pad[i] < 0 ||
            out_pad[i] > 1024 || pads[i] < -limit || pads[i] > limit || pads[i + rank] < -limit ||
            pads[i + rank] > limit || (!out_shape.empty() && (out_shape[i] < 0 || out_shape[i] > limit)))
            fail(n, "bad kernel, stride, dilation, pads or output size");
        int64_t full = a.s * (a.in - 1) + out_pad[i] + (a.k - 1) * a.d + 1;
        if (!out_shape.empty() || auto_pad == "SAME_UPPER" || auto_pad == "SAME_LOWER") {
            int64_t target = out_shape.empty() ? a.in * a.s : out_shape[i];
            int64_t total = full - target;
            bool upper = auto_pad != "SAME_LOWER";
            a.p0 = upper ? total / 2 : total - total / 2;
            a.p1 = total - a.p0;
        } else if (auto_pad == "NOTSET" || auto_pad == "VALID") {
            a.p0 = auto_pad == "VALID" ? 0 : pads[i];
            a.p1 = auto_pad == "VALID" ? 0 : pads[i + rank];
        } else {
            fail(n, "unknown auto_pad " + auto_pad);
        }
        a.out = full - a.p0 - a.p1;
        if (a.out < 0 || a.p0 < -full || a.p0 > full) fail(n, "bad output size");
        ys.push_back(a.out);
    }
    to_2d(axes);
    op->ah = axes[0];
    op->aw = axes[1];
    op->take_output(n.out[0], ys);
    return op;
}

// The larger of the two, `acc` where `x` is NaN (the order std::max compares in).
inline float max_of(float acc, float x) { return acc < x ? x : acc; }

// One output row of a max or average pool, separably: the window rows of each input column are reduced
// into `span` (the row with its padding columns, which hold the start value), then the window columns of
// each output position.  The taps of a 3x3 window cost 3 passes over the input row and one over the output
// row instead of 9 over the output row, and every pass is a plain loop the compiler vectorises.  An average
// multiplies by `inv`, the reciprocals of its window counts (a division costs as much as the whole sum).
ZELT_HOT void pool_row(bool is_max, const float *xp, int64_t W, int64_t H, int64_t h0, const Axis &ah,
                       const Axis &aw, const float *__restrict inv, float *__restrict span,
                       float *__restrict yr) {
    // A window that lies wholly in the padding gives the lowest finite value, as onnxruntime does.
    const float start = is_max ? std::numeric_limits<float>::lowest() : 0.f;
    const int64_t OW = aw.out, wide = (OW - 1) * aw.s + (aw.k - 1) * aw.d + 1;
    const int64_t lo = std::min(wide, aw.p0), hi = std::min(wide, aw.p0 + W);
    std::fill(span, span + wide, start);
    float *__restrict mid = span + lo;
    const int64_t cols = hi - lo;
    for (int64_t i = 0; i < ah.k; ++i) {
        const int64_t ih = h0 + i * ah.d;
        if (ih < 0 || ih >= H) continue;
        const float *__restrict xr = xp + ih * W + (lo - aw.p0);
        if (is_max)
            for (int64_t w = 0; w < cols; ++w) mid[w] = max_of(mid[w], xr[w]);
        else
            for (int64_t w = 0; w < cols; ++w) mid[w] += xr[w];
    }
    if (aw.k == 3 && aw.s == 1 && aw.d == 1) {  // the common window in one pass
        if (is_max)
            for (int64_t ow = 0; ow < OW; ++ow) yr[ow] = max_of(max_of(span[ow], span[ow + 1]), span[ow + 2]);
        else
            for (int64_t ow = 0; ow < OW; ++ow)
                yr[ow] = (span[ow] + span[ow + 1] + span[ow + 2]) * inv[ow];
        return;
    }
    for (int64_t j = 0; j < aw.k; ++j) {
        const float *__restrict sp = span + j * aw.d;
        if (j == 0) {
            if (aw.s == 1) std::copy(sp, sp + OW, yr);
            else
                for (int64_t ow = 0; ow < OW; ++ow) yr[ow] = sp[ow * aw.s];
        } else if (is_max) {
            if (aw.s == 1)
                for (int64_t ow = 0; ow < OW; ++ow) yr[ow] = max_of(yr[ow], sp[ow]);
            else
                for (int64_t ow = 0; ow < OW; ++ow) yr[ow] = max_of(yr[ow], sp[ow * aw.s]);
        } else {
            if (aw.s == 1)
                for (int64_t ow = 0; ow < OW; ++ow) yr[ow] += sp[ow];
            else
                for (int64_t ow = 0; ow < OW; ++ow) yr[ow] += sp[ow * aw.s];
        }
    }
    if (!is_max)
        for (int64_t ow = 0; ow < OW; ++ow) yr[ow] *= inv[ow];
}

class PoolOp : public SisoOp {
public:
    enum Kind { Max, Avg } kind;
    int64_t planes;
    Axis ah, aw;
    std::vector<float> inv;  // average: [OH][OW] reciprocals of the counted taps (1 where none is counted)

    size_t scratch_floats() const override {
        return aw.out > 0 ? size_t((aw.out - 1) * aw.s + (aw.k - 1) * aw.d + 1) : 0;
    }

    void run(RunCtx &ctx) override {
        const int64_t H = ah.in, W = aw.in, OH = ah.out, OW = aw.out;
        if (OW <= 0) return;
        const double row_ns = double(W * ah.k + OW * aw.k) * kFloatNs;
        ctx.pool.parallel_for(planes * OH, Cost{row_ns}, [&](int task, int64_t r0, int64_t r1) {
            float *span = ctx.scratch + size_t(task) * ctx.scratch_per_thread;
            for (int64_t r = r0; r < r1; ++r) {
                const int64_t q = r / OH, oh = r % OH;
                float *yr = y->data + r * OW;
                const bool avg = kind == Avg;
                pool_row(!avg, x->data + q * H * W, W, H, oh * ah.s - ah.p0, ah, aw,
                         avg ? inv.data() + oh * OW : nullptr, span, yr);
            }
        });
    }
};

std::unique_ptr<Op> make_pool(const Node &n, Planner &p) {
    auto op = std::make_unique<PoolOp>();
    op->kind = n.op_type == "MaxPool" ? PoolOp::Max : PoolOp::Avg;
    op->x = n.input(0);
    if (!op->x || n.out.empty()) fail(n, "needs one input");
    if (n.out.size() > 1 && n.out[1]) fail(n, "the Indices output is not supported");
    need_float(n, op->x);
    const Shape &xs = op->x->shape;
    if (xs.size() < 3 || xs.size() > 4) fail(n, "only 1-D and 2-D pooling is supported");
    if (n.get_int("storage_order", 0) != 0) fail(n, "storage_order 1 is not supported");
    auto axes = window_axes(n, xs, n.get_ints("kernel_shape"), n.get_int("ceil_mode", 0) != 0);
    const bool count_include_pad = n.get_int("count_include_pad", 0) != 0;
    Shape ys{xs[0], xs[1]};
    for (auto &a : axes) ys.push_back(a.out);
    to_2d(axes);
    op->ah = axes[0];
    op->aw = axes[1];
    op->planes = xs[0] * xs[1];
    if (op->kind == PoolOp::Avg && numel_of(ys)) {
        std::vector<int64_t> in_h, pad_h, in_w, pad_w;
        window_counts(p, op->ah, in_h, pad_h);
        window_counts(p, op->aw, in_w, pad_w);
        const auto &ch = count_include_pad ? pad_h : in_h, &cw = count_include_pad ? pad_w : in_w;
        p.charge(uint64_t(op->ah.out * op->aw.out), 4);
        for (int64_t h : ch)
            for (int64_t w : cw) op->inv.push_back(1.f / float(std::max<int64_t>(h * w, 1)));
    }
    op->take_output(n, ys);
    return op;
}

// The sum of `n` values in 16 lanes of partial sums, which the compiler keeps in vector registers: a
// single running sum would wait on the add latency at every value.
ZELT_HOT float plane_sum(const float *x, int64_t n) {
    float lanes[16] = {};
    int64_t i = 0;
    for (; i + 16 <= n; i += 16)
        for (int l = 0; l < 16; ++l) lanes[l] += x[i + l];
    float sum = 0.f;
    for (int l = 0; l < 16; ++l) sum += lanes[l];
    for (; i < n; ++i) sum += x[i];
    return sum;
}

class GlobalPoolOp : public SisoOp {
public:
    bool max;
    int64_t planes, size;
    void run(RunCtx &ctx) override {
        ctx.pool.parallel_for(planes, Cost{double(size) * kFloatNs}, [&](int64_t q0, int64_t q1) {
            for (int64_t q = q0; q < q1; ++q) {
                const float *xp = x->data + q * size;
                if (max) {
                    float acc = -std::numeric_limits<float>::infinity();
                    for (int64_t i = 0; i < size; ++i) acc = std::max(acc, xp[i]);
                    y->data[q] = acc;
                } else {
                    y->data[q] = plane_sum(xp, size) / float(size);
                }
            }
        });
    }
};

std::unique_ptr<Op> make_global_pool(const Node &n, Planner &) {
    auto op = std::make_unique<GlobalPoolOp>();
    op->max = n.op_type == "GlobalMaxPool";
    op->x = n.input(0);
    if (!op->x || n.out.size() != 1) fail(n, "needs one input and one output");
    need_float(n, op->x);
    const Shape &xs = op->x->shape;
    if (xs.size() < 2) fail(n, "input rank below 2");
    op->planes = xs[0] * xs[1];
    op->size = op->planes ? op->x->numel / op->planes : 0;
    if (op->size == 0) fail(n, "empty spatial extent");
    Shape ys{xs[0], xs[1]};
    ys.resize(xs.size(), 1);
    op->take_output(n, ys);
    return op;
}

// y[rows][N] = act(alpha a[rows][K] x B packed in panels of `panel` + bias + (y if accumulate)) over the
// pool, by blocks of rows x panels; A stored transposed ([K][rows]) with `trans_a`.
void packed_gemm(RunCtx &ctx, int64_t panel, int64_t rows, int64_t N, int64_t K, float alpha, const float *a,
                 bool trans_a, const float *bp, const float *bias, bool accumulate, const Activation &act,
                 float *y) {
    // Blocks of rows that differ by one at most: a short last block leaves most of the tile's registers idle.
    const int64_t tile_rows = gemm_rows(panel);
    const int64_t blocks = (rows + tile_rows - 1) / tile_rows, panels = (N + panel - 1) / panel;
    const int64_t T = ctx.pool.size();
    // Panels split only when the row blocks are too few to share, or panel by panel when B is larger than
    // the core's L2 cache, which every block of rows would stream it from: then the blocks of rows take turns
    // on one panel, which is read from memory once, and A is read once per panel instead.
    static const double l2_bytes = [] {
#ifdef _SC_LEVEL2_CACHE_SIZE
        const long v = sysconf(_SC_LEVEL2_CACHE_SIZE);
        if (v > 0) return double(v);
#endif
        return double(1 << 20);
    }();
    const bool by_panel = blocks > 1 && double(K * N) * 4 > l2_bytes;
    int64_t per = 1;  // panels per work item
    if (!by_panel) {
        const int64_t first = blocks >= 4 * T ? 1 : std::min(panels, (4 * T + blocks - 1) / blocks);
        per = (panels + first - 1) / first;
        // Few items in whole rounds of the threads where the panels allow: 17 on two threads leave one idle
        // while the other does the last.
        for (int64_t c = first; c <= panels && blocks < 16 * T; ++c) {
            const int64_t q = (panels + c - 1) / c;
            if (blocks * ((panels + q - 1) / q) % T == 0) {
                per = q;
                break;
            }
        }
    }
    const int64_t chunks = (panels + per - 1) / per;
    const Cost cost{kMacNs * double(tile_rows * K * per * panel)};
    ctx.pool.parallel_for(blocks * chunks, cost, [&](int64_t q0, int64_t q1) {
        for (int64_t q = q0; q < q1; ++q) {
            const int64_t block = by_panel ? q % blocks : q / chunks, i0 = rows * block / blocks;
            const int64_t j0 = (by_panel ? q / blocks : q % chunks) * per * panel;
            const int64_t nr = rows * (block + 1) / blocks - i0, nc = std::min(N, j0 + per * panel) - j0;
            float *c = y + i0 * N + j0;
            gemm_packed(panel, nr, K, nc, alpha, trans_a ? a + i0 : a + i0 * K, trans_a ? rows : K, trans_a,
                        bp + j0 * K, bias ? bias + j0 : nullptr, accumulate, c, N);
            if (act.kind != Activation::None)
                for (int64_t r = 0; r < nr; ++r) act.apply(c + r * N, nc);
        }
    });
}

// B packed for packed_gemm in panels of `panel` when there are (AVX-512 or AVX2) and B is a constant
// matrix, else nothing.
PackedFloats pack_constant_b(Planner &p, Tensor *b, bool tb, int64_t K, int64_t N, int64_t panel) {
    if (!panel || !b->is_const() || N < 2 || K < 1) return {};
    p.charge(uint64_t(packed_b_floats(K, N, panel)), 4);
    p.materialise(b);
    PackedFloats bp(size_t(packed_b_floats(K, N, panel)));
    pack_b(b->fdata.data(), tb, tb ? K : N, K, N, panel, bp.data());
    return bp;
}

class GemmOp : public Op {
public:
    Tensor *a, *b, *c, *y;
    bool ta, tb;
    float alpha, beta;
    int64_t M, N, K;
    Shape cshape;
    Activation act;
    PackedFloats bpk;  // a constant B packed for packed_gemm
    int64_t panel = 0;       // its panel width
    void run(RunCtx &ctx) override {
        float *out = y->data;
        float gemm_beta = 0.f;
        if (c && beta != 0.f) {
            // Broadcast C (shape [], [N], [M,1], [1,N] or [M,N]) into the output first.
            int64_t cm = cshape.size() == 2 ? cshape[0] : 1;
            int64_t cn = cshape.empty() ? 1 : cshape.back();
            for (int64_t i = 0; i < M; ++i)
                for (int64_t j = 0; j < N; ++j)
                    out[i * N + j] = beta * c->data[(cm == 1 ? 0 : i) * cn + (cn == 1 ? 0 : j)];
            gemm_beta = 1.f;
        }
        if (!bpk.empty())
            return packed_gemm(ctx, panel, M, N, K, alpha, a->data, ta, bpk.data(), nullptr, gemm_beta != 0,
                               act, out);
        sgemm_parallel(ctx.pool, ta, tb, M, N, K, alpha, a->data, ta ? M : K, b->data, tb ? K : N, gemm_beta,
                       out, N);
        if (act.kind != Activation::None) act.apply(ctx.pool, out, out, M * N);
    }
};

std::unique_ptr<Op> make_gemm(const Node &n, Planner &p) {
    auto op = std::make_unique<GemmOp>();
    op->a = n.input(0);
    op->b = n.input(1);
    op->c = n.input(2);
    if (!op->a || !op->b || n.out.size() != 1) fail(n, "needs A, B and one output");
    need_float(n, op->a);
    need_float(n, op->b);
    if (op->a->shape.size() != 2 || op->b->shape.size() != 2) fail(n, "A and B must be 2-D");
    op->ta = n.get_int("transA", 0) != 0;
    op->tb = n.get_int("transB", 0) != 0;
    op->alpha = n.get_float("alpha", 1.f);
    op->beta = n.get_float("beta", 1.f);
    const Shape &as = op->a->shape, &bs = op->b->shape;
    op->M = op->ta ? as[1] : as[0];
    op->K = op->ta ? as[0] : as[1];
    op->N = op->tb ? bs[0] : bs[1];
    if ((op->tb ? bs[1] : bs[0]) != op->K)
        fail(n, "inner dimensions differ: " + shape_str(as) + " x " + shape_str(bs));
    if (op->c) {
        need_float(n, op->c);
        op->cshape = op->c->shape;
        const Shape &cs = op->cshape;
        bool ok = cs.size() <= 2;
        if (ok && !cs.empty()) ok = cs.back() == 1 || cs.back() == op->N;
        if (ok && cs.size() == 2) ok = cs[0] == 1 || cs[0] == op->M;
        if (!ok) fail(n, "C " + shape_str(cs) + " does not broadcast to the output");
    }
    set_shape(n.out[0], {op->M, op->N});
    op->y = fuse_activation(n, p, op->act);
    set_shape(op->y, {op->M, op->N});
    op->panel = gemm_panel();
    op->bpk = pack_constant_b(p, op->b, op->tb, op->K, op->N, op->panel);
    op->ins = {op->a, op->b};
    if (op->c) op->ins.push_back(op->c);
    op->outs = {op->y};
    return op;
}

class MatMulOp : public Op {
public:
    Tensor *a, *b, *y;
    Tensor *bias = nullptr;  // N values added along the rows (a fused Add, or the fused form's bias)
    Activation act;          // fused after the bias
    float alpha = 1.f;
    bool ta = false, tb = false;  // operands stored with their last two axes swapped
    int64_t M, N, K, batches;
    Shape batch, abatch, bbatch;  // broadcast batch dimensions of the output, A and B (1 where broadcast)
    bool fold = false;            // B is broadcast over every batch dimension, which A has in full
    PackedFloats bpk;       // a constant B packed for gemm_packed
    bool pack_items = false;      // B packed per work item for gemm_packed (batched products)
    int64_t panel = 0;            // the packed panels' width

    size_t scratch_floats() const override { return pack_items ? size_t(packed_b_floats(K, N, panel)) : 0; }

    void run(RunCtx &ctx) override {
        if (!bpk.empty())
            return packed_gemm(ctx, panel, fold ? batches * M : M, N, K, alpha, a->data, ta, bpk.data(),
                               bias ? bias->data : nullptr, false, act, y->data);
        multiply(ctx);
        if (!bias && act.kind == Activation::None) return;
        // Bias and activation a few rows at a time, each row once while it is in cache.
        ctx.pool.parallel_for(batches * M, Cost{double(N) * 2 * kFloatNs}, [&](int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r) {
                float *row = y->data + r * N;
                if (bias)
                    for (int64_t j = 0; j < N; ++j) row[j] += bias->data[j];
                act.apply(row, N);
            }
        });
    }

    void multiply(RunCtx &ctx) {
        if (batches == 1 || fold) {
            // One product: of M x K by K x N, or, when B is the same for every batch element of a contiguous
            // A, of all batch elements' rows at once.
            const int64_t rows = fold ? batches * M : M;
            sgemm_parallel(ctx.pool, ta, tb, rows, N, K, alpha, a->data, ta ? M : K, b->data, tb ? K : N, 0.f,
                           y->data, N);
            return;
        }
        // The operands' offsets of each batch element come from its index, not from a table that a tiny
        // model with one huge batch axis could make huge.
        auto ast = strides_of(abatch), bst = strides_of(bbatch);
        // One job over (batch element, column block), each a single-threaded product: not a parallel
        // product per batch element, which waits for its slowest thread each time.  Column blocks only when
        // there are too few batch elements to share.
        const int T = ctx.pool.size();
        int64_t blocks = batches >= 4 * T ? 1 : std::min((N + 15) / 16, (4 * T + batches - 1) / batches);
        int64_t width = (N + blocks - 1) / std::max<int64_t>(1, blocks);
        if (pack_items) width = (width + panel - 1) / panel * panel;  // whole panels: none half empty
        blocks = width ? (N + width - 1) / width : 1;
        ctx.pool.parallel_for(
            batches * blocks, Cost{kMacNs * double(M * K * width)}, [&](int task, int64_t q0, int64_t q1) {
                for (int64_t q = q0; q < q1; ++q) {
                    const int64_t i = q / blocks, j0 = q % blocks * width, j1 = std::min(N, j0 + width);
                    int64_t rem = i, ao = 0, bo = 0;
                    for (size_t d = batch.size(); d-- > 0;) {
                        const int64_t idx = rem % batch[d];
                        rem /= batch[d];
                        if (abatch[d] != 1) ao += idx * ast[d];
                        if (bbatch[d] != 1) bo += idx * bst[d];
                    }
                    const float *bj = b->data + bo * K * N + j0 * (tb ? K : 1);
                    float *c = y->data + i * M * N + j0;
                    if (pack_items) {
                        float *bp = ctx.scratch + size_t(task) * ctx.scratch_per_thread;
                        pack_b(bj, tb, tb ? K : N, K, j1 - j0, panel, bp);
                        gemm_packed(panel, M, K, j1 - j0, alpha, a->data + ao * M * K, ta ? M : K, ta, bp, nullptr,
                                    false, c, N);
                    } else {
                        sgemm(ta, tb, M, j1 - j0, K, alpha, a->data + ao * M * K, ta ? M : K, bj, tb ? K : N,
                              0.f, c, N);
                    }
                }
            });
    }
};

// The constant of N floats that the Add reading the MatMul output `y` (of shape `ys`) adds along its rows,
// if it is the only reader and the sum keeps the shape: the bias of a linear layer.
Tensor *row_bias(const Planner &p, const Tensor *y, const Shape &ys, const Node *&add) {
    add = p.single_consumer(y);
    if (!add || add->op_type != "Add" || add->in.size() != 2 || add->out.size() != 1 || ys.empty())
        return nullptr;
    Tensor *c = add->in[0] == y ? add->in[1] : add->in[0];
    if (!c || c == y || !c->is_const() || c->dtype != DType::F32 || c->numel != ys.back() ||
        c->shape.empty() || c->shape.size() > ys.size() || c->shape.back() != ys.back())
        return nullptr;
    return c;
}

std::unique_ptr<Op> make_matmul(const Node &n, Planner &p) {
    auto op = std::make_unique<MatMulOp>();
    op->a = n.input(0);
    op->b = n.input(1);
    if (!op->a || !op->b || n.out.size() != 1) fail(n, "needs A, B and one output");
    need_float(n, op->a);
    need_float(n, op->b);
    Shape as = op->a->shape, bs = op->b->shape;
    if (as.empty() || bs.empty()) fail(n, "scalar operands");
    // A rewrite pass's fused form: operands transposed in their last two axes, and a scale.
    const bool fused = n.op_type == "FusedMatMul";
    op->ta = fused && n.get_int("transA", 0) != 0;
    op->tb = fused && n.get_int("transB", 0) != 0;
    if ((op->ta && as.size() < 2) || (op->tb && bs.size() < 2))
        fail(n, "a transposed operand must be 2-D or more");
    if (op->ta) std::swap(as[as.size() - 1], as[as.size() - 2]);
    if (op->tb) std::swap(bs[bs.size() - 1], bs[bs.size() - 2]);
    bool a1 = as.size() == 1, b1 = bs.size() == 1;
    if (a1) as.insert(as.begin(), 1);
    if (b1) bs.push_back(1);
    op->M = as[as.size() - 2];
    op->K = as.back();
    op->N = bs.back();
    if (bs[bs.size() - 2] != op->K)
        fail(n, "inner dimensions differ: " + shape_str(as) + " x " + shape_str(bs));
    Shape abatch(as.begin(), as.end() - 2), bbatch(bs.begin(), bs.end() - 2);
    size_t r = std::max(abatch.size(), bbatch.size());
    abatch.insert(abatch.begin(), r - abatch.size(), 1);
    bbatch.insert(bbatch.begin(), r - bbatch.size(), 1);
    Shape batch(r);
    for (size_t i = 0; i < r; ++i) {
        if (abatch[i] != bbatch[i] && abatch[i] != 1 && bbatch[i] != 1)
            fail(n, "batch dimensions do not broadcast");
        batch[i] = abatch[i] == 1 ? bbatch[i] : abatch[i];
    }
    op->batches = numel_of(batch);
    op->batch = batch;
    op->abatch = abatch;
    op->bbatch = bbatch;
    op->fold = !op->ta && abatch == batch &&
               std::all_of(bbatch.begin(), bbatch.end(), [](int64_t d) { return d == 1; });
    Shape ys = batch;
    if (!a1) ys.push_back(op->M);
    if (!b1) ys.push_back(op->N);
    set_shape(n.out[0], ys);
    const Node *add = nullptr;
    if (fused) op->alpha = n.get_float("alpha", 1.f);
    if ((op->bias = b1 ? nullptr : row_bias(p, n.out[0], ys, add))) {
        p.fused[size_t(add - p.nodes.data())] = true;
        set_shape(add->out[0], ys);
        op->y = fuse_activation(*add, p, op->act);
    } else {
        op->y = fuse_activation(n, p, op->act);
    }
    set_shape(op->y, ys);
    // A constant B is packed once, and the B of a batched product (attention) per work item while it is
    // small; a vector B stays with OpenBLAS.
    op->panel = gemm_panel();
    if (!b1) {
        if (op->batches == 1 || op->fold)
            op->bpk = pack_constant_b(p, op->b, op->tb, op->K, op->N, op->panel);
        else
            op->pack_items = op->panel && op->N > 1 && op->K > 0 &&
                             packed_b_floats(op->K, op->N, op->panel) <= (1 << 18);
    }
    op->ins = {op->a, op->b};
    if (op->bias) op->ins.push_back(op->bias);
    op->outs = {op->y};
    op->op_type = std::string(fused ? "FusedMatMul" : "MatMul") + (op->bias ? "+Add" : "") +
                  (op->act.kind != Activation::None ? "+Act" : "");
    return op;
}

// Per-channel affine map y = x * scale[c] + shift[c] (inference BatchNormalization).
class ChannelAffineOp : public SisoOp {
public:
    std::vector<float> scale, shift;
    int64_t N, C, inner;
    void run(RunCtx &ctx) override {
        ctx.pool.parallel_for(N * C, Cost{double(inner) * 2 * kFloatNs}, [&](int64_t q0, int64_t q1) {
            for (int64_t q = q0; q < q1; ++q) {
                int64_t c = q % C;
                const float *xp = x->data + q * inner;
                float *yp = y->data + q * inner;
                float s = scale[c], t = shift[c];
                for (int64_t i = 0; i < inner; ++i) yp[i] = xp[i] * s + t;
            }
        });
    }
};

std::unique_ptr<Op> make_batchnorm(const Node &n, Planner &p) {
    auto op = std::make_unique<ChannelAffineOp>();
    op->x = n.input(0);
    if (!op->x || n.in.size() != 5 || n.out.empty()) fail(n, "needs X, scale, B, mean and var");
    if (n.out.size() > 1 || n.get_int("training_mode", 0)) fail(n, "training mode is not supported");
    need_float(n, op->x);
    const Shape &xs = op->x->shape;
    if (xs.size() < 2) fail(n, "input rank below 2");
    op->N = xs[0];
    op->C = xs[1];
    op->inner = op->N * op->C != 0 ? op->x->numel / (op->N * op->C) : 0;
    // Four parameters, then scale and shift, of one value per channel.
    p.charge(uint64_t(op->C) * 6, 4);
    auto sc = const_floats(n, n.in[1], "scale", op->C), bi = const_floats(n, n.in[2], "B", op->C);
    auto mean = const_floats(n, n.in[3], "mean", op->C), var = const_floats(n, n.in[4], "var", op->C);
    size_t C = size_t(op->C);
    if (sc.size() != C || bi.size() != C || mean.size() != C || var.size() != C)
        fail(n, "parameter sizes differ from the channel count");
    float eps = n.get_float("epsilon", 1e-5f);
    for (size_t c = 0; c < C; ++c) {
        float s = sc[c] / std::sqrt(var[c] + eps);
        op->scale.push_back(s);
        op->shift.push_back(bi[c] - mean[c] * s);
    }
    op->take_output(n, xs);
    return op;
}

class LrnOp : public SisoOp {
public:
    int64_t N, C, inner, size;
    float alpha, beta, bias;
    void run(RunCtx &ctx) override {
        const int64_t before = (size - 1) / 2, after = size - 1 - before;
        const double plane_ns = double(inner) * (double(size) * kFloatNs + kMathNs);
        ctx.pool.parallel_for(N * C, Cost{plane_ns}, [&](int64_t q0, int64_t q1) {
            for (int64_t q = q0; q < q1; ++q) {
                int64_t n = q / C, c = q % C;
                int64_t c0 = std::max<int64_t>(0, c - before), c1 = std::min(C - 1, c + after);
                const float *xn = x->data + n * C * inner;
                float *yp = y->data + q * inner;
                for (int64_t i = 0; i < inner; ++i) {
                    float sq = 0;
                    for (int64_t k = c0; k <= c1; ++k) sq += xn[k * inner + i] * xn[k * inner + i];
                    yp[i] = xn[c * inner + i] / std::pow(bias + alpha / float(size) * sq, beta);
                }
            }
        });
    }
};

std::unique_ptr<Op> make_lrn(const Node &n, Planner &) {
    auto op = std::make_unique<LrnOp>();
    op->take_input(n);
    const Shape &xs = op->x->shape;
    if (xs.size() < 2) fail(n, "input rank below 2");
    op->N = xs[0];
    op->C = xs[1];
    op->inner = op->N * op->C != 0 ? op->x->numel / (op->N * op->C) : 0;
    op->size = n.get_int("size", 0);
    if (op->size < 1) fail(n, "size must be positive");
    op->alpha = n.get_float("alpha", 1e-4f);
    op->beta = n.get_float("beta", 0.75f);
    op->bias = n.get_float("bias", 1.f);
    op->take_output(n, xs);
    return op;
}

}  // namespace

std::unique_ptr<Op> make_nn_op(const Node &n, Planner &p) {
    const std::string &t = n.op_type;
    if (t == "Conv") return make_conv(n, p);
    if (t == "ConvTranspose") return make_conv_transpose(n, p);
    if (t == "MaxPool" || t == "AveragePool") return make_pool(n, p);
    if (t == "GlobalAveragePool" || t == "GlobalMaxPool") return make_global_pool(n, p);
    if (t == "Gemm") return make_gemm(n, p);
    if (t == "MatMul" || t == "FusedMatMul") return make_matmul(n, p);
    if (t == "BatchNormalization") return make_batchnorm(n, p);
    if (t == "LRN") return make_lrn(n, p);
    return nullptr;
}

}  // namespace zelt::engine
