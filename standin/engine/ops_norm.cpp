// Normalisations along an axis: Softmax, LogSoftmax, Hardmax and LayerNormalization.  Where the CPU has
// AVX2 and FMA, rows run eight lanes at a time (sixteen along the row on AVX-512) (along the row when the axis is the last one, across
// neighbouring rows otherwise), with a vector exp; elsewhere the scalar loops run.
#include <limits>

#include "ops_util.hpp"
#include "vec_math.hpp"

namespace zelt::engine {

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// Lanes [0, n) of eight set, for the masked loads and stores of a row's tail.
ZELT_AVX2 inline __m256i tail_mask(int64_t n) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(int(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

ZELT_AVX2 inline __m256 load_lanes(const float *p, __m256i mask) { return _mm256_maskload_ps(p, mask); }

ZELT_AVX2 inline float hsum(__m256 v) {
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    s = _mm_add_ps(s, _mm_movehl_ps(s, s));
    return _mm_cvtss_f32(_mm_add_ss(s, _mm_movehdup_ps(s)));
}

ZELT_AVX2 inline float hmax(__m256 v) {
    __m128 s = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    s = _mm_max_ps(s, _mm_movehl_ps(s, s));
    return _mm_cvtss_f32(_mm_max_ss(s, _mm_movehdup_ps(s)));
}

// ---------------------------------------------------------------- softmax

// Softmax or LogSoftmax of one contiguous row of n values: maximum, then exp and sum, then the scale (or
// the log offset).  A NaN anywhere makes the row NaN, as the scalar loop does.
ZELT_AVX2 void softmax_row(const float *x, float *y, int64_t n, bool log) {
    const int64_t body = n / 8 * 8;
    const __m256i tail = tail_mask(n - body);
    __m256 mx = _mm256_set1_ps(-kInf), nan = _mm256_setzero_ps();
    for (int64_t i = 0; i < body; i += 8) {
        const __m256 v = _mm256_loadu_ps(x + i);
        mx = _mm256_max_ps(mx, v);
        nan = _mm256_or_ps(nan, _mm256_cmp_ps(v, v, _CMP_UNORD_Q));
    }
    if (body < n) {
        const __m256 v = _mm256_blendv_ps(_mm256_set1_ps(-kInf), _mm256_maskload_ps(x + body, tail),
                                          _mm256_castsi256_ps(tail));
        mx = _mm256_max_ps(mx, v);
        nan = _mm256_or_ps(nan, _mm256_cmp_ps(v, v, _CMP_UNORD_Q));
    }
    const float m = _mm256_movemask_ps(nan) ? std::numeric_limits<float>::quiet_NaN() : hmax(mx);
    const __m256 vm = _mm256_set1_ps(m);
    __m256 sum = _mm256_setzero_ps();
    for (int64_t i = 0; i < body; i += 8) {
        const __m256 e = vec::exp_nonpositive(_mm256_sub_ps(_mm256_loadu_ps(x + i), vm));
        if (!log) _mm256_storeu_ps(y + i, e);
        sum = _mm256_add_ps(sum, e);
    }
    if (body < n) {
        const __m256 d = _mm256_sub_ps(_mm256_maskload_ps(x + body, tail), vm);
        const __m256 e = _mm256_and_ps(vec::exp_nonpositive(d), _mm256_castsi256_ps(tail));
        if (!log) _mm256_maskstore_ps(y + body, tail, e);
        sum = _mm256_add_ps(sum, e);
    }
    const float s = hsum(sum);
    // Softmax: y = e * (1/s).  LogSoftmax: y = x - (m + log s).
    const __m256 k = _mm256_set1_ps(log ? m + std::log(s) : 1.f / s);
    for (int64_t i = 0; i < body; i += 8)
        _mm256_storeu_ps(
            y + i, log ? _mm256_sub_ps(_mm256_loadu_ps(x + i), k) : _mm256_mul_ps(_mm256_loadu_ps(y + i), k));
    if (body < n)
        _mm256_maskstore_ps(y + body, tail,
                            log ? _mm256_sub_ps(_mm256_maskload_ps(x + body, tail), k)
                                : _mm256_mul_ps(_mm256_maskload_ps(y + body, tail), k));
}

// The same sixteen lanes at a time on AVX-512, the tail through masks.
ZELT_AVX512 void softmax_row16(const float *x, float *y, int64_t n, bool log) {
    const int64_t body = n / 16 * 16;
    const __mmask16 tail = __mmask16((1u << (n - body)) - 1);
    __m512 mx = _mm512_set1_ps(-kInf);
    __mmask16 nan = 0;
    for (int64_t i = 0; i < body; i += 16) {
        const __m512 v = _mm512_loadu_ps(x + i);
        mx = _mm512_max_ps(mx, v);
        nan |= _mm512_cmp_ps_mask(v, v, _CMP_UNORD_Q);
    }
    if (body < n) {
        const __m512 v = _mm512_mask_loadu_ps(_mm512_set1_ps(-kInf), tail, x + body);
        mx = _mm512_max_ps(mx, v);
        nan |= _mm512_cmp_ps_mask(v, v, _CMP_UNORD_Q);
    }
    const float m = nan ? std::numeric_limits<float>::quiet_NaN() : _mm512_reduce_max_ps(mx);
    const __m512 vm = _mm512_set1_ps(m);
    __m512 sum = _mm512_setzero_ps();
    for (int64_t i = 0; i < body; i += 16) {
        const __m512 e = vec::exp_nonpositive(vec::V16(_mm512_sub_ps(_mm512_loadu_ps(x + i), vm)));
        if (!log) _mm512_storeu_ps(y + i, e);
        sum = _mm512_add_ps(sum, e);
    }
    if (body < n) {
        const __m512 e =
            vec::exp_nonpositive(vec::V16(_mm512_sub_ps(_mm512_maskz_loadu_ps(tail, x + body), vm)));
        if (!log) _mm512_mask_storeu_ps(y + body, tail, e);
        sum = _mm512_mask_add_ps(sum, tail, sum, e);
    }
    const float s = _mm512_reduce_add_ps(sum);
    const __m512 k = _mm512_set1_ps(log ? m + std::log(s) : 1.f / s);
    for (int64_t i = 0; i < body; i += 16)
        _mm512_storeu_ps(
            y + i, log ? _mm512_sub_ps(_mm512_loadu_ps(x + i), k) : _mm512_mul_ps(_mm512_loadu_ps(y + i), k));
    if (body < n)
        _mm512_mask_storeu_ps(y + body, tail,
                              log ? _mm512_sub_ps(_mm512_maskz_loadu_ps(tail, x + body), k)
                                  : _mm512_mul_ps(_mm512_maskz_loadu_ps(tail, y + body), k));
}

// Softmax or LogSoftmax along a strided axis: `dim` values `inner` apart, for `lanes` <= 8 neighbouring
// positions at once (the columns of a [dim, inner] slab).
ZELT_AVX2 void softmax_columns(const float *x, float *y, int64_t dim, int64_t inner, int64_t lanes,
                               bool log) {
    const __m256i mask = tail_mask(lanes);
    __m256 mx = _mm256_set1_ps(-kInf), nan = _mm256_setzero_ps();
    for (int64_t k = 0; k < dim; ++k) {
        const __m256 v = load_lanes(x + k * inner, mask);
        mx = _mm256_max_ps(mx, v);
        nan = _mm256_or_ps(nan, _mm256_cmp_ps(v, v, _CMP_UNORD_Q));
    }
    mx = _mm256_or_ps(mx, nan);  // all bits set: a NaN
    __m256 sum = _mm256_setzero_ps();
    for (int64_t k = 0; k < dim; ++k) {
        const __m256 e = vec::exp_nonpositive(_mm256_sub_ps(load_lanes(x + k * inner, mask), mx));
        if (!log) _mm256_maskstore_ps(y + k * inner, mask, e);
        sum = _mm256_add_ps(sum, e);
    }
    float s[8], m[8];
    _mm256_storeu_ps(s, sum);
    _mm256_storeu_ps(m, mx);
    for (int l = 0; l < 8; ++l) s[l] = log ? m[l] + std::log(s[l]) : 1.f / s[l];
    const __m256 k8 = _mm256_loadu_ps(s);
    for (int64_t k = 0; k < dim; ++k) {
        float *yk = y + k * inner;
        _mm256_maskstore_ps(yk, mask,
                            log ? _mm256_sub_ps(load_lanes(x + k * inner, mask), k8)
                                : _mm256_mul_ps(load_lanes(yk, mask), k8));
    }
}

class SoftmaxOp : public SisoOp {
public:
    enum Kind { Soft, LogSoft, Hard } kind;
    int64_t outer, dim, inner;

    void run(RunCtx &ctx) override {
        if (dim == 0) return;
        if (kind != Hard && nchwc_available()) return run_vector(ctx);
        ctx.pool.parallel_for(outer * inner, Cost{double(dim) * 3 * kMathNs}, [&](int64_t q0, int64_t q1) {
            for (int64_t q = q0; q < q1; ++q) {
                int64_t o = q / inner, i = q % inner;
                scalar(x->data + o * dim * inner + i, y->data + o * dim * inner + i);
            }
        });
    }

private:
    // One row of `dim` values `inner` apart.
    void scalar(const float *xp, float *yp) const {
        float mx = -kInf;
        int64_t arg = 0;
        for (int64_t k = 0; k < dim; ++k)
            if (xp[k * inner] > mx) mx = xp[k * inner], arg = k;
        if (kind == Hard) {
            for (int64_t k = 0; k < dim; ++k) yp[k * inner] = k == arg ? 1.f : 0.f;
            return;
        }
        float sum = 0;
        for (int64_t k = 0; k < dim; ++k) {
            float e = std::exp(xp[k * inner] - mx);
            yp[k * inner] = e;
            sum += e;
        }
        if (kind == Soft) {
            float inv = 1.f / sum;
            for (int64_t k = 0; k < dim; ++k) yp[k * inner] *= inv;
        } else {
            float ls = std::log(sum);
            for (int64_t k = 0; k < dim; ++k) yp[k * inner] = xp[k * inner] - mx - ls;
        }
    }

    void run_vector(RunCtx &ctx) {
        const bool log = kind == LogSoft;
        // Work items of some thousands of values: short rows go to a thread in groups.
        if (inner == 1) {
            ctx.pool.parallel_for(outer, Cost{double(dim) * 3 * kFloatNs}, [&](int64_t r0, int64_t r1) {
                for (int64_t r = r0; r < r1; ++r)
                    (avx512_cpu() ? softmax_row16 : softmax_row)(x->data + r * dim, y->data + r * dim, dim, log);
            });
            return;
        }
        const int64_t groups = (inner + 7) / 8;
        ctx.pool.parallel_for(outer * groups, Cost{double(dim) * 8 * 3 * kFloatNs},
                              [&](int64_t q0, int64_t q1) {
                                  for (int64_t q = q0; q < q1; ++q) {
                                      const int64_t o = q / groups, i = q % groups * 8;
                                      const int64_t off = o * dim * inner + i;
                                      softmax_columns(x->data + off, y->data + off, dim, inner,
                                                      std::min<int64_t>(8, inner - i), log);
                                  }
                              });
    }
};

// ---------------------------------------------------------------- layer normalisation

// Pieces of a layer normalisation over x[0, n): the sum, the sum of squared deviations from `mean`, and
// y = (x - mean) * rstd * scale + bias.  Four sums run side by side (the adds do not wait on each other).
ZELT_AVX2 float sum_of(const float *x, int64_t n) {
    const int64_t body = n / 8 * 8;
    __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
    int64_t i = 0;
    for (; i + 32 <= body; i += 32)
        for (int k = 0; k < 4; ++k) acc[k] = _mm256_add_ps(acc[k], _mm256_loadu_ps(x + i + 8 * k));
    for (; i < body; i += 8) acc[0] = _mm256_add_ps(acc[0], _mm256_loadu_ps(x + i));
    if (body < n) acc[1] = _mm256_add_ps(acc[1], _mm256_maskload_ps(x + body, tail_mask(n - body)));
    return hsum(_mm256_add_ps(_mm256_add_ps(acc[0], acc[1]), _mm256_add_ps(acc[2], acc[3])));
}

ZELT_AVX2 float squared_deviations(const float *x, int64_t n, float mean) {
    const int64_t body = n / 8 * 8;
    const __m256 m = _mm256_set1_ps(mean);
    __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
    int64_t i = 0;
    for (; i + 32 <= body; i += 32)
        for (int k = 0; k < 4; ++k) {
            const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(x + i + 8 * k), m);
            acc[k] = _mm256_fmadd_ps(d, d, acc[k]);
        }
    for (; i < body; i += 8) {
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(x + i), m);
        acc[0] = _mm256_fmadd_ps(d, d, acc[0]);
    }
    if (body < n) {
        const __m256i tail = tail_mask(n - body);
        const __m256 d =
            _mm256_and_ps(_mm256_sub_ps(_mm256_maskload_ps(x + body, tail), m), _mm256_castsi256_ps(tail));
        acc[1] = _mm256_fmadd_ps(d, d, acc[1]);
    }
    return hsum(_mm256_add_ps(_mm256_add_ps(acc[0], acc[1]), _mm256_add_ps(acc[2], acc[3])));
}

ZELT_AVX2 void normalise(const float *x, float *y, int64_t n, float mean, float rstd, const float *scale,
                         const float *bias) {
    const int64_t body = n / 8 * 8;
    const __m256 m = _mm256_set1_ps(mean), r = _mm256_set1_ps(rstd);
    for (int64_t i = 0; i < body; i += 8) {
        const __m256 d = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(x + i), m), r);
        _mm256_storeu_ps(y + i, _mm256_fmadd_ps(d, _mm256_loadu_ps(scale + i), _mm256_loadu_ps(bias + i)));
    }
    if (body < n) {
        const __m256i tail = tail_mask(n - body);
        const __m256 d = _mm256_mul_ps(_mm256_sub_ps(_mm256_maskload_ps(x + body, tail), m), r);
        _mm256_maskstore_ps(y + body, tail,
                            _mm256_fmadd_ps(d, _mm256_maskload_ps(scale + body, tail),
                                            _mm256_maskload_ps(bias + body, tail)));
    }
}

