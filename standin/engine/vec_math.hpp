// Elementary functions on eight floats at once (AVX2 and FMA), for the elementwise kernels and the
// activation epilogues.  Each keeps within a few ulp of the C library's float function and gives what it
// gives for NaN, infinities, overflow and underflow.  Callers carry the ZELT_AVX2 target themselves and
// run only where nchwc_available() holds.
#pragma once

#include <immintrin.h>

#define ZELT_AVX2 __attribute__((target("avx2,fma")))
#define ZELT_VEC ZELT_AVX2 __attribute__((always_inline)) inline

namespace zelt::engine::vec {

ZELT_VEC __m256 set(float v) { return _mm256_set1_ps(v); }

// Polynomial c[0] + c[1] x + ... by Horner's rule.
template <size_t N>
ZELT_VEC __m256 poly(__m256 x, const float (&c)[N]) {
    __m256 r = set(c[N - 1]);
    for (size_t i = N - 1; i-- > 0;) r = _mm256_fmadd_ps(r, x, set(c[i]));
    return r;
}

ZELT_VEC __m256 abs(__m256 x) { return _mm256_andnot_ps(set(-0.f), x); }

// min(hi, x) and max(lo, x) that keep a NaN x (the vector instructions return their second operand).
ZELT_VEC __m256 clamp(__m256 x, __m256 lo, __m256 hi) { return _mm256_max_ps(lo, _mm256_min_ps(hi, x)); }

// e^x: x = n ln2 + r with |r| <= ln2 / 2, e^r = 1 + r + r^2 P(r) (Cephes' expf), then 2^n as two factors
// of 2^(n/2): results below the smallest normal float and overflow to infinity round as std::exp's do.
// Inputs are clamped to where the result is 0 or infinite anyway; a NaN passes the clamp.
ZELT_VEC __m256 exp(__m256 x) {
    static constexpr float p[] = {5.0000001201e-1f, 1.6666665459e-1f, 4.1665795894e-2f,
                                  8.3334519073e-3f, 1.3981999507e-3f, 1.9875691500e-4f};
    x = clamp(x, set(-104.f), set(89.f));
    const __m256 n = _mm256_round_ps(_mm256_mul_ps(x, set(1.44269504088896341f)),
                                     _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m256 r = _mm256_fnmadd_ps(n, set(0.693359375f), x);
    r = _mm256_fnmadd_ps(n, set(-2.12194440e-4f), r);
    const __m256 e = _mm256_add_ps(_mm256_fmadd_ps(poly(r, p), _mm256_mul_ps(r, r), r), set(1.f));
    const __m256i k = _mm256_cvtps_epi32(n), k1 = _mm256_srai_epi32(k, 1), k2 = _mm256_sub_epi32(k, k1);
    const __m256i bias = _mm256_set1_epi32(127);
    const __m256 s1 = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(k1, bias), 23));
    const __m256 s2 = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(k2, bias), 23));
    return _mm256_mul_ps(_mm256_mul_ps(e, s1), s2);
}

// 1 / (1 + e^-x): 0 where e^-x overflows.
ZELT_VEC __m256 sigmoid(__m256 x) {
    return _mm256_div_ps(set(1.f), _mm256_add_ps(set(1.f), exp(_mm256_sub_ps(_mm256_setzero_ps(), x))));
}

// x / (1 + e^-x), as the scalar kernel computes it (NaN for -inf, as x * sigmoid(x) is).
ZELT_VEC __m256 silu(__m256 x) {
    return _mm256_div_ps(x, _mm256_add_ps(set(1.f), exp(_mm256_sub_ps(_mm256_setzero_ps(), x))));
}

// tanh: an odd polynomial below 0.625 (Cephes' tanhf), where 1 - 2 / (e^2|x| + 1) would cancel; the sign
// of x restored.
ZELT_VEC __m256 tanh(__m256 x) {
    static constexpr float p[] = {-3.33332819422e-1f, 1.33314422036e-1f, -5.37397155531e-2f,
                                  2.06390887954e-2f, -5.70498872745e-3f};
    const __m256 a = abs(x), z = _mm256_mul_ps(x, x);
    const __m256 small = _mm256_fmadd_ps(_mm256_mul_ps(poly(z, p), z), x, x);
    const __m256 big =
        _mm256_sub_ps(set(1.f), _mm256_div_ps(set(2.f), _mm256_add_ps(exp(_mm256_add_ps(a, a)), set(1.f))));
    const __m256 signed_big = _mm256_or_ps(big, _mm256_and_ps(x, set(-0.f)));
    return _mm256_blendv_ps(signed_big, small, _mm256_cmp_ps(a, set(0.625f), _CMP_LT_OQ));
}

