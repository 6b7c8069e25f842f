// Elementary functions on a vector of floats, eight (AVX2) or sixteen (AVX-512) at once, for the
// elementwise kernels and the activation epilogues.  Each keeps within a few ulp of the C library's float
// function and gives what it gives for NaN, infinities, overflow and underflow.
//
// They are written with the compiler's vector extensions, not intrinsics, and carry no target of their own:
// inlined into a kernel of either target they compile to its instructions (fused multiply-adds included).
// Callers carry the target themselves and run only where it is available.
#pragma once

#include <immintrin.h>

#include <cstdint>

#define ZELT_AVX2 __attribute__((target("avx2,fma")))
#define ZELT_AVX512 __attribute__((target("avx512f,avx2,fma")))

// The functions below pass vectors by value but are always inlined: no call crosses the ABI.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace zelt::engine::vec {

typedef float V8 __attribute__((vector_size(32)));
typedef float V16 __attribute__((vector_size(64)));
template <class V>
struct IntOf;
template <>
struct IntOf<V8> {
    typedef int32_t type __attribute__((vector_size(32)));
};
template <>
struct IntOf<V16> {
    typedef int32_t type __attribute__((vector_size(64)));
};
template <class V>
using Int = typename IntOf<V>::type;

#define ZELT_MATH __attribute__((always_inline)) inline

template <class V>
ZELT_MATH V splat(float v) {
    return V{} + v;
}

// Polynomial c[0] + c[1] x + ... by Horner's rule.
template <class V, size_t N>
ZELT_MATH V poly(V x, const float (&c)[N]) {
    V r = splat<V>(c[N - 1]);
    for (size_t i = N - 1; i-- > 0;) r = r * x + c[i];
    return r;
}

template <class V>
ZELT_MATH V abs(V x) {
    return (V)((Int<V>)x & 0x7fffffff);
}

// x with the sign of s.
template <class V>
ZELT_MATH V copysign(V x, V s) {
    return (V)((Int<V>)abs(x) | ((Int<V>)s & INT32_MIN));
}

// min(x, hi) and max(x, lo) that keep a NaN x.
template <class V>
ZELT_MATH V min(V x, V hi) {
    return hi < x ? hi : x;
}
template <class V>
ZELT_MATH V max(V x, V lo) {
    return lo > x ? lo : x;
}
template <class V>
ZELT_MATH V clamp(V x, V lo, V hi) {
    return max(min(x, hi), lo);
}

// e^r for x = n ln2 + r with |r| <= ln2 / 2, e^r = 1 + r + r^2 P(r) (Cephes' expf); `shifted` receives
// x / ln2 + 1.5 * 2^23, whose low bits hold n as an integer (|n| < 2^22): rounded by the addition, with no
// conversion, which a NaN would make undefined.
template <class V>
ZELT_MATH V exp_reduced(V x, V &shifted) {
    static constexpr float p[] = {5.0000001201e-1f, 1.6666665459e-1f, 4.1665795894e-2f,
                                  8.3334519073e-3f, 1.3981999507e-3f, 1.9875691500e-4f};
    shifted = x * 1.44269504088896341f + 12582912.f;
    const V n = shifted - 12582912.f;
    V r = x - n * 0.693359375f;
    r = r - n * -2.12194440e-4f;
    return poly(r, p) * (r * r) + r + 1.f;
}

// e^x, times 2^n as two factors of 2^(n/2): results below the smallest normal float and overflow to
// infinity round as std::exp's do.  Inputs are clamped to where the result is 0 or infinite anyway; a NaN
// passes the clamp.
template <class V>
ZELT_MATH V exp(V x) {
    V shifted;
    const V e = exp_reduced(clamp(x, splat<V>(-104.f), splat<V>(89.f)), shifted);
    const Int<V> k = (Int<V>)shifted - 0x4b400000, k1 = k >> 1, k2 = k - k1;
    const V s1 = (V)((k1 + 127) << 23), s2 = (V)((k2 + 127) << 23);
    return e * s1 * s2;
}

// e^x as exp computes it wherever the result is a normal float up to 2^127; for the activations, whose
// results round to their limits before e^x leaves that range.  x is clamped to [-87.33, 89], so that 2^n
// is one factor with n in [-126, 128]: about 2^-126 below the normal range, infinity from 88.73 on.
template <class V>
ZELT_MATH V exp_lean(V x) {
    V shifted;
    const V e = exp_reduced(clamp(x, splat<V>(-87.33f), splat<V>(89.f)), shifted);
    // Shifted left, the low bits of `shifted` leave n << 23 alone.
    return e * (V)(((Int<V>)shifted << 23) + 0x3f800000);
}

// e^x for the x <= 0 of a softmax (values less their row's maximum): exp_lean, and 0 below its clamp,
// where e^x is no normal float (a masked -inf among them).
template <class V>
ZELT_MATH V exp_nonpositive(V x) {
    return x < -87.33f ? V{} : exp_lean(x);
}

// 1 / (1 + e^-x): 0 where e^-x overflows.
template <class V>
ZELT_MATH V sigmoid(V x) {
    return 1.f / (1.f + exp_lean(-x));
}

// x / (1 + e^-x), as the scalar kernel computes it (NaN for -inf, as x * sigmoid(x) is).
template <class V>
ZELT_MATH V silu(V x) {
    return x / (1.f + exp_lean(-x));
}