class LayerNormOp : public SisoOp {
public:
    Tensor *mean = nullptr, *inv = nullptr;  // the optional outputs: per row, the mean and 1/stddev
    int64_t rows, n;
    float eps;
    std::vector<float> scale, bias;  // of the normalised shape, broadcast at load

    // Rows in pieces of this many floats, each pass over the pool, where fewer rows than threads would
    // leave threads idle (a group normalisation of one group normalises the whole image as one row).
    static constexpr int64_t kPiece = 8192;
    bool split_rows(const ThreadPool &pool) const { return rows < pool.size() && n >= 2 * kPiece; }

    void finish_row(int64_t r, float m, float rstd) {
        if (mean) mean->data[r] = m;
        if (inv) inv->data[r] = rstd;
    }

    void run(RunCtx &ctx) override {
        if (n == 0) return;
        if (!nchwc_available()) return run_scalar(ctx);
        if (split_rows(ctx.pool)) return run_split(ctx);
        // Mean and variance in two passes over the row (it stays in cache), as the unfused graph computes
        // them.
        ctx.pool.parallel_for(rows, Cost{double(n) * 4 * kFloatNs}, [&](int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r) {
                const float *xr = x->data + r * n;
                const float m = sum_of(xr, n) / float(n);
                const float rstd = 1.f / std::sqrt(squared_deviations(xr, n, m) / float(n) + eps);
                normalise(xr, y->data + r * n, n, m, rstd, scale.data(), bias.data());
                finish_row(r, m, rstd);
            }
        });
    }

    void run_split(RunCtx &ctx) {
        const int64_t pieces = (n + kPiece - 1) / kPiece, items = rows * pieces;
        std::vector<double> part(static_cast<size_t>(items));
        std::vector<float> m(static_cast<size_t>(rows)), rstd(static_cast<size_t>(rows));
        auto each = [&](auto &&fn) {
            ctx.pool.parallel_for(items, Cost{double(kPiece) * 2 * kFloatNs}, [&](int64_t q0, int64_t q1) {
                for (int64_t q = q0; q < q1; ++q) {
                    const int64_t r = q / pieces, b = q % pieces * kPiece;
                    fn(q, r, b, std::min(n, b + kPiece) - b);
                }
            });
        };
        auto per_row = [&](std::vector<float> &out, auto &&fn) {
            for (int64_t r = 0; r < rows; ++r) {
                double sum = 0;
                for (int64_t k = 0; k < pieces; ++k) sum += part[size_t(r * pieces + k)];
                out[size_t(r)] = fn(sum);
            }
        };
        each([&](int64_t q, int64_t r, int64_t b, int64_t len) {
            part[size_t(q)] = sum_of(x->data + r * n + b, len);
        });
        per_row(m, [&](double sum) { return float(sum / double(n)); });
        each([&](int64_t q, int64_t r, int64_t b, int64_t len) {
            part[size_t(q)] = squared_deviations(x->data + r * n + b, len, m[size_t(r)]);
        });
        per_row(rstd, [&](double sq) { return 1.f / std::sqrt(float(sq / double(n)) + eps); });
        each([&](int64_t, int64_t r, int64_t b, int64_t len) {
            normalise(x->data + r * n + b, y->data + r * n + b, len, m[size_t(r)], rstd[size_t(r)],
                      scale.data() + b, bias.data() + b);
        });
        for (int64_t r = 0; r < rows; ++r) finish_row(r, m[size_t(r)], rstd[size_t(r)]);
    }

    void run_scalar(RunCtx &ctx) {
        ctx.pool.parallel_for(rows, Cost{double(n) * 4 * kFloatNs}, [&](int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r) {
                const float *xr = x->data + r * n;
                float *yr = y->data + r * n;
                float sum = 0, sq = 0;
                for (int64_t i = 0; i < n; ++i) sum += xr[i];
                const float m = sum / float(n);
                for (int64_t i = 0; i < n; ++i) sq += (xr[i] - m) * (xr[i] - m);
                const float rstd = 1.f / std::sqrt(sq / float(n) + eps);
                for (int64_t i = 0; i < n; ++i)
                    yr[i] = (xr[i] - m) * rstd * scale[size_t(i)] + bias[size_t(i)];
                finish_row(r, m, rstd);
            }
        });
    }
};

