// Elementwise activations: which nodes are one, and their kernels, vectorised where the CPU has AVX-512 or
// AVX2 and FMA (vec_math.hpp) and scalar elsewhere.  The same kernels serve the activation operators and the
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

// y = f(x) over n floats, a vector at a time; the last few through masked loads and stores.
template <typename F>
ZELT_AVX2 void map8(const float *x, float *y, int64_t n, const F &f) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(y + i, f(vec::V8(_mm256_loadu_ps(x + i))));
    if (i < n) {
        const __m256i mask =
            _mm256_cmpgt_epi32(_mm256_set1_epi32(int(n - i)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        _mm256_maskstore_ps(y + i, mask, f(vec::V8(_mm256_maskload_ps(x + i, mask))));
    }
}

template <typename F>
ZELT_AVX512 void map16(const float *x, float *y, int64_t n, const F &f) {
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(y + i, f(vec::V16(_mm512_loadu_ps(x + i))));
    if (i < n) {
        const __mmask16 mask = __mmask16((1u << (n - i)) - 1);
        _mm512_mask_storeu_ps(y + i, mask, f(vec::V16(_mm512_maskz_loadu_ps(mask, x + i))));
    }
}

// The vector kernels, as function objects of either width (vec_math.hpp).
struct Sigmoid {
    template <class V>
    ZELT_MATH V operator()(V v) const {
        return vec::sigmoid(v);
    }
};
struct Silu {
    template <class V>
    ZELT_MATH V operator()(V v) const {
        return vec::silu(v);
    }
};
struct HardSigmoid {
    float a, b;
    template <class V>
    ZELT_MATH V operator()(V v) const {
        return vec::clamp(v * a + b, V{}, vec::splat<V>(1.f));
    }
};
struct HardSwish {
    template <class V>
    ZELT_MATH V operator()(V v) const {
        return v * HardSigmoid{1.f / 6.f, 0.5f}(v);
    }
};
struct Tanh {
    template <class V>
    ZELT_MATH V operator()(V v) const {
        return vec::tanh(v);
    }
};
struct Gelu {
    template <class V>
    ZELT_MATH V operator()(V v) const {
        return vec::gelu(v);
    }
};
// 0.5 v (1 + tanh u) = v sigmoid(2u), with u = sqrt(2/pi) (v + 0.044715 v^3).
struct GeluTanh {
    template <class V>
    ZELT_MATH V operator()(V v) const {
        const V u = float(std::sqrt(2.0 / M_PI)) * v * (0.044715f * (v * v) + 1.f);
        return v / (1.f + vec::exp_lean(u * -2.f));
    }
};
struct Elu {
    float a;
    template <class V>
    ZELT_MATH V operator()(V v) const {
        const V neg = a * vec::expm1_negative(vec::min(v, V{}));
        return v < 0.f ? neg : v;
    }
};
// v tanh(log(1 + e^v)) = v n / (n + 2) with n = e^v (e^v + 2); above 20 the factor rounds to 1.
struct Mish {
    template <class V>
    ZELT_MATH V operator()(V v) const {
        const V e = vec::exp(vec::min(v, vec::splat<V>(20.f)));
        const V n = e * (e + 2.f);
        return v * (n / (n + 2.f));
    }
};
struct Softplus {
    template <class V>
    ZELT_MATH V operator()(V v) const {
        return vec::softplus(v);
    }
};
struct Exp {
    template <class V>
    ZELT_MATH V operator()(V v) const {
        return vec::exp(v);
    }
};
struct Erf {
    template <class V>
    ZELT_MATH V operator()(V v) const {
        return vec::erf(v);
    }
};

// Calls map(kernel) with the vector kernel of act's kind (nothing for the clamps).
template <class Map>
ZELT_MATH void by_kind(const Activation &act, const Map &map) {
    switch (act.kind) {
        case Activation::Sigmoid:
            return map(Sigmoid{});
        case Activation::Silu:
            return map(Silu{});
        case Activation::HardSigmoid:
            return map(HardSigmoid{act.alpha, act.beta});
        case Activation::HardSwish:
            return map(HardSwish{});
        case Activation::Tanh:
            return map(Tanh{});
        case Activation::Gelu:
            return map(Gelu{});
        case Activation::GeluTanh:
            return map(GeluTanh{});
        case Activation::Elu:
            return map(Elu{act.alpha});
        case Activation::Mish:
            return map(Mish{});
        case Activation::Softplus:
            return map(Softplus{});
        case Activation::Exp:
            return map(Exp{});
        case Activation::Erf:
            return map(Erf{});
        default:
            return;
    }
}

}  // namespace

void Activation::apply_math(const float *x, float *y, int64_t n) const {
    if (avx512_cpu())
        by_kind(*this, [&](const auto &f) { map16(x, y, n, f); });
    else if (nchwc_available())
        by_kind(*this, [&](const auto &f) { map8(x, y, n, f); });
    else
        apply_scalar(*this, x, y, n);
}

void Activation::apply(ThreadPool &pool, const float *x, float *y, int64_t n) const {
    pool.parallel_for(n, Cost{2 * kFloatNs + kMathNs},
                      [&](int64_t i0, int64_t i1) { apply(x + i0, y + i0, i1 - i0); });
}

}  // namespace zelt::engine
