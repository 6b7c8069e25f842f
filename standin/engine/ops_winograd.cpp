// Winograd F(4x4, 3x3) convolution in the blocked layout.  Each 4x4 tile of outputs comes from a 6x6 tile of
// inputs: the input tiles are transformed (B^T d B), the 36 transformed positions are each a matrix product
// [tiles x C] x [C x M] with the transformed weights (G g G^T, made once at load), and the products are
// transformed back (A^T m A) with the bias, the residual and the activation.  That is 36 multiplications per
// output tile and channel pair where the direct kernel does 144, for transforms that cost little once there
// are a few dozen channels.
//
// The tiles of an image go in groups of T, and the groups in waves: per wave, the input transform of its
// groups into a temporary [group][36][C/8][T][8], then work items of one group x two output blocks, whose
// products stay in the thread's scratch until the output transform reads them.  A group's transformed
// input stays in L2 across the output blocks that read it in turn, and a wave's in cache between the two
// steps.
#include <array>
#include <cstdlib>
#include <utility>

#include "nchwc.hpp"

namespace zelt::engine {

namespace {

constexpr int64_t kXi = 36;              // transformed positions of a tile
constexpr int64_t kNT = 6;               // tiles of one AVX2 product kernel: 2 output blocks x 6 = 12 accumulators
constexpr int64_t kGroupTiles = 12;      // tiles per group are a multiple of this (and of kPairTiles)
constexpr int64_t kGroupBytes = 262144;  // transformed input of one tile group
constexpr int64_t kWaveBytes = 1 << 20;  // transformed input of one wave of tile groups

// B^T applied to six vectors: the rows of the input transform.
ZELT_AVX2 inline void input_rows(const __m256 d[6], __m256 r[6]) {
    const __m256 four = _mm256_set1_ps(4.f), five = _mm256_set1_ps(5.f), two = _mm256_set1_ps(2.f);
    const __m256 t1 = _mm256_fnmadd_ps(four, d[2], d[4]), t2 = _mm256_fnmadd_ps(four, d[1], d[3]);
    const __m256 t3 = _mm256_sub_ps(d[4], d[2]), t4 = _mm256_mul_ps(two, _mm256_sub_ps(d[3], d[1]));
    r[0] = _mm256_fmadd_ps(four, d[0], _mm256_fnmadd_ps(five, d[2], d[4]));
    r[1] = _mm256_add_ps(t1, t2);
    r[2] = _mm256_sub_ps(t1, t2);
    r[3] = _mm256_add_ps(t3, t4);
    r[4] = _mm256_sub_ps(t3, t4);
    r[5] = _mm256_fmadd_ps(four, d[1], _mm256_fnmadd_ps(five, d[3], d[5]));
}

// A^T applied to six vectors: four outputs.
ZELT_AVX2 inline void output_rows(const __m256 m[6], __m256 o[4]) {
    const __m256 s12 = _mm256_add_ps(m[1], m[2]), d12 = _mm256_sub_ps(m[1], m[2]);
    const __m256 s34 = _mm256_add_ps(m[3], m[4]), d34 = _mm256_sub_ps(m[3], m[4]);
    o[0] = _mm256_add_ps(_mm256_add_ps(m[0], s12), s34);
    o[1] = _mm256_fmadd_ps(_mm256_set1_ps(2.f), d34, d12);
    o[2] = _mm256_fmadd_ps(_mm256_set1_ps(4.f), s34, s12);
    o[3] = _mm256_add_ps(_mm256_fmadd_ps(_mm256_set1_ps(8.f), d34, d12), m[5]);
}

// The 36 transformed vectors of one 6x6 input tile (rows `row` floats apart, columns 8) to v[xi * step].
ZELT_AVX2 void transform_tile(const float *x, int64_t row, float *v, int64_t step) {
    __m256 t[6][6];  // [transformed row][input column]
    for (int j = 0; j < 6; ++j) {
        __m256 d[6];
        for (int i = 0; i < 6; ++i) d[i] = _mm256_loadu_ps(x + i * row + j * kBlock);
        __m256 r[6];
        input_rows(d, r);
        for (int i = 0; i < 6; ++i) t[i][j] = r[i];
    }
    for (int i = 0; i < 6; ++i) {
        __m256 r[6];
        input_rows(t[i], r);
        for (int k = 0; k < 6; ++k) _mm256_storeu_ps(v + (i * 6 + k) * step, r[k]);
    }
}

// NO output blocks x NT tiles of one transformed position: m[o][t] = sum over c of v[c][t] u[o][c], v as
// [CB][v_cb floats: tiles][8], u as [NO: u_ob floats][CB][8 input channels][8 outputs].
template <int NO, int NT>
ZELT_AVX2 void product_tile(const float *v, int64_t v_cb, const float *u, int64_t u_ob, int64_t CB, float *m,
                            int64_t m_o) {
    __m256 acc[NO][NT];
    for (int o = 0; o < NO; ++o)
        for (int j = 0; j < NT; ++j) acc[o][j] = _mm256_setzero_ps();
    for (int64_t cb = 0; cb < CB; ++cb, v += v_cb, u += kBlock * kBlock) {
#pragma GCC unroll 8
        for (int c = 0; c < kBlock; ++c) {
            __m256 w[NO];
            for (int o = 0; o < NO; ++o) w[o] = _mm256_loadu_ps(u + o * u_ob + c * kBlock);
            for (int j = 0; j < NT; ++j) {
                const __m256 b = _mm256_broadcast_ss(v + j * kBlock + c);
                for (int o = 0; o < NO; ++o) acc[o][j] = _mm256_fmadd_ps(w[o], b, acc[o][j]);
            }
        }
    }
    for (int o = 0; o < NO; ++o)
        for (int j = 0; j < NT; ++j) _mm256_storeu_ps(m + o * m_o + j * kBlock, acc[o][j]);
}

template <int NO, size_t... I>
constexpr std::array<ProductKernel, kNT> product_kernels(std::index_sequence<I...>) {
    return {&product_tile<NO, int(I) + 1>...};
}

// By [output blocks - 1][tiles - 1].
const std::array<ProductKernel, kNT> product_table[2] = {product_kernels<1>(std::make_index_sequence<kNT>()),
                                                         product_kernels<2>(std::make_index_sequence<kNT>())};

class WinogradConvOp : public Op {
public:
    Tensor *x, *y, *res, *v;  // v: the transformed input
    int64_t N, C, CB, M, OB, H, W, OH, OW, top, left;
    int64_t TH, TW, T, groups;   // tile rows and columns, tiles per group, groups per image
    int64_t wave;                // tile groups transformed at once
    int64_t per_item;            // output blocks of a work item: 4 (two pairs) on AVX-512, or 2
    PackedFloats u, bias;  // transformed weights [36][OB][CB][8][8], bias [OB][8]
    std::vector<float> wd;       // the weights as they are, [OB][C][9][8], for tiles that are not finite
    Activation act;