// tanh: an odd polynomial below 0.625 (Cephes' tanhf), where 1 - 2 / (e^2|x| + 1) would cancel; the sign
// of x restored.
template <class V>
ZELT_MATH V tanh(V x) {
    static constexpr float p[] = {-3.33332819422e-1f, 1.33314422036e-1f, -5.37397155531e-2f,
                                  2.06390887954e-2f, -5.70498872745e-3f};
    const V a = abs(x), z = x * x;
    const V small = poly(z, p) * z * x + x;
    const V big = 1.f - 2.f / (exp_lean(a + a) + 1.f);
    return a < 0.625f ? small : copysign(big, x);
}

// e^x - 1 for x <= 0, with full relative accuracy near 0: 2t / (1 - t) with t = tanh(x / 2).
template <class V>
ZELT_MATH V expm1_negative(V x) {
    const V t = tanh(x * 0.5f);
    return (t + t) / (1.f - t);
}

// log x for positive normal x: x = 2^e m with m in [sqrt(1/2), sqrt 2), log m = t - t^2 / 2 + t^3 P(t) with
// t = m - 1 (Cephes' logf).
template <class V>
ZELT_MATH V log_normal(V x) {
    static constexpr float p[] = {3.3333331174e-1f,  -2.4999993993e-1f, 2.0000714765e-1f,
                                  -1.6668057665e-1f, 1.4249322787e-1f,  -1.2420140846e-1f,
                                  1.1676998740e-1f,  -1.1514610310e-1f, 7.0376836292e-2f};
    const Int<V> bits = (Int<V>)x;
    V e = __builtin_convertvector((bits >> 23) - 126, V);
    V m = (V)((bits & 0x007fffff) | 0x3f000000);
    const auto low = m < 0.707106781186547524f;  // m in [1/2, 1)
    e = low ? e - 1.f : e;
    const V t = (low ? m + m : m) - 1.f;
    const V t2 = t * t;
    V y = poly(t, p) * t2 * t;
    y = e * -2.12194440e-4f + y;
    y = y - t2 * 0.5f;
    return e * 0.693359375f + (t + y);
}

// log(1 + e^x), as max(x, 0) + log1p(e^-|x|); log1p(u) = log w - ((w - 1) - u) / w with w = 1 + u, which
// corrects the rounding of w.
template <class V>
ZELT_MATH V softplus(V x) {
    const V u = exp(-abs(x));
    const V w = 1.f + u;
    const V fix = ((w - 1.f) - u) / w;
    return max(x, V{}) + (log_normal(w) - fix);
}

// erf: x P(x^2) below 0.921875; 1 - e^Q(|x|) up to 3.92, where Q fits log erfc; 1 beyond, where erf rounds
// to 1; the sign of x restored.  Coefficients fitted for this kernel (within 4 ulp).
template <class V>
ZELT_MATH V erf(V x) {
    static constexpr float ps[] = {1.1283791065e+0f,  -3.7612524629e-1f, 1.1282039434e-1f,
                                   -2.6772962883e-2f, 5.0009032711e-3f,  -6.0246436624e-4f};
    static constexpr float pb[] = {-7.2809753418e+0f, -5.1642365456e+0f, -9.4050192833e-1f,
                                   -1.1768147349e-2f, 2.3874433246e-3f,  -4.6950823162e-4f,
                                   8.7066597189e-5f,  -1.4589441889e-5f, 1.6369182276e-6f};
    const V a = abs(x);
    const V small = a * poly(a * a, ps);
    const V q = poly(min(a, splat<V>(3.92f)) - 2.4f, pb);
    const V big = 1.f - exp_lean(q);
    return copysign(a < 0.921875f ? small : big, x);
}

// 2^y for y in (-126, 0] (or NaN), which the caller guarantees: no clamp.  y = n + f with |f| <= 1/2 and
// 2^f a polynomial fitted for a relative error below 1e-7.
template <class V>
ZELT_MATH V exp2_bounded(V y) {
    static constexpr float p[] = {1.f,           6.9314718e-1f, 2.4022648e-1f, 5.5503290e-2f,
                                  9.6183736e-3f, 1.3399848e-3f, 1.5370705e-4f};
    const V shifted = y + 12582912.f;  // rounds y to an integer n in its low bits, as exp_reduced does
    const V f = y - (shifted - 12582912.f);
    return poly(f, p) * (V)(((Int<V>)shifted << 23) + 0x3f800000);
}

// x Phi(x) = x (1 + erf(x / sqrt 2)) / 2 with Phi(-|x|) = 2^q(|x|), q a polynomial fitted to log2 Phi on
// [0, 5.5] (within [-26, -1] there): no cancellation for negative x, where 1 + erf would cancel.  Beyond
// 5.5, Phi(-|x|) is below the rounding of the result (0 for negative x, so that -inf gives NaN as
// x Phi(x) does).
template <class V>
ZELT_MATH V gelu(V x) {
    static constexpr float pq[] = {-1.f,           -1.15110576e+0f, -4.59204912e-1f,
                                   -5.25050201e-2f, 7.07545877e-3f,  -1.45858139e-4f,
                                   -1.82553544e-4f, 3.86222273e-5f,  -2.77219419e-6f};
    const V a = abs(x);
    const V h = exp2_bounded(poly(min(a, splat<V>(5.5f)), pq));
    return x * (x < 0.f ? (a < 5.5f ? h : V{}) : 1.f - h);
}

}  // namespace zelt::engine::vec
