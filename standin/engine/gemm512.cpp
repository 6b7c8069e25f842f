// Matrix products on AVX-512 with B packed in panels of 32 columns, [panels][K][32]: the weights of a linear
// layer are packed once at load, the B of an attention product per work item.  A tile of up to 12 rows x 32
// columns stays in 24 registers over all of K, broadcasting A's values from its rows.  OpenBLAS packs both operands on every call, which for the products of a
// transformer's layers (a few hundred rows) costs as much as the arithmetic saves.
#include <immintrin.h>

#include <array>

#include "ops_util.hpp"
#include "vec_math.hpp"

namespace zelt::engine {

int64_t packed_b_floats(int64_t K, int64_t N) { return (N + kPanel - 1) / kPanel * K * kPanel; }

void pack_b(const float *b, bool trans_b, int64_t ldb, int64_t K, int64_t N, float *out) {
    for (int64_t p = 0; p * kPanel < N; ++p) {
        float *dst = out + p * K * kPanel;
        const int64_t j0 = p * kPanel, cols = std::min(kPanel, N - j0);
        for (int64_t k = 0; k < K; ++k) {
            float *d = dst + k * kPanel;
            if (trans_b)
                for (int64_t j = 0; j < cols; ++j) d[j] = b[(j0 + j) * ldb + k];
            else
                std::memcpy(d, b + k * ldb + j0, size_t(cols) * 4);
            std::fill(d + cols, d + kPanel, 0.f);
        }
    }
}

namespace {

constexpr int kRows = int(kGemmRows);

// MR rows of A (row-major, lda) x one panel: c = alpha * sums (+ c) (+ bias), `cols` of the 32 stored.  Few
// rows keep KU sets of sums over interleaved k, so that enough multiply-adds are in flight: one row's two
// sums alone would wait on each other's latency at every k.  The rows are addressed from four bases three
// rows apart (row r at base[r / 3] + (r % 3) lda), which the addressing modes cover with one index.
template <int MR>
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
                const __m512 v = _mm512_set1_ps(base[r / 3][(r % 3) * lda + k + u]);
                acc[u][r][0] = _mm512_fmadd_ps(v, b0, acc[u][r][0]);
                acc[u][r][1] = _mm512_fmadd_ps(v, b1, acc[u][r][1]);
            }
        }
    for (; k < K; ++k, bp += kPanel) {
        const __m512 b0 = _mm512_loadu_ps(bp), b1 = _mm512_loadu_ps(bp + 16);
        for (int r = 0; r < MR; ++r) {
            const __m512 v = _mm512_set1_ps(base[r / 3][(r % 3) * lda + k]);
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

using PanelTile = void (*)(int64_t, const float *, int64_t, const float *, float, const float *, bool, float *,
                           int64_t, int64_t);

template <size_t... I>
constexpr std::array<PanelTile, kRows> panel_tiles(std::index_sequence<I...>) {
    return {&panel_tile<int(I) + 1>...};
}

const std::array<PanelTile, kRows> tiles = panel_tiles(std::make_index_sequence<kRows>());

}  // namespace

void gemm_packed(int64_t rows, int64_t K, int64_t N, float alpha, const float *a, int64_t lda,
                 const float *bp, const float *bias, bool accumulate, float *c, int64_t ldc) {
    for (int64_t i0 = 0; i0 < rows; i0 += kRows) {
        const int64_t mr = std::min<int64_t>(kRows, rows - i0);
        for (int64_t p = 0; p * kPanel < N; ++p)
            tiles[size_t(mr - 1)](K, a + i0 * lda, lda, bp + p * K * kPanel, alpha,
                                  bias ? bias + p * kPanel : nullptr, accumulate, c + i0 * ldc + p * kPanel, ldc,
                                  std::min(kPanel, N - p * kPanel));
    }
}

}  // namespace zelt::engine
