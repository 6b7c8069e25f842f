// Helpers shared by the operator implementations.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "graph.hpp"

namespace zelt::engine {

// Rough single-thread costs behind the estimates given to ThreadPool::parallel_for: a multiply-add of GEMM or
// of the vector convolution kernels, a float read or written by a streaming loop, an 8-lane tap of a window
// loop (depthwise convolution, pooling), a float computed by a transcendental function.
constexpr double kMacNs = 0.03, kFloatNs = 0.15, kTapNs = 0.4, kMathNs = 2;

// Floats that start on a cache line: packed weights, read by full-width vector loads that would otherwise
// split lines.
template <class T>
struct CacheLineAllocator {
    using value_type = T;
    CacheLineAllocator() = default;
    template <class U>
    CacheLineAllocator(const CacheLineAllocator<U> &) {}
    T *allocate(size_t n) { return static_cast<T *>(::operator new(n * sizeof(T), std::align_val_t(64))); }
    void deallocate(T *p, size_t) { ::operator delete(p, std::align_val_t(64)); }
    bool operator==(const CacheLineAllocator &) const { return true; }
    bool operator!=(const CacheLineAllocator &) const { return false; }
};
using PackedFloats = std::vector<float, CacheLineAllocator<float>>;

// Row-major single-precision GEMM through OpenBLAS: C = alpha*op(A)*op(B) + beta*C.
void sgemm(bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha, const float *a,
           int64_t lda, const float *b, int64_t ldb, float beta, float *c, int64_t ldc);

// The same product split by columns (or by rows when there are few columns) over the pool.
void sgemm_parallel(ThreadPool &pool, bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k,
                    float alpha, const float *a, int64_t lda, const float *b, int64_t ldb, float beta,
                    float *c, int64_t ldc);

// Whether the CPU has AVX-512F; and whether the AVX-512 kernels are planned: it has, and ZELT_AVX512 is not
// 0 in the environment of the process that loads the model (a hook for tests and for measuring both paths).
bool avx512_cpu();
bool avx512_available();

// Products of B packed in panels of `panel` columns, [panels][K][panel], zero past N (gemm_packed.cpp).
// The panel the CPU runs: 32 columns on AVX-512, 16 on AVX2, 0 (no packed products) on neither.
int64_t gemm_panel();
// The rows of a tile for a panel width.
int64_t gemm_rows(int64_t panel);
int64_t packed_b_floats(int64_t K, int64_t N, int64_t panel);
// Packs B [K][N] (ldb), or its transpose stored [N][K] (ldb), into `out`.
void pack_b(const float *b, bool trans_b, int64_t ldb, int64_t K, int64_t N, int64_t panel, float *out);
// c[rows][N] (ldc) = alpha a[rows][K] (lda) x packed B, plus bias[N] if given, plus c itself if `accumulate`;
// with `trans_a`, A is stored transposed, [K][lda].
void gemm_packed(int64_t panel, int64_t rows, int64_t K, int64_t N, float alpha, const float *a, int64_t lda,
                 bool trans_a, const float *bp, const float *bias, bool accumulate, float *c, int64_t ldc);

// An elementwise activation, applied by its own operator or by a Conv, Gemm or MatMul to its output.
// Relu, Clip and Leaky (the clamps) are cheap enough to run inside the kernels' store loops; the others run
// as a vectorised pass over the finished values while they are in cache.
struct Activation {
    enum Kind {
        None,
        Relu,
        Clip,
        Leaky,
        Sigmoid,
        Silu,
        HardSigmoid,  // max(0, min(1, alpha x + beta))
        HardSwish,
        Tanh,
        Gelu,
        GeluTanh,
        Elu,
        Mish,
        Softplus,
        Exp,
        Erf
    } kind = None;
    float lo = 0, hi = 0, alpha = 0, beta = 0;
    bool clamp() const { return kind <= Leaky; }
    // y = act(x) for n floats; x may be y.
    void apply(const float *x, float *y, int64_t n) const {
        switch (kind) {
            case None:
                if (x != y) std::copy(x, x + n, y);
                break;
            case Relu:
                for (int64_t i = 0; i < n; ++i) y[i] = std::max(x[i], 0.f);
                break;
            case Clip:
                for (int64_t i = 0; i < n; ++i) y[i] = std::min(std::max(x[i], lo), hi);
                break;
            case Leaky:
                for (int64_t i = 0; i < n; ++i) y[i] = x[i] < 0 ? x[i] * alpha : x[i];
                break;
            default:
                apply_math(x, y, n);
        }
    }
    void apply(float *p, int64_t n) const { apply(p, p, n); }
    // The same over the pool, in pieces of a few thousand floats.
    void apply(ThreadPool &pool, const float *x, float *y, int64_t n) const;

private:
    void apply_math(const float *x, float *y, int64_t n) const;  // the kinds past the clamps
};

// Reads the activation of `node` when it is one that can be fused; false otherwise.
bool fusable_activation(const Node &node, Activation &act);

// Takes the activation that directly follows the output of `node`, if any:
// returns the tensor the fused operator writes to and fills `act`.
Tensor *fuse_activation(const Node &node, Planner &p, Activation &act);

// Window geometry of one spatial axis of a convolution or pooling.
struct Axis {
    int64_t in = 1, k = 1, s = 1, d = 1, p0 = 0, p1 = 0, out = 1;
};

// Reads kernel/stride/dilation/padding attributes for the spatial axes of input shape `x`.
std::vector<Axis> window_axes(const Node &n, const Shape &x, const std::vector<int64_t> &kernel,
                              bool ceil_mode);

// Views a 1-D problem as 2-D with a unit height axis.
void to_2d(std::vector<Axis> &axes);

// Per output position: taps of its window inside the input, and inside input plus end padding.
void window_counts(Planner &p, const Axis &a, std::vector<int64_t> &inside, std::vector<int64_t> &padded);

// Output columns [lo, hi) whose input column ow * s + off lies inside [0, W), with 0 <= lo <= hi <= OW:
// the columns before lo and from hi on are the borders, and either may be the whole row.
inline void valid_columns(int64_t off, int64_t s, int64_t W, int64_t OW, int64_t &lo, int64_t &hi) {
    lo = off >= 0 ? 0 : std::min(OW, (-off + s - 1) / s);
    hi = W - off <= 0 ? 0 : std::min(OW, (W - off + s - 1) / s);
    if (hi < lo) hi = lo;
}

// Channel-blocked (NCHW8c) operators, used where the CPU has AVX2 and FMA.
bool nchwc_available();
// Whether every reader of `t`, produced with shape `s` by the node being planned, takes it channel-blocked.
bool wants_blocked(const Planner &p, const Tensor *t, const Shape &s);
// Whether node p.index takes its blocked input `i` as it is (otherwise it gets a plain copy).
bool accepts_blocked(const Node &n, size_t i, const Planner &p);
// Reshape, Flatten, Squeeze and Unsqueeze: views of their input's storage.
inline bool is_view(const Node &n) {
    return n.op_type == "Reshape" || n.op_type == "Flatten" || n.op_type == "Squeeze" || n.op_type == "Unsqueeze";
}
// The output shape of view node `n` of an input of shape `xs`.
Shape view_shape(const Node &n, const Shape &xs);
// Whether `c` is a convolution that reads its input 0 of shape `s` through the blocked depthwise kernel,
// which can gather it from a channels-last value (Tensor::channels_last_of).
bool gathers_channels_last(const Node &c, const Shape &s);
// A blocked convolution for `n`, or nullptr where the plain one is used.
std::unique_ptr<Op> make_nchwc_conv(const Node &n, Planner &p);
// The operator of a node whose inputs are blocked (accepted by accepts_blocked).
std::unique_ptr<Op> make_nchwc_op(const Node &n, Planner &p);
// Copies blocked `x` into plain `y` of the same shape.
std::unique_ptr<Op> make_to_plain(Tensor *x, Tensor *y);

// Pad and Resize reduce to per-axis index maps: y[i] = sum_k w * x[idx] over each axis in turn.
struct AxisMap {
    int64_t taps = 1;
    std::vector<int64_t> idx;  // out * taps source indices (-1 = constant value)
    std::vector<float> w;      // out * taps weights
};

// The maps of Resize node `n` of input shape `xs`, for the axes it changes, in axis order (charged to the
// budget); sets `out` to the output shape.
std::vector<std::pair<size_t, AxisMap>> resize_maps(const Node &n, Planner &p, const Shape &xs, Shape &out);

// `v` truncated toward zero to an integer; NaN, or a value outside int64's range, fails node `n` (a plain
// conversion of such a value is undefined behaviour).
inline int64_t checked_int(const Node &n, double v, const char *what) {
    // 2^63 is exact in a double, and both comparisons fail for NaN.
    if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0))
        fail(n, std::string(what) + " is out of range");
    return int64_t(v);
}

// Constant parameters read at load time: copies of at most `max_count` values (shapes, axes, pads and the
// like are short), so that a huge Fill constant in a parameter's place costs nothing before it is refused.
constexpr int64_t kMaxParameterValues = 4096;
std::vector<int64_t> const_ints(const Node &node, const Tensor *t, const char *what,
                                int64_t max_count = kMaxParameterValues);
std::vector<float> const_floats(const Node &node, const Tensor *t, const char *what,
                                int64_t max_count = kMaxParameterValues);
void need_float(const Node &node, const Tensor *t);
int64_t norm_axis(const Node &node, int64_t axis, size_t rank);
std::vector<int64_t> strides_of(const Shape &s);

// An operator that maps its node's first input x, a float tensor, to the node's one output y.
class SisoOp : public Op {
public:
    Tensor *x = nullptr, *y = nullptr;
    void take_input(const Node &n) {
        x = n.input(0);
        if (!x || n.out.size() != 1) fail(n, "needs one input");
        need_float(n, x);
    }
    void take_output(const Node &n, Shape s) {
        y = n.out[0];
        set_shape(y, std::move(s));
        ins = {x};
        outs = {y};
    }
};

}  // namespace zelt::engine