// `t` (absent: `dflt`) broadcast to the normalised shape `norm`: its dimensions, aligned to the right, are
// 1 or those of `norm`.
std::vector<float> broadcast_param(const Node &node, const Tensor *t, const Shape &norm, int64_t n,
                                   float dflt, const char *what) {
    if (!t) return std::vector<float>(size_t(n), dflt);
    need_float(node, t);
    const Shape &s = t->shape;
    if (s.size() > norm.size())
        fail(node, std::string(what) + " has a higher rank than the normalised shape");
    Shape full(norm.size() - s.size(), 1);
    full.insert(full.end(), s.begin(), s.end());
    for (size_t i = 0; i < full.size(); ++i)
        if (full[i] != 1 && full[i] != norm[i])
            fail(node, std::string(what) + " " + shape_str(s) + " does not broadcast to " + shape_str(norm));
    const std::vector<float> v = const_floats(node, t, what, n);
    const auto st = strides_of(full);
    std::vector<float> out(static_cast<size_t>(n));
    for (int64_t j = 0; j < n; ++j) {
        int64_t rem = j, k = 0;
        for (size_t d = norm.size(); d-- > 0;) {
            if (full[d] != 1) k += rem % norm[d] * st[d];
            rem /= norm[d];
        }
        out[size_t(j)] = v[size_t(k)];
    }
    return out;
}

}  // namespace