    int64_t group_floats() const { return kXi * CB * T * kBlock; }
    size_t scratch_floats() const override { return size_t(kXi * per_item * T * kBlock); }

    // Transforms the tiles of group g of image n, channel block cb, into the group's storage `vg`.
    ZELT_AVX2 void transform_input(int64_t n, int64_t g, int64_t cb, float *vg) const {
        const float *xc = x->data + (n * CB + cb) * H * W * kBlock;
        float *dst = vg + cb * T * kBlock;
        const int64_t t1 = std::min(T, TH * TW - g * T);
        for (int64_t t = 0; t < t1; ++t) {
            const int64_t q = g * T + t, ih = q / TW * 4 - top, iw = q % TW * 4 - left;
            float *vt = dst + t * kBlock;
            const int64_t step = CB * T * kBlock;
            if (ih >= 0 && iw >= 0 && ih + 6 <= H && iw + 6 <= W) {
                transform_tile(xc + (ih * W + iw) * kBlock, W * kBlock, vt, step);
                continue;
            }
            // A tile over the border: the positions outside the input are the zero padding.
            alignas(32) float patch[6 * 6 * kBlock];
            for (int64_t i = 0; i < 6; ++i)
                for (int64_t j = 0; j < 6; ++j) {
                    const bool in = ih + i >= 0 && ih + i < H && iw + j >= 0 && iw + j < W;
                    _mm256_store_ps(
                        patch + (i * 6 + j) * kBlock,
                        in ? _mm256_loadu_ps(xc + ((ih + i) * W + iw + j) * kBlock) : _mm256_setzero_ps());
                }
            transform_tile(patch, 6 * kBlock, vt, step);
        }
    }

