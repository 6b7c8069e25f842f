// Matrix products with B packed in panels of columns, [panels][K][panel]: 32 columns on AVX-512, 16 on
// AVX2.  The weights of a linear layer are packed once at load, the B of an attention product per work
// item.  A tile of rows x one panel stays in registers over all of K (24 on AVX-512: 12 rows x 2 vectors;
// 12 on AVX2: 6 x 2), broadcasting A's values from its rows.  OpenBLAS packs both operands on every call,
// which for the products of a transformer's layers (a few hundred rows) costs as much as the arithmetic
// saves.
#include <immintrin.h>

#include <array>

#include "ops_util.hpp"
#include "vec_math.hpp"

namespace zelt::engine {

int64_t gemm_panel() { return avx512_available() ? 32 : nchwc_available() ? 16 : 0; }

int64_t gemm_rows(int64_t panel) { return panel == 32 ? 12 : 6; }

int64_t packed_b_floats(int64_t K, int64_t N, int64_t panel) { return (N + panel - 1) / panel * K * panel; }

void pack_b(const float *b, bool trans_b, int64_t ldb, int64_t K, int64_t N, int64_t panel, float *out) {
    for (int64_t p = 0; p * panel < N; ++p) {
        float *dst = out + p * K * panel;
        const int64_t j0 = p * panel, cols = std::min(panel, N - j0);
        for (int64_t k = 0; k < K; ++k) {
            float *d = dst + k * panel;
            if (trans_b)
                for (int64_t j = 0; j < cols; ++j) d[j] = b[(j0 + j) * ldb + k];
            else
                std::memcpy(d, b + k * ldb + j0, size_t(cols) * 4);
            std::fill(d + cols, d + panel, 0.f);
        }
    }
}

namespace {

constexpr int64_t kPanel = 32, kPanel8 = 16;

// MR rows of A (row-major, lda; or stored transposed, [K][lda] with the rows contiguous at each k, when TA)
// x one panel of 32: c = alpha * sums (+ c) (+ bias), `cols` of the 32 stored.  Few rows keep KU sets of
// sums over interleaved k, so that enough multiply-adds are in flight: one row's two sums alone would wait on
// each other's latency at every k.  The rows of a row-major A are addressed from four bases three rows apart
// (row r at base[r / 3] + (r % 3) lda), which the addressing modes cover with one index.
template <int MR, bool TA>
ZELT_AVX512 void panel_tile(int64_t K, const float *a, int64_t lda, const float *bp, float alpha,
                            const float *bias, bool accumulate, float *c, int64_t ldc, int64_t cols) {
    constexpr int KU = MR <= 2 ? 4 : MR <= 4 ? 2 : 1;
    __m512 acc[KU][MR][2];
    for (int u = 0; u < KU; ++u)
        for (int r = 0; r < MR; ++r) acc[u][r][0] = acc[u][r][1] = _mm512_setzero_ps();
    const float *base[4] = {a, a + 3 * lda, a + 6 * lda, a + 9 * lda};
    int64_t k = 0;
    for (; k + KU <= K; k += KU, bp += KU * kPanel)
#pragma GCC unroll 4
        for (int u = 0; u < KU; ++u) {
            const __m512 b0 = _mm512_loadu_ps(bp + u * kPanel), b1 = _mm512_loadu_ps(bp + u * kPanel + 16);
#pragma GCC unroll 12
            for (int r = 0; r < MR; ++r) {
                const __m512 v = _mm512_set1_ps(TA ? a[(k + u) * lda + r] : base[r / 3][(r % 3) * lda + k + u]);
                acc[u][r][0] = _mm512_fmadd_ps(v, b0, acc[u][r][0]);
                acc[u][r][1] = _mm512_fmadd_ps(v, b1, acc[u][r][1]);
            }
        }
    for (; k < K; ++k, bp += kPanel) {
        const __m512 b0 = _mm512_loadu_ps(bp), b1 = _mm512_loadu_ps(bp + 16);
        for (int r = 0; r < MR; ++r) {
            const __m512 v = _mm512_set1_ps(TA ? a[k * lda + r] : base[r / 3][(r % 3) * lda + k]);
            acc[0][r][0] = _mm512_fmadd_ps(v, b0, acc[0][r][0]);
            acc[0][r][1] = _mm512_fmadd_ps(v, b1, acc[0][r][1]);
        }
    }
    for (int u = 1; u < KU; ++u)
        for (int r = 0; r < MR; ++r) {
            acc[0][r][0] = _mm512_add_ps(acc[0][r][0], acc[u][r][0]);
            acc[0][r][1] = _mm512_add_ps(acc[0][r][1], acc[u][r][1]);
        }
    const __mmask16 m0 = cols >= 16 ? 0xffff : __mmask16((1u << cols) - 1);
    const __mmask16 m1 = cols >= 32 ? 0xffff : cols <= 16 ? 0 : __mmask16((1u << (cols - 16)) - 1);
    const __m512 va = _mm512_set1_ps(alpha);
    const __m512 bias0 = bias ? _mm512_maskz_loadu_ps(m0, bias) : _mm512_setzero_ps();
    const __m512 bias1 = bias ? _mm512_maskz_loadu_ps(m1, bias + 16) : _mm512_setzero_ps();
    for (int r = 0; r < MR; ++r, c += ldc) {
        __m512 v0 = _mm512_fmadd_ps(acc[0][r][0], va, bias0), v1 = _mm512_fmadd_ps(acc[0][r][1], va, bias1);
        if (accumulate) {
            v0 = _mm512_add_ps(v0, _mm512_maskz_loadu_ps(m0, c));
            v1 = _mm512_add_ps(v1, _mm512_maskz_loadu_ps(m1, c + 16));
        }
        _mm512_mask_storeu_ps(c, m0, v0);
        _mm512_mask_storeu_ps(c + 16, m1, v1);
    }
}

// The AVX2 form: MR rows x one panel of 16, two vectors a row.
template <int MR, bool TA>
ZELT_AVX2 void panel_tile8(int64_t K, const float *a, int64_t lda, const float *bp, float alpha,
                           const float *bias, bool accumulate, float *c, int64_t ldc, int64_t cols) {
    constexpr int KU = MR == 1 ? 4 : MR <= 3 ? 2 : 1;
    __m256 acc[KU][MR][2];
    for (int u = 0; u < KU; ++u)
        for (int r = 0; r < MR; ++r) acc[u][r][0] = acc[u][r][1] = _mm256_setzero_ps();
    const float *base[2] = {a, a + 3 * lda};
    int64_t k = 0;
    for (; k + KU <= K; k += KU, bp += KU * kPanel8)
#pragma GCC unroll 4
        for (int u = 0; u < KU; ++u) {
            const __m256 b0 = _mm256_loadu_ps(bp + u * kPanel8), b1 = _mm256_loadu_ps(bp + u * kPanel8 + 8);
#pragma GCC unroll 6
            for (int r = 0; r < MR; ++r) {
                const __m256 v = _mm256_broadcast_ss(TA ? a + (k + u) * lda + r : base[r / 3] + (r % 3) * lda + k + u);
                acc[u][r][0] = _mm256_fmadd_ps(v, b0, acc[u][r][0]);
                acc[u][r][1] = _mm256_fmadd_ps(v, b1, acc[u][r][1]);
            }
        }
    for (; k < K; ++k, bp += kPanel8) {
        const __m256 b0 = _mm256_loadu_ps(bp), b1 = _mm256_loadu_ps(bp + 8);
#pragma GCC unroll 6
        for (int r = 0; r < MR; ++r) {
            const __m256 v = _mm256_broadcast_ss(TA ? a + k * lda + r : base[r / 3] + (r % 3) * lda + k);
            acc[0][r][0] = _mm256_fmadd_ps(v, b0, acc[0][r][0]);
            acc[0][r][1] = _mm256_fmadd_ps(v, b1, acc[0][r][1]);
        }
    }
    for (int u = 1; u < KU; ++u)
#pragma GCC unroll 6
        for (int r = 0; r < MR; ++r) {
            acc[0][r][0] = _mm256_add_ps(acc[0][r][0], acc[u][r][0]);
            acc[0][r][1] = _mm256_add_ps(acc[0][r][1], acc[u][r][1]);
        }
    // Masked loads and stores for a last panel of fewer columns touch only the `cols` that exist.
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i m0 = _mm256_cmpgt_epi32(_mm256_set1_epi32(int(cols)), lane);
    const __m256i m1 = _mm256_cmpgt_epi32(_mm256_set1_epi32(int(cols) - 8), lane);
    const bool full = cols == kPanel8;
    const __m256 va = _mm256_set1_ps(alpha);
    const __m256 bias0 = bias ? _mm256_maskload_ps(bias, m0) : _mm256_setzero_ps();
    const __m256 bias1 = bias ? _mm256_maskload_ps(bias + 8, m1) : _mm256_setzero_ps();
#pragma GCC unroll 6
    for (int r = 0; r < MR; ++r, c += ldc) {
        __m256 v0 = _mm256_fmadd_ps(acc[0][r][0], va, bias0), v1 = _mm256_fmadd_ps(acc[0][r][1], va, bias1);
        if (full) {
            if (accumulate) {
                v0 = _mm256_add_ps(v0, _mm256_loadu_ps(c));
                v1 = _mm256_add_ps(v1, _mm256_loadu_ps(c + 8));
            }
            _mm256_storeu_ps(c, v0);
            _mm256_storeu_ps(c + 8, v1);
        } else {
            if (accumulate) {
                v0 = _mm256_add_ps(v0, _mm256_maskload_ps(c, m0));
                v1 = _mm256_add_ps(v1, _mm256_maskload_ps(c + 8, m1));
            }
            _mm256_maskstore_ps(c, m0, v0);
            _mm256_maskstore_ps(c + 8, m1, v1);
        }
    }
}

using PanelTile = void (*)(int64_t, const float *, int64_t, const float *, float, const float *, bool,
                           float *, int64_t, int64_t);

template <bool TA, size_t... I>
constexpr std::array<PanelTile, sizeof...(I)> panel_tiles(std::index_sequence<I...>) {
    return {&panel_tile<int(I) + 1, TA>...};
}

template <bool TA, size_t... I>
constexpr std::array<PanelTile, sizeof...(I)> panel_tiles8(std::index_sequence<I...>) {
    return {&panel_tile8<int(I) + 1, TA>...};
}

const std::array<PanelTile, 12> tiles[2] = {panel_tiles<false>(std::make_index_sequence<12>()),
                                            panel_tiles<true>(std::make_index_sequence<12>())};
const std::array<PanelTile, 6> tiles8[2] = {panel_tiles8<false>(std::make_index_sequence<6>()),
                                            panel_tiles8<true>(std::make_index_sequence<6>())};

}  // namespace

void gemm_packed(int64_t panel, int64_t rows, int64_t K, int64_t N, float alpha, const float *a, int64_t lda,
                 bool trans_a, const float *bp, const float *bias, bool accumulate, float *c, int64_t ldc) {
    const int64_t tile_rows = gemm_rows(panel);
    const PanelTile *table = panel == kPanel ? tiles[trans_a].data() : tiles8[trans_a].data();
    for (int64_t i0 = 0; i0 < rows; i0 += tile_rows) {
        const int64_t mr = std::min(tile_rows, rows - i0);
        for (int64_t p = 0; p * panel < N; ++p)
            table[mr - 1](K, a + i0 * (trans_a ? 1 : lda), lda, bp + p * K * panel, alpha,
                          bias ? bias + p * panel : nullptr,
                          accumulate, c + i0 * ldc + p * panel, ldc, std::min(panel, N - p * panel));
    }
}

}  // namespace zelt::engine