// e^x - 1 for x <= 0, with full relative accuracy near 0: 2t / (1 - t) with t = tanh(x / 2).
ZELT_VEC __m256 expm1_negative(__m256 x) {
    const __m256 t = tanh(_mm256_mul_ps(x, set(0.5f)));
    return _mm256_div_ps(_mm256_add_ps(t, t), _mm256_sub_ps(set(1.f), t));
}

// log x for positive normal x: x = 2^e m with m in [sqrt(1/2), sqrt 2), log m = t - t^2 / 2 + t^3 P(t) with
// t = m - 1 (Cephes' logf).
ZELT_VEC __m256 log_normal(__m256 x) {
    static constexpr float p[] = {3.3333331174e-1f,  -2.4999993993e-1f, 2.0000714765e-1f,
                                  -1.6668057665e-1f, 1.4249322787e-1f,  -1.2420140846e-1f,
                                  1.1676998740e-1f,  -1.1514610310e-1f, 7.0376836292e-2f};
    const __m256i bits = _mm256_castps_si256(x);
    __m256 e = _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(126)));
    __m256 m = _mm256_castsi256_ps(_mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x007fffff)),
                                                   _mm256_set1_epi32(0x3f000000)));
    const __m256 low = _mm256_cmp_ps(m, set(0.707106781186547524f), _CMP_LT_OQ);  // m in [1/2, 1)
    e = _mm256_sub_ps(e, _mm256_and_ps(low, set(1.f)));
    const __m256 t = _mm256_sub_ps(_mm256_add_ps(m, _mm256_and_ps(low, m)), set(1.f));
    const __m256 t2 = _mm256_mul_ps(t, t);
    __m256 y = _mm256_mul_ps(_mm256_mul_ps(poly(t, p), t2), t);
    y = _mm256_fmadd_ps(e, set(-2.12194440e-4f), y);
    y = _mm256_fnmadd_ps(t2, set(0.5f), y);
    return _mm256_fmadd_ps(e, set(0.693359375f), _mm256_add_ps(t, y));
}

// log(1 + e^x), as max(x, 0) + log1p(e^-|x|); log1p(u) = log w - ((w - 1) - u) / w with w = 1 + u, which
// corrects the rounding of w.
ZELT_VEC __m256 softplus(__m256 x) {
    const __m256 u = exp(_mm256_sub_ps(_mm256_setzero_ps(), abs(x)));
    const __m256 w = _mm256_add_ps(set(1.f), u);
    const __m256 fix = _mm256_div_ps(_mm256_sub_ps(_mm256_sub_ps(w, set(1.f)), u), w);
    return _mm256_add_ps(_mm256_max_ps(_mm256_setzero_ps(), x), _mm256_sub_ps(log_normal(w), fix));
}

// erf: x P(x^2) below 0.921875; 1 - e^Q(|x|) up to 3.92, where Q fits log erfc; 1 beyond, where erf rounds
// to 1; the sign of x restored.  Coefficients fitted for this kernel (within 4 ulp).
ZELT_VEC __m256 erf(__m256 x) {
    static constexpr float ps[] = {1.1283791065e+0f,  -3.7612524629e-1f, 1.1282039434e-1f,
                                   -2.6772962883e-2f, 5.0009032711e-3f,  -6.0246436624e-4f};
    static constexpr float pb[] = {-7.2809753418e+0f, -5.1642365456e+0f, -9.4050192833e-1f,
                                   -1.1768147349e-2f, 2.3874433246e-3f,  -4.6950823162e-4f,
                                   8.7066597189e-5f,  -1.4589441889e-5f, 1.6369182276e-6f};
    const __m256 a = abs(x);
    const __m256 small = _mm256_mul_ps(a, poly(_mm256_mul_ps(a, a), ps));
    const __m256 q = poly(_mm256_sub_ps(_mm256_min_ps(set(3.92f), a), set(2.4f)), pb);
    const __m256 big = _mm256_min_ps(set(1.f), _mm256_sub_ps(set(1.f), exp(q)));  // NaN passes
    const __m256 r = _mm256_blendv_ps(big, small, _mm256_cmp_ps(a, set(0.921875f), _CMP_LT_OQ));
    return _mm256_or_ps(r, _mm256_and_ps(x, set(-0.f)));
}

}  // namespace zelt::engine::vec