    // The outputs of a tile for output block ob computed directly, bias and residual `r` added, into `sums`:
    // a NaN or an infinity in the input reaches every output of the Winograd tiles over it, where the direct
    // convolution passes it only to the outputs whose windows hold it.
    ZELT_AVX2 void direct_tile(int64_t n, int64_t ob, int64_t oh0, int64_t ow0, int64_t nh, int64_t nw,
                               const float *r, float *sums) const {
        for (int64_t i = 0; i < nh; ++i)
            for (int64_t j = 0; j < nw; ++j) {
                __m256 acc = _mm256_loadu_ps(bias.data() + ob * kBlock);
                for (int64_t k = 0; k < 9; ++k) {
                    const int64_t ih = oh0 + i - top + k / 3, iw = ow0 + j - left + k % 3;
                    if (ih < 0 || ih >= H || iw < 0 || iw >= W) continue;
                    const float *xp = x->data + ((n * CB * H + ih) * W + iw) * kBlock;
                    for (int64_t c = 0; c < C; ++c) {
                        const float xv = xp[c / kBlock * H * W * kBlock + c % kBlock];
                        acc = _mm256_fmadd_ps(_mm256_loadu_ps(wd.data() + ((ob * C + c) * 9 + k) * kBlock),
                                              _mm256_set1_ps(xv), acc);
                    }
                }
                if (r) acc = _mm256_add_ps(acc, _mm256_loadu_ps(r + ((oh0 + i) * OW + ow0 + j) * kBlock));
                _mm256_store_ps(sums + (i * 4 + j) * kBlock, acc);
            }
    }

    // Output blocks [ob, ob + no) of the tiles of group g of image n, transformed in `vg`, through the
    // products in `m`.
    ZELT_AVX2 void output_blocks(int64_t n, int64_t g, const float *vg, int64_t ob, int64_t no,
                                 float *m) const {
        const int64_t nt = std::min(T, TH * TW - g * T);
        for (int64_t xi = 0; xi < kXi; ++xi) {
            const float *vx = vg + xi * CB * T * kBlock;
            const float *ux = u.data() + (xi * OB + ob) * CB * kBlock * kBlock;
            float *mx = m + xi * per_item * T * kBlock;
            const int64_t u_ob = CB * kBlock * kBlock, m_o = T * kBlock;
            // Pairs of blocks on AVX-512, then a last single block (or all on AVX2).
            const int64_t np = per_item == 4 ? no / 2 : 0;
            for (int64_t t = 0; np && t < nt; t += kPairTiles)
                pair_product_kernels[np - 1][size_t(std::min(kPairTiles, nt - t) - 1)](
                    vx + t * kBlock, T * kBlock, ux, u_ob, CB, mx + t * kBlock, m_o);
            for (int64_t t = 0; no > 2 * np && t < nt; t += kNT)
                product_table[no - 2 * np - 1][size_t(std::min(kNT, nt - t) - 1)](
                    vx + t * kBlock, T * kBlock, ux + 2 * np * u_ob, u_ob, CB, mx + (2 * np * T + t) * kBlock,
                    m_o);
        }
        const int64_t plane = OH * OW;
        for (int64_t o = 0; o < no; ++o) {
            const __m256 b = _mm256_loadu_ps(bias.data() + (ob + o) * kBlock);
            const float *r = res ? res->data + (n * OB + ob + o) * plane * kBlock : nullptr;
            for (int64_t t = 0; t < nt; ++t) {
                const int64_t q = g * T + t, oh0 = q / TW * 4, ow0 = q % TW * 4;
                const float *mt = m + (o * T + t) * kBlock;
                __m256 rows[4][6];  // [output row][transformed column]
                for (int j = 0; j < 6; ++j) {
                    __m256 col[6], out[4];
                    for (int i = 0; i < 6; ++i)
                        col[i] = _mm256_loadu_ps(mt + (i * 6 + j) * per_item * T * kBlock);
                    output_rows(col, out);
                    for (int i = 0; i < 4; ++i) rows[i][j] = out[i];
                }
                // The tile's outputs, bias and residual added, then the activation while they are in L1.
                alignas(32) float sums[4 * 4 * kBlock];
                const int64_t nh = std::min<int64_t>(4, OH - oh0), nw = std::min<int64_t>(4, OW - ow0);
                __m256 finite = _mm256_setzero_ps();  // stays zero while every output is finite
                for (int i = 0; i < 4; ++i) {
                    __m256 out[4];
                    output_rows(rows[i], out);
                    for (int j = 0; j < 4; ++j) {
                        __m256 s = _mm256_add_ps(out[j], b);
                        if (i < nh && j < nw) {
                            const int64_t at = ((oh0 + i) * OW + ow0 + j) * kBlock;
                            if (r) s = _mm256_add_ps(s, _mm256_loadu_ps(r + at));
                            finite = _mm256_add_ps(finite, _mm256_mul_ps(s, _mm256_setzero_ps()));
                        }
                        _mm256_store_ps(sums + (i * 4 + j) * kBlock, s);
                    }
                }
                if (_mm256_movemask_ps(_mm256_cmp_ps(finite, finite, _CMP_UNORD_Q)))
                    direct_tile(n, ob + o, oh0, ow0, nh, nw, r, sums);
                act.apply(sums, 4 * 4 * kBlock);
                for (int64_t i = 0; i < nh; ++i)
                    for (int64_t j = 0; j < nw; ++j) {
                        const __m256 s = _mm256_load_ps(sums + (i * 4 + j) * kBlock);
                        const int64_t pos = (oh0 + i) * OW + ow0 + j;
                        if (y->blocked)
                            _mm256_storeu_ps(y->data + ((n * OB + ob + o) * plane + pos) * kBlock, s);
                        else
                            scatter(s, y->data, M, plane, n, ob + o, pos);
                    }
            }
        }
    }

