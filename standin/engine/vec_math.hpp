// Vector math for the AVX2 kernels: eight floats at a time, to within a few ulp of the C library.
// Callers check nchwc_available() (AVX2 and FMA) before they call these, and keep a scalar path.
#pragma once

#include <immintrin.h>

#ifndef ZELT_AVX2
#define ZELT_AVX2 __attribute__((target("avx2,fma")))
#endif

namespace zelt::engine::vec {

// e^x: x = n*ln2 + r with |r| <= ln2/2, e^r by a degree-6 polynomial, then scaled by 2^n through the
// exponent bits.  Below -87.3 (where 2^n would leave the normal range) the result is 0, above 88.7 it is
// +inf; NaN stays NaN.
ZELT_AVX2 inline __m256 exp(__m256 x) {
    const __m256 hi = _mm256_set1_ps(88.7228391117f), lo = _mm256_set1_ps(-87.3365447505f);
    const __m256 under = _mm256_cmp_ps(x, lo, _CMP_LT_OQ), over = _mm256_cmp_ps(x, hi, _CMP_GT_OQ);
    const __m256 xc = _mm256_min_ps(_mm256_max_ps(x, lo), hi);  // NaN becomes lo here: restored below
    const __m256 n = _mm256_round_ps(_mm256_mul_ps(xc, _mm256_set1_ps(1.44269504089f)),
                                     _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    // ln2 in two parts, so that n * ln2_hi is exact.
    __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(0.693359375f), xc);
    r = _mm256_fnmadd_ps(n, _mm256_set1_ps(-2.12194440e-4f), r);
    __m256 p = _mm256_set1_ps(1.9875691500e-4f);
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.3981999507e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(8.3334519073e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(4.1665795894e-2f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.6666665459e-1f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(5.0000001201e-1f));
    p = _mm256_fmadd_ps(p, _mm256_mul_ps(r, r), _mm256_add_ps(r, _mm256_set1_ps(1.f)));
    // 2^n in two factors, each a normal float for every n of the clamped range [-126, 128].
    const __m256i ni = _mm256_cvtps_epi32(n), n1 = _mm256_srai_epi32(ni, 1), bias = _mm256_set1_epi32(127);
    const __m256i e1 = _mm256_slli_epi32(_mm256_add_epi32(n1, bias), 23);
    const __m256i e2 = _mm256_slli_epi32(_mm256_add_epi32(_mm256_sub_epi32(ni, n1), bias), 23);
    __m256 y = _mm256_mul_ps(_mm256_mul_ps(p, _mm256_castsi256_ps(e1)), _mm256_castsi256_ps(e2));
    y = _mm256_andnot_ps(under, y);
    y = _mm256_blendv_ps(y, _mm256_set1_ps(__builtin_inff()), over);
    const __m256 nan = _mm256_cmp_ps(x, x, _CMP_UNORD_Q);
    return _mm256_blendv_ps(y, x, nan);
}

}  // namespace zelt::engine::vec
