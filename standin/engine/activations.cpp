// Elementwise activations: which nodes are one, and their kernels, vectorised where the CPU has AVX2 and
// FMA (vec_math.hpp) and scalar elsewhere.  The same kernels serve the activation operators and the
// epilogues that convolutions, Gemm and MatMul apply to their outputs.
#include <limits>

#include "ops_util.hpp"
#include "vec_math.hpp"

namespace zelt::engine {

namespace {

// The value of an optional scalar float constant input of `n`: false when it is there but not one.
bool scalar_input(const Node &n, size_t i, float &v) {
    const Tensor *t = n.input(i);
    if (!t) return true;
    if (!t->is_const() || t->numel != 1 || t->dtype != DType::F32) return false;
    v = t->kind == Tensor::Fill ? t->fill_f : t->fdata[0];
    return true;
}

}  // namespace

bool fusable_activation(const Node &n, Activation &act) {
    static const std::map<std::string, Activation::Kind> kinds{
        {"Relu", Activation::Relu},
        {"Clip", Activation::Clip},
        {"LeakyRelu", Activation::Leaky},
        {"Sigmoid", Activation::Sigmoid},
        {"Silu", Activation::Silu},
        {"HardSigmoid", Activation::HardSigmoid},
        {"HardSwish", Activation::HardSwish},
        {"Tanh", Activation::Tanh},
        {"Gelu", Activation::Gelu},
        {"Elu", Activation::Elu},
        {"Mish", Activation::Mish},
        {"Softplus", Activation::Softplus},
        {"Exp", Activation::Exp},
        {"Erf", Activation::Erf},
    };
    auto it = kinds.find(n.op_type);
    if (it == kinds.end()) return false;
    Activation a;
    a.kind = it->second;
    switch (a.kind) {
        case Activation::Clip:
            a.lo = -std::numeric_limits<float>::infinity();
            a.hi = std::numeric_limits<float>::infinity();
            if (!scalar_input(n, 1, a.lo) || !scalar_input(n, 2, a.hi)) return false;
            break;
        case Activation::Leaky:
            a.alpha = n.get_float("alpha", 0.01f);
            break;
        case Activation::HardSigmoid:
            a.alpha = n.get_float("alpha", 0.2f);
            a.beta = n.get_float("beta", 0.5f);
            break;
        case Activation::Elu:
            a.alpha = n.get_float("alpha", 1.f);
            break;
        case Activation::Gelu: {
            const std::string approx = n.get_string("approximate", "none");
            if (approx == "tanh")
                a.kind = Activation::GeluTanh;
            else if (approx != "none")
                return false;
            break;
        }
        default:
            break;
    }
    act = a;
    return true;
}

namespace {

// max(0, min(1, v)), keeping NaN.
inline float unit_clamp(float v) { return v < 0 ? 0.f : v > 1 ? 1.f : v; }

template <typename F>
void map_scalar(const float *x, float *y, int64_t n, F f) {
    for (int64_t i = 0; i < n; ++i) y[i] = f(x[i]);
}

void apply_scalar(const Activation &act, const float *x, float *y, int64_t n) {
    const float a = act.alpha, b = act.beta;
    switch (act.kind) {
        case Activation::Sigmoid:
            return map_scalar(x, y, n, [](float v) { return 1.f / (1.f + std::exp(-v)); });
        case Activation::Silu:
            return map_scalar(x, y, n, [](float v) { return v / (1.f + std::exp(-v)); });
        case Activation::HardSigmoid:
            return map_scalar(x, y, n, [a, b](float v) { return unit_clamp(a * v + b); });
        case Activation::HardSwish:
            return map_scalar(x, y, n, [](float v) { return v * unit_clamp(v / 6.f + 0.5f); });
        case Activation::Tanh:
            return map_scalar(x, y, n, [](float v) { return std::tanh(v); });
        case Activation::Gelu:
            return map_scalar(x, y, n,
                              [](float v) { return 0.5f * v * (1.f + std::erf(v * float(M_SQRT1_2))); });
        case Activation::GeluTanh:
            return map_scalar(x, y, n, [](float v) {
                const float k = float(std::sqrt(2.0 / M_PI));
                return 0.5f * v * (1.f + std::tanh(k * (v + 0.044715f * v * v * v)));
            });
        case Activation::Elu:
            return map_scalar(x, y, n, [a](float v) { return v < 0 ? a * std::expm1(v) : v; });
        case Activation::Mish:
            return map_scalar(x, y, n,
                              [](float v) { return v * std::tanh(v > 20.f ? v : std::log1p(std::exp(v))); });
        case Activation::Softplus:
            return map_scalar(x, y, n, [](float v) { return v > 20.f ? v : std::log1p(std::exp(v)); });
        case Activation::Exp:
            return map_scalar(x, y, n, [](float v) { return std::exp(v); });
        case Activation::Erf:
            return map_scalar(x, y, n, [](float v) { return std::erf(v); });
        default:  // the clamps, which Activation::apply runs itself
            return;
    }
}

// y = f(x) over n floats, eight at a time; the last few through masked loads and stores.
template <typename F>
ZELT_AVX2 void map_vec(const float *x, float *y, int64_t n, const F &f) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(y + i, f(_mm256_loadu_ps(x + i)));
    if (i < n) {
        const __m256i mask =
            _mm256_cmpgt_epi32(_mm256_set1_epi32(int(n - i)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        _mm256_maskstore_ps(y + i, mask, f(_mm256_maskload_ps(x + i, mask)));
    }
}

// The vector kernels, as function objects: a lambda would not carry the AVX2 target.
struct Sigmoid {
    ZELT_VEC __m256 operator()(__m256 v) const { return vec::sigmoid(v); }
};
struct Silu {
    ZELT_VEC __m256 operator()(__m256 v) const { return vec::silu(v); }
};
struct HardSigmoid {
    __m256 a, b;
    ZELT_VEC __m256 operator()(__m256 v) const {
        return vec::clamp(_mm256_fmadd_ps(a, v, b), _mm256_setzero_ps(), vec::set(1.f));
    }
};
struct HardSwish {
    HardSigmoid gate;
    ZELT_VEC __m256 operator()(__m256 v) const { return _mm256_mul_ps(v, gate(v)); }
};
struct Tanh {
    ZELT_VEC __m256 operator()(__m256 v) const { return vec::tanh(v); }
};
struct Gelu {
    ZELT_VEC __m256 operator()(__m256 v) const {
        const __m256 e = vec::erf(_mm256_mul_ps(v, vec::set(float(M_SQRT1_2))));
        return _mm256_mul_ps(_mm256_mul_ps(vec::set(0.5f), v), _mm256_add_ps(vec::set(1.f), e));
    }
};
// 0.5 v (1 + tanh u) = v sigmoid(2u), with u = sqrt(2/pi) (v + 0.044715 v^3).
struct GeluTanh {
    ZELT_VEC __m256 operator()(__m256 v) const {
        const float k = float(std::sqrt(2.0 / M_PI));
        const __m256 v2 = _mm256_mul_ps(v, v);
        const __m256 u = _mm256_mul_ps(_mm256_mul_ps(vec::set(k), v),
                                       _mm256_fmadd_ps(vec::set(0.044715f), v2, vec::set(1.f)));
        return _mm256_div_ps(v, _mm256_add_ps(vec::set(1.f), vec::exp(_mm256_mul_ps(u, vec::set(-2.f)))));
    }
};
struct Elu {
    __m256 a;
    ZELT_VEC __m256 operator()(__m256 v) const {
        const __m256 neg = _mm256_mul_ps(a, vec::expm1_negative(_mm256_min_ps(v, _mm256_setzero_ps())));
        return _mm256_blendv_ps(v, neg, _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_LT_OQ));
    }
};
// v tanh(log(1 + e^v)) = v n / (n + 2) with n = e^v (e^v + 2); above 20 the factor rounds to 1.
struct Mish {
    ZELT_VEC __m256 operator()(__m256 v) const {
        const __m256 e = vec::exp(_mm256_min_ps(vec::set(20.f), v));
        const __m256 n = _mm256_mul_ps(e, _mm256_add_ps(e, vec::set(2.f)));
        return _mm256_mul_ps(v, _mm256_div_ps(n, _mm256_add_ps(n, vec::set(2.f))));
    }
};
struct Softplus {
    ZELT_VEC __m256 operator()(__m256 v) const { return vec::softplus(v); }
};
struct Exp {
    ZELT_VEC __m256 operator()(__m256 v) const { return vec::exp(v); }
};
struct Erf {
    ZELT_VEC __m256 operator()(__m256 v) const { return vec::erf(v); }
};

ZELT_AVX2 void apply_avx2(const Activation &act, const float *x, float *y, int64_t n) {
    switch (act.kind) {
        case Activation::Sigmoid:
            return map_vec(x, y, n, Sigmoid{});
        case Activation::Silu:
            return map_vec(x, y, n, Silu{});
        case Activation::HardSigmoid:
            return map_vec(x, y, n, HardSigmoid{vec::set(act.alpha), vec::set(act.beta)});
        case Activation::HardSwish:
            return map_vec(x, y, n, HardSwish{{vec::set(1.f / 6.f), vec::set(0.5f)}});
        case Activation::Tanh:
            return map_vec(x, y, n, Tanh{});
        case Activation::Gelu:
            return map_vec(x, y, n, Gelu{});
        case Activation::GeluTanh:
            return map_vec(x, y, n, GeluTanh{});
        case Activation::Elu:
            return map_vec(x, y, n, Elu{vec::set(act.alpha)});
        case Activation::Mish:
            return map_vec(x, y, n, Mish{});
        case Activation::Softplus:
            return map_vec(x, y, n, Softplus{});
        case Activation::Exp:
            return map_vec(x, y, n, Exp{});
        case Activation::Erf:
            return map_vec(x, y, n, Erf{});
        default:
            return;
    }
}

}  // namespace

void Activation::apply_math(const float *x, float *y, int64_t n) const {
    if (nchwc_available())
        apply_avx2(*this, x, y, n);
    else
        apply_scalar(*this, x, y, n);
}

void Activation::apply(ThreadPool &pool, const float *x, float *y, int64_t n) const {
    pool.parallel_for(n, Cost{2 * kFloatNs + kMathNs},
                      [&](int64_t i0, int64_t i1) { apply(x + i0, y + i0, i1 - i0); });
}

}  // namespace zelt::engine