    void run(RunCtx &ctx) override {
        // Waves of tile groups, each transformed and then multiplied while its transformed input is in cache.
        const int64_t items = (OB + per_item - 1) / per_item;
        for (int64_t g0 = 0; g0 < N * groups; g0 += wave) {
            const int64_t ng = std::min(wave, N * groups - g0);
            const double per_block = double(group_floats()) / double(CB);
            ctx.pool.parallel_for(ng * CB, Cost{per_block * 4 * kFloatNs}, [&](int64_t i0, int64_t i1) {
                for (int64_t i = i0; i < i1; ++i) {
                    const int64_t g = g0 + i / CB;
                    transform_input(g / groups, g % groups, i % CB, v->data + (g - g0) * group_floats());
                }
            });
            // Whichever is larger, the wave's transformed input or the transformed weights, is read once: its
            // parts are the outer loop of the items, and the parts of the other come from cache again.
            const bool pairs_outer = int64_t(u.size()) > ng * group_floats();
            // per_item output blocks of 8 channels from every transformed input value of the group.
            const Cost cost{kMacNs * double(group_floats()) * double(per_item * kBlock)};
            ctx.pool.parallel_for(ng * items, cost, [&](int task, int64_t i0, int64_t i1) {
                for (int64_t i = i0; i < i1; ++i) {
                    const int64_t g = g0 + (pairs_outer ? i % ng : i / items);
                    const int64_t ob = (pairs_outer ? i / ng : i % items) * per_item;
                    output_blocks(g / groups, g % groups, v->data + (g - g0) * group_floats(), ob,
                                  std::min(per_item, OB - ob),
                                  ctx.scratch + size_t(task) * ctx.scratch_per_thread);
                }
            });
        }
    }
};

// Whether Winograd runs faster than the direct kernels, from measurements on Zen 4 and Zen 5 at 1 and 2
// threads: enough channels for the transforms to pay, at least half the positions of the 4x4 tiles inside the
// output, and tiles enough to read the four-times-larger transformed weights for: they come from L2 or L3 for
// each group of tiles, where the direct kernel reads its weights once for many output positions.  Fewer than
// 128 input channels take 25 tiles: the output transform then costs more against the products (squeezenet's
// 13x13 expansions of 48 and 64 channels, 16 tiles, ran 20% slower than direct).
// ZELT_WINOGRAD=0 or 1 turns it off or on wherever it applies: a hook for tests and for measuring both paths.
bool worth_it(int64_t C, int64_t M, int64_t OH, int64_t OW, int64_t tiles) {
    if (const char *e = std::getenv("ZELT_WINOGRAD"); e && (e[0] == '0' || e[0] == '1')) return e[0] == '1';
    const double weight_bytes = double(kXi * 4) * double(C) * double(M);
    const int64_t min_tiles =
        std::max<int64_t>(weight_bytes <= 4e6 ? 4 : weight_bytes <= 16e6 ? 9 : 64, C < 128 ? 25 : 0);
    return C >= 16 && M >= 16 && tiles >= min_tiles && 2 * OH * OW >= 16 * tiles;
}

// G g G^T of one 3x3 kernel into 36 values, in double.
void transform_weights(const float *g, double out[kXi]) {
    static const double G[6][3] = {{1. / 4, 0, 0},
                                   {-1. / 6, -1. / 6, -1. / 6},
                                   {-1. / 6, 1. / 6, -1. / 6},
                                   {1. / 24, 1. / 12, 1. / 6},
                                   {1. / 24, -1. / 12, 1. / 6},
                                   {0, 0, 1}};
    double t[6][3];
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 3; ++j) t[i][j] = G[i][0] * g[j] + G[i][1] * g[3 + j] + G[i][2] * g[6 + j];
    for (int i = 0; i < 6; ++i)
        for (int k = 0; k < 6; ++k)
            out[i * 6 + k] = t[i][0] * G[k][0] + t[i][1] * G[k][1] + t[i][2] * G[k][2];
}

}  // namespace