std::unique_ptr<Op> make_softmax(const Node &n) {
    auto op = std::make_unique<SoftmaxOp>();
    op->kind = n.op_type == "Softmax"      ? SoftmaxOp::Soft
               : n.op_type == "LogSoftmax" ? SoftmaxOp::LogSoft
                                           : SoftmaxOp::Hard;
    op->take_input(n);
    const Shape &xs = op->x->shape;
    if (xs.empty()) fail(n, "scalar input");
    int64_t axis = norm_axis(n, n.get_int("axis", -1), xs.size());
    op->outer = 1;
    op->inner = 1;
    for (int64_t i = 0; i < axis; ++i) op->outer *= xs[size_t(i)];
    for (size_t i = size_t(axis) + 1; i < xs.size(); ++i) op->inner *= xs[i];
    op->dim = xs[size_t(axis)];
    op->take_output(n, xs);
    return op;
}

// LayerNormalization over the axes from `axis` on.  The scale may be absent (1) where a rewrite pass
// found a normalisation without one.
std::unique_ptr<Op> make_layernorm(const Node &n, Planner &p) {
    auto op = std::make_unique<LayerNormOp>();
    op->x = n.input(0);
    if (!op->x || n.out.empty() || n.out.size() > 3) fail(n, "needs X and at most three outputs");
    need_float(n, op->x);
    const Shape &xs = op->x->shape;
    if (xs.empty()) fail(n, "scalar input");
    const int64_t axis = norm_axis(n, n.get_int("axis", -1), xs.size());
    if (n.get_int("stash_type", 1) != 1) fail(n, "only stash_type 1 (float) is supported");
    const Shape norm(xs.begin() + axis, xs.end());
    op->n = numel_of(norm);
    op->rows = op->n ? op->x->numel / op->n : 0;
    op->eps = n.get_float("epsilon", 1e-5f);
    p.charge(uint64_t(op->n) * 2, 4);
    op->scale = broadcast_param(n, n.input(1), norm, op->n, 1.f, "scale");
    op->bias = broadcast_param(n, n.input(2), norm, op->n, 0.f, "bias");
    op->y = n.out[0];
    set_shape(op->y, xs);
    op->ins = {op->x};
    op->outs = {op->y};
    // Mean and InvStdDev: the shape of X with the normalised axes kept as 1.
    Shape stat(xs.begin(), xs.begin() + axis);
    stat.resize(xs.size(), 1);
    for (size_t i = 1; i < n.out.size(); ++i) {
        if (!n.out[i]) continue;
        set_shape(n.out[i], stat);
        (i == 1 ? op->mean : op->inv) = n.out[i];
        op->outs.push_back(n.out[i]);
    }
    return op;
}

}  // namespace zelt::engine