std::unique_ptr<Op> make_winograd_conv(const Node &n, Planner &p, Tensor *x, Tensor *y, Tensor *res,
                                       const Activation &act, const Axis &ah, const Axis &aw) {
    Tensor *w = n.in[1];
    const int64_t C = x->shape[1], M = w->shape[0];
    if (!x->blocked || n.get_int("group", 1) != 1 || ah.k != 3 || aw.k != 3 || ah.s != 1 || aw.s != 1 ||
        ah.d != 1 || aw.d != 1 || std::max({ah.p0, ah.p1, aw.p0, aw.p1}) > 1)
        return nullptr;
    const int64_t TH = (ah.out + 3) / 4, TW = (aw.out + 3) / 4;
    if (ah.out < 1 || aw.out < 1 || !worth_it(C, M, ah.out, aw.out, TH * TW)) return nullptr;
    auto op = std::make_unique<WinogradConvOp>();
    op->x = x, op->y = y, op->res = res, op->act = act;
    op->N = x->shape[0], op->C = C, op->CB = blocks_of(C), op->M = M, op->OB = blocks_of(M);
    op->H = ah.in, op->W = aw.in, op->OH = ah.out, op->OW = aw.out, op->top = ah.p0, op->left = aw.p0;
    op->TH = TH, op->TW = TW;
    // Tiles per group: a multiple of the product kernels', as many as the group's budget holds.
    const int64_t fit = std::max<int64_t>(1, kGroupBytes / (kXi * op->CB * kBlock * 4 * kGroupTiles)) * kGroupTiles;
    op->T = std::min(fit, (TH * TW + kGroupTiles - 1) / kGroupTiles * kGroupTiles);
    op->per_item = avx512_available() ? 4 : 2;
    op->groups = (TH * TW + op->T - 1) / op->T;
    const int64_t OB = op->OB, CB = op->CB;
    p.charge(uint64_t(kXi * OB * CB * kBlock * kBlock + OB * kBlock + OB * C * 9 * kBlock), 4);
    p.materialise(w);
    if (Tensor *b = n.input(2)) p.materialise(b);
    op->u.assign(size_t(kXi * OB * CB * kBlock * kBlock), 0.f);
    op->bias.assign(size_t(OB * kBlock), 0.f);
    op->wd.assign(size_t(OB * C * 9 * kBlock), 0.f);
    if (Tensor *b = n.input(2)) std::copy(b->fdata.begin(), b->fdata.end(), op->bias.begin());
    for (int64_t m = 0; m < M; ++m)
        for (int64_t c = 0; c < C; ++c) {
            double t[kXi];
            transform_weights(w->fdata.data() + (m * C + c) * 9, t);
            for (int64_t k = 0; k < 9; ++k)
                op->wd[size_t(((m / kBlock * C + c) * 9 + k) * kBlock + m % kBlock)] =
                    w->fdata[size_t((m * C + c) * 9 + k)];
            for (int64_t xi = 0; xi < kXi; ++xi)
                op->u[size_t((((xi * OB + m / kBlock) * CB + c / kBlock) * kBlock + c % kBlock) * kBlock +
                             m % kBlock)] = float(t[xi]);
        }
    op->wave = std::max<int64_t>(1, kWaveBytes / (op->group_floats() * 4));
    op->v = p.temporary(n.name + "/winograd", std::min(op->wave, op->N * op->groups) * op->group_floats());
    op->ins = {x};
    if (res) op->ins.push_back(res);
    op->ins.push_back(op->v);
    op->outs = {y};
    return op;
}

}  // namespace zelt::engine
