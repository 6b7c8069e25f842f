// Channel-blocked (NCHW8c) operators.  Chains of convolutions keep their activations as [N][C/8][H][W][8],
// channels padded with zeros to a multiple of 8, so that one AVX2 register holds eight channels of one
// position: convolutions then run as direct loops that keep a tile of output columns x output channel blocks
// in registers (no patch matrix), and depthwise convolution, pooling and the elementwise operators between
// them work on whole vectors.  The planner gives every other reader of a blocked tensor a plain NCHW copy;
// graph inputs and outputs are always plain.
#include <immintrin.h>

#include <array>
#include <atomic>
#include <limits>
#include <set>
#include <utility>

#include "nchwc.hpp"
#include "vec_math.hpp"

namespace zelt::engine {

namespace {

constexpr int64_t kSlabBytes = 65536;    // output of one work item, kept in cache across input-channel passes
constexpr int64_t kInputBytes = 262144;  // input of one work item, kept in L2 for the next output blocks
constexpr int64_t kWeightBytes = 65536;  // weights of one input-channel pass
constexpr int64_t kL2Weights = 131072;   // weights of a work item that stay in L2 while its rows run
constexpr int64_t kSpanFloats = 4096;    // a pooling row combined over its window rows, on the stack

bool is_sum2(const Node &n) {
    return (n.op_type == "Add" || n.op_type == "Sum") && n.in.size() == 2 && n.in[0] && n.in[1] &&
           n.out.size() == 1;
}

// Groups of 1, 2 or 4 input channels (wc) and a multiple of as many output channels, whole channel blocks of
// both: groups of 2 or 4 (ResNeXt-like), or a depthwise convolution with a channel multiplier.  8 / wc groups
// merge into one of 8 input channels whose outputs fill whole blocks.
bool narrow_groups(const Node &n, int64_t C, int64_t M, int64_t wc) {
    const int64_t G = n.get_int("group", 1);
    return G > 1 && C % kBlock == 0 && M % kBlock == 0 && C % G == 0 && M % G == 0 && C / G == wc &&
           kBlock % wc == 0 && (M / G) % wc == 0 && (wc > 1 || M > C);
}

// Convolutions the blocked kernels run, for input shape `xs`: 2-D, constant float weights, ungrouped,
// depthwise, or grouped with a multiple of 8 input and output channels per group (each output block then
// reads whole input blocks of its own group) or with as many of either and a divisor of 8 (narrow groups,
// which run as groups of 8 channels with zero weights between their members), explicit pads smaller than
// the window.  Anything else (including what is malformed, which the plain operator reports) stays plain.
bool conv_supported(const Node &n, const Shape &xs) {
    const Tensor *w = n.input(1), *b = n.input(2);
    if (!n.input(0) || !w || n.out.size() != 1 || n.input(0)->dtype != DType::F32) return false;
    if (xs.size() != 4 || w->shape.size() != 4 || w->dtype != DType::F32 || !w->is_const()) return false;
    const int64_t C = xs[1], M = w->shape[0], G = n.get_int("group", 1);
    if (b && (b->dtype != DType::F32 || !b->is_const() || b->numel != M)) return false;
    const bool depthwise = G > 1 && G == C && M == C && w->shape[1] == 1;
    const bool grouped = G > 1 && C % G == 0 && M % G == 0 && w->shape[1] == C / G && (C / G) % kBlock == 0 &&
                         (M / G) % kBlock == 0;
    if (!(G == 1 && w->shape[1] == C) && !depthwise && !grouped && !narrow_groups(n, C, M, w->shape[1]))
        return false;
    if (numel_of(xs) == 0 || M == 0) return false;
    std::vector<int64_t> kernel{w->shape[2], w->shape[3]};
    auto strides = n.get_ints("strides", {1, 1}), dil = n.get_ints("dilations", {1, 1});
    auto pads = n.get_ints("pads", {0, 0, 0, 0});
    if (n.get_ints("kernel_shape", kernel) != kernel || strides.size() != 2 || dil.size() != 2 ||
        pads.size() != 4)
        return false;
    const std::string auto_pad = n.get_string("auto_pad", "NOTSET");
    for (size_t i = 0; i < 2; ++i) {
        if (kernel[i] < 1 || kernel[i] > 1024 || strides[i] < 1 || strides[i] > 1024 || dil[i] < 1 ||
            dil[i] > 1024)
            return false;
        const int64_t span = (kernel[i] - 1) * dil[i] + 1;
        if (auto_pad == "NOTSET" &&
            (pads[i] < 0 || pads[i] >= span || pads[i + 2] < 0 || pads[i + 2] >= span))
            return false;
    }
    return auto_pad == "NOTSET" || auto_pad == "VALID" || auto_pad == "SAME_UPPER" ||
           auto_pad == "SAME_LOWER";
}

bool pool_supported(const Node &n, const Shape &xs) {
    return xs.size() == 4 && (n.out.size() == 1 || !n.out[1]) && n.get_int("storage_order", 0) == 0;
}

// An inference BatchNormalization of a 4-D tensor with constant parameters of one value per channel (what is
// malformed the plain operator reports).
bool batchnorm_supported(const Node &n, int64_t C) {
    if (n.in.size() != 5 || n.out.size() != 1 || n.get_int("training_mode", 0)) return false;
    for (size_t i = 1; i < 5; ++i)
        if (!n.in[i] || !n.in[i]->is_const() || n.in[i]->dtype != DType::F32 || n.in[i]->numel != C)
            return false;
    return true;
}

// Binary elementwise operators the blocked kernel runs.
enum class Bin { None, Add, Sub, Mul, Div, Max, Min, PRelu };

Bin bin_kind(const Node &n) {
    if (n.in.size() != 2 || !n.in[0] || !n.in[1] || n.out.size() != 1) return Bin::None;
    static const std::map<std::string, Bin> kinds{{"Add", Bin::Add}, {"Sum", Bin::Add},    {"Sub", Bin::Sub},
                                                  {"Mul", Bin::Mul}, {"Div", Bin::Div},    {"Max", Bin::Max},
                                                  {"Min", Bin::Min}, {"PRelu", Bin::PRelu}};
    auto it = kinds.find(n.op_type);
    return it == kinds.end() ? Bin::None : it->second;
}

// Whether float operand `o` broadcasts onto 4-D `s` with one value per channel, per image or in all:
// [N or 1, C or 1, 1, 1] and its lower ranks (scalars included).
bool per_channel(const Tensor *o, const Shape &s) {
    const Shape &os = o->shape;
    if (o->dtype != DType::F32 || os.size() > 4) return false;
    for (size_t i = 0; i < os.size(); ++i) {
        const size_t d = 4 - os.size() + i;
        if (os[i] != 1 && (d >= 2 || os[i] != s[d])) return false;
    }
    return true;
}

// The values of a constant int64 tensor of at most 8 values (the parameters of a Split or Slice).
bool small_ints(const Tensor *t, std::vector<int64_t> &v) {
    if (!t || !t->is_const() || t->dtype != DType::I64 || t->numel > 8) return false;
    v = t->kind == Tensor::Fill ? std::vector<int64_t>(size_t(t->numel), t->fill_i) : t->idata;
    return true;
}

// Whether ReduceMean or ReduceMax node `n` reduces exactly the two spatial axes of a 4-D tensor: a global
// pooling (the mean over [2, 3] before a classifier), whatever keepdims says.
bool reduces_plane(const Node &n) {
    if ((n.op_type != "ReduceMean" && n.op_type != "ReduceMax") || n.out.size() != 1) return false;
    const Tensor *a = n.input(1);
    std::vector<int64_t> axes;
    if (!a || !small_ints(a, axes) || axes.size() != 2) return false;
    std::set<int64_t> set;
    for (int64_t v : axes) set.insert(v < 0 ? v + 4 : v);
    return set == std::set<int64_t>{2, 3};
}

// The channel ranges (first, count) that Split or Slice node `n` takes from a tensor of shape `s`, when they
// start on channel-block boundaries and end on one or at the last channel, so that each output is a run of
// whole blocks of the input.  False for any other (what is malformed the plain operator reports).
bool channel_parts(const Node &n, const Shape &s, std::vector<std::pair<int64_t, int64_t>> &parts) {
    if (s.size() != 4 || n.out.empty() || !n.input(0) || (n.op_type == "Slice" && n.out.size() != 1))
        return false;
    const int64_t C = s[1];
    std::vector<int64_t> sizes;
    if (n.op_type == "Split") {
        const int64_t axis = n.get_int("axis", 0), k = int64_t(n.out.size());
        if (axis != 1 && axis != -3) return false;
        if (n.input(1)) {
            if (!small_ints(n.input(1), sizes) || int64_t(sizes.size()) != k) return false;
        } else {
            if (n.get_int("num_outputs", k) != k || (!n.has("num_outputs") && C % k)) return false;
            for (int64_t i = 0, chunk = (C + k - 1) / k; i < k; ++i)
                sizes.push_back(std::max<int64_t>(0, std::min(chunk, C - i * chunk)));
        }
    } else {
        std::vector<int64_t> b, e, axes, steps{1};
        if (!small_ints(n.input(1), b) || !small_ints(n.input(2), e) || !small_ints(n.input(3), axes) ||
            (n.input(4) && !small_ints(n.input(4), steps)))
            return false;
        if (b.size() != 1 || e.size() != 1 || axes.size() != 1 || steps.size() != 1 || steps[0] != 1 ||
            (axes[0] != 1 && axes[0] != -3))
            return false;
        auto clamp = [C](int64_t v) { return std::max<int64_t>(0, std::min(C, v < 0 ? v + C : v)); };
        const int64_t first = clamp(b[0]), end = clamp(e[0]);
        if (first % kBlock || end <= first) return false;
        parts = {{first, end - first}};
        sizes = {C};  // the total check below
    }
    int64_t first = 0;
    for (int64_t len : sizes) {
        if (len < 0 || len > C - first) return false;
        if (n.op_type == "Split") parts.push_back({first, len});
        first += len;
    }
    if (first != C) return false;
    for (auto &[c0, len] : parts)
        if (len == 0 || c0 % kBlock || ((c0 + len) % kBlock && c0 + len != C)) return false;
    return std::none_of(n.out.begin(), n.out.end(), [](const Tensor *t) { return !t || t->is_output; });
}

// The output shape of a Resize of `s` that the blocked kernel runs: nearest or linear, no antialiasing, only
// the two spatial axes resized, by constant scales or sizes.  False for any other.
bool resize_output(const Node &n, const Shape &s, Shape &out) {
    const std::string mode = n.get_string("mode", "nearest");
    if (s.size() != 4 || n.out.size() != 1 || (mode != "nearest" && mode != "linear") ||
        n.get_int("antialias", 0) != 0 || n.has("axes") ||
        n.get_string("keep_aspect_ratio_policy", "stretch") != "stretch" ||
        n.get_string("coordinate_transformation_mode", "half_pixel") == "tf_crop_and_resize")
        return false;
    const Tensor *scales = n.input(2), *sizes = n.input(3);
    out = s;
    if (scales && scales->numel) {
        if (sizes || scales->kind != Tensor::Data || scales->dtype != DType::F32 || scales->numel != 4)
            return false;
        const std::vector<float> &f = scales->fdata;
        if (f[0] != 1 || f[1] != 1) return false;
        for (size_t a = 2; a < 4; ++a) {
            if (!(f[a] > 0 && f[a] <= 1e4f)) return false;
            out[a] = int64_t(double(s[a]) * f[a]);
        }
    } else {
        std::vector<int64_t> v;
        if (!small_ints(sizes, v) || v.size() != 4 || v[0] != s[0] || v[1] != s[1]) return false;
        out = v;
    }
    return out[2] > 0 && out[3] > 0 && out[2] <= (int64_t(1) << 24) && out[3] <= (int64_t(1) << 24);
}

// Whether node `c` reads a tensor of shape `s` channel-blocked as its input `i`.
bool blocked_reader(const Node &c, size_t i, const Shape &s) {
    const std::string &t = c.op_type;
    Activation act;
    if (t == "Conv") return i == 0 && conv_supported(c, s);
    if (t == "MaxPool" || t == "AveragePool") return i == 0 && pool_supported(c, s);
    if (t == "GlobalAveragePool" || t == "GlobalMaxPool") return i == 0 && c.out.size() == 1;
    if (reduces_plane(c)) return i == 0 && s.size() == 4;
    if (t == "BatchNormalization") return i == 0 && s.size() == 4 && batchnorm_supported(c, s[1]);
    if (const Bin k = bin_kind(c); k != Bin::None) {
        // A blocked operand of the output's shape, the other blocked alike or one value per channel.  An
        // operand not produced yet is taken to fit: the node itself checks when it is planned.
        const Tensor *o = c.in[1 - i];
        if (k == Bin::PRelu && i != 0) return false;
        if (c.in[0] == c.in[1] || !o->shaped) return true;
        return o->shape == s ? o->blocked : per_channel(o, s);
    }
    if (fusable_activation(c, act)) return i == 0 && c.out.size() == 1;
    if (t == "Concat") {  // inputs of partial blocks shift the channels after them (NchwcShiftConcatOp)
        int64_t axis = c.get_int("axis", 0);
        return axis == 1 || axis == -3;
    }
    if (t == "Split" || t == "Slice") {
        std::vector<std::pair<int64_t, int64_t>> parts;
        return i == 0 && channel_parts(c, s, parts);
    }
    if (t == "Resize") {
        Shape out;
        return i == 0 && resize_output(c, s, out);
    }
    return false;
}

// The activation that directly follows `t`, if it can be fused.
const Node *activation_after(const Planner &p, const Tensor *t, Activation &act) {
    const Node *c = p.single_consumer(t);
    if (c && c->input(0) == t && c->out.size() == 1 && fusable_activation(*c, act)) return c;
    act.kind = Activation::None;
    return nullptr;
}

void mark_fused(Planner &p, const Node *n, const Shape &s) {
    p.fused[size_t(n - p.nodes.data())] = true;
    set_shape(n->out[0], s);
}

// ---------------------------------------------------------------- vector helpers

// A row of blocked vectors [count][8], stored to `y` blocked (at `row`), scattered to plain NCHW, or to
// channels-last [N][plane][C].
struct RowOut {
    Tensor *y;
    int64_t C, plane;
    bool channels_last = false;
    ZELT_AVX2 void put(const float *row, int64_t count, int64_t n, int64_t cb, int64_t pos) const {
        if (y->blocked) return;  // the row was computed in place
        const int64_t c0 = cb * kBlock, lanes = std::min(kBlock, C - c0);
        if (!channels_last)
            return unblock_row(row, count, lanes, y->data + (n * C + c0) * plane + pos, plane);
        float *dst = y->data + (n * plane + pos) * C + c0;
        for (int64_t i = 0; i < count; ++i, dst += C, row += kBlock) {
            if (lanes == kBlock)
                _mm256_storeu_ps(dst, _mm256_loadu_ps(row));
            else
                std::memcpy(dst, row, size_t(lanes) * 4);
        }
    }
};

// ---------------------------------------------------------------- convolution

}  // namespace

ZELT_AVX2 void scatter_tile(const ConvTile &t, float *sums, int no, int nw, int64_t ob, int64_t pos) {
    const int64_t plane = t.OH * t.OW;
    const VecAct act(t.act);
    const bool post = !t.act.clamp();
    if (post) {
        for (int o = 0; o < no && t.res; ++o)
            for (int j = 0; j < nw; ++j) {
                float *s = sums + (o * nw + j) * kBlock;
                const float *r = t.res + ((ob + o) * plane + pos + j) * kBlock;
                _mm256_store_ps(s, _mm256_add_ps(_mm256_load_ps(s), _mm256_loadu_ps(r)));
            }
        t.act.apply(sums, no * nw * kBlock);
    }
    for (int o = 0; o < no; ++o)
        for (int j = 0; j < nw; ++j) {
            __m256 v = _mm256_load_ps(sums + (o * nw + j) * kBlock);
            if (t.res && !post)
                v = _mm256_add_ps(v, _mm256_loadu_ps(t.res + ((ob + o) * plane + pos + j) * kBlock));
            scatter(act(v), t.y, t.M, plane, 0, ob + o, pos + j);
        }
}

namespace {

// Two output blocks x NW columns over one tap of a blocked input (8 channels), scheduled by hand: with
// intrinsics the compiler rotates the accumulators through extra register moves.  STEP is the byte offset
// of consecutive output columns in the input.  The statements read input and weights through their pointer
// operands alone (no memory operands: 30 at most): nothing writes either while a convolution runs.
// clang-format off
#define ZELT_WEIGHTS(c) "vmovups " #c "*32(%[w0]), %%ymm12\n\t" "vmovups " #c "*32(%[w1]), %%ymm13\n\t"
#define ZELT_COLUMN(c, j)                                               \
    "vbroadcastss (%c[step]*" #j "+" #c "*4)(%[x]), %%ymm14\n\t"        \
    "vfmadd231ps %%ymm12, %%ymm14, %[a0" #j "]\n\t"                     \
    "vfmadd231ps %%ymm13, %%ymm14, %[a1" #j "]\n\t"
#define ZELT_C3(c) ZELT_WEIGHTS(c) ZELT_COLUMN(c, 0) ZELT_COLUMN(c, 1) ZELT_COLUMN(c, 2)
#define ZELT_C4(c) ZELT_C3(c) ZELT_COLUMN(c, 3)
#define ZELT_C5(c) ZELT_C4(c) ZELT_COLUMN(c, 4)
#define ZELT_C6(c) ZELT_C5(c) ZELT_COLUMN(c, 5)
#define ZELT_CHANNELS(C) C(0) C(1) C(2) C(3) C(4) C(5) C(6) C(7)
#define ZELT_ACC(j) [a0##j] "+x"(acc[0][j]), [a1##j] "+x"(acc[1][j])
#define ZELT_TAP_ASM(C, ...)                                            \
    asm(ZELT_CHANNELS(C)                                                \
        : __VA_ARGS__                                                   \
        : [x] "r"(x), [w0] "r"(w0), [w1] "r"(w1), [step] "i"(STEP)      \
        : "xmm12", "xmm13", "xmm14")

// The same with three output blocks (narrow rows, or block counts that are multiples of 3).
#define ZELT_WEIGHTS3(c) ZELT_WEIGHTS(c) "vmovups " #c "*32(%[w2]), %%ymm14\n\t"
#define ZELT_COLUMN3(c, j)                                              \
    "vbroadcastss (%c[step]*" #j "+" #c "*4)(%[x]), %%ymm15\n\t"        \
    "vfmadd231ps %%ymm12, %%ymm15, %[a0" #j "]\n\t"                     \
    "vfmadd231ps %%ymm13, %%ymm15, %[a1" #j "]\n\t"                     \
    "vfmadd231ps %%ymm14, %%ymm15, %[a2" #j "]\n\t"
#define ZELT_3C3(c) ZELT_WEIGHTS3(c) ZELT_COLUMN3(c, 0) ZELT_COLUMN3(c, 1) ZELT_COLUMN3(c, 2)
#define ZELT_3C4(c) ZELT_3C3(c) ZELT_COLUMN3(c, 3)
#define ZELT_ACC3(j) ZELT_ACC(j), [a2##j] "+x"(acc[2][j])
#define ZELT_TAP3_ASM(C, ...)                                                           \
    asm(ZELT_CHANNELS(C)                                                                \
        : __VA_ARGS__                                                                   \
        : [x] "r"(x), [w0] "r"(w[0]), [w1] "r"(w[1]), [w2] "r"(w[2]), [step] "i"(STEP)  \
        : "xmm12", "xmm13", "xmm14", "xmm15")
// clang-format on

template <int NO, int NW, int STEP>
ZELT_AVX2 __attribute__((always_inline)) inline void tap_asm(__m256 (&acc)[NO][NW], const float *x,
                                                             const float *const (&w)[NO]) {
    if constexpr (NO == 3) {
        if constexpr (NW == 3) ZELT_TAP3_ASM(ZELT_3C3, ZELT_ACC3(0), ZELT_ACC3(1), ZELT_ACC3(2));
        if constexpr (NW == 4)
            ZELT_TAP3_ASM(ZELT_3C4, ZELT_ACC3(0), ZELT_ACC3(1), ZELT_ACC3(2), ZELT_ACC3(3));
    } else {
        const float *w0 = w[0], *w1 = w[1];
        if constexpr (NW == 3) ZELT_TAP_ASM(ZELT_C3, ZELT_ACC(0), ZELT_ACC(1), ZELT_ACC(2));
        if constexpr (NW == 4) ZELT_TAP_ASM(ZELT_C4, ZELT_ACC(0), ZELT_ACC(1), ZELT_ACC(2), ZELT_ACC(3));
        if constexpr (NW == 5)
            ZELT_TAP_ASM(ZELT_C5, ZELT_ACC(0), ZELT_ACC(1), ZELT_ACC(2), ZELT_ACC(3), ZELT_ACC(4));
        if constexpr (NW == 6)
            ZELT_TAP_ASM(ZELT_C6, ZELT_ACC(0), ZELT_ACC(1), ZELT_ACC(2), ZELT_ACC(3), ZELT_ACC(4),
                         ZELT_ACC(5));
    }
}

// One kernel tap of BS input channels into NO x NW accumulators.
template <int NO, int NW, int BS, int SW>
ZELT_AVX2 __attribute__((always_inline)) inline void tap(__m256 (&acc)[NO][NW], const float *xp,
                                                         const float *wp, int64_t x_ws, int64_t w_ob) {
    const float *w[NO];  // of each output block: constant offsets below
    for (int o = 0; o < NO; ++o) w[o] = wp + o * w_ob;
    if constexpr (NO >= 2 && NW >= 3 && BS == kBlock && SW != 0) {
        tap_asm<NO, NW, SW == 2 ? 64 : 32>(acc, xp, w);
        return;
    }
#pragma GCC unroll 8
    for (int c = 0; c < BS; ++c) {
        __m256 wv[NO];
#pragma GCC unroll 3
        for (int o = 0; o < NO; ++o) wv[o] = _mm256_loadu_ps(w[o] + c * kBlock);
#pragma GCC unroll 6
        for (int j = 0; j < NW; ++j) {
            const __m256 xv = _mm256_broadcast_ss(xp + j * x_ws + c);
#pragma GCC unroll 3
            for (int o = 0; o < NO; ++o) acc[o][j] = _mm256_fmadd_ps(wv[o], xv, acc[o][j]);
        }
    }
}

// Residual (RES), activation and store of a tile's sums into blocked `y`, [NO blocks of `plane`][NW][8]:
// straight-line code for each of the four cases, which matters for convolutions of few input channels.
template <bool RES, bool LEAKY, int NO, int NW>
ZELT_AVX2 __attribute__((always_inline)) inline void finish_tile(const __m256 (&acc)[NO][NW],
                                                                 const VecAct &act, const float *res,
                                                                 float *y, int64_t plane) {
#pragma GCC unroll 3
    for (int o = 0; o < NO; ++o)
#pragma GCC unroll 6
        for (int j = 0; j < NW; ++j) {
            const int64_t at = (o * plane + j) * kBlock;
            __m256 v = acc[o][j];
            if constexpr (RES) v = _mm256_add_ps(v, _mm256_loadu_ps(res + at));
            _mm256_storeu_ps(y + at, act.apply<LEAKY>(v));
        }
}

// NO output blocks x NW output columns of row `oh` from column `ow`, over input blocks [cb0, cb1).
// The first pass starts from the bias, later ones from the partial sums in y; the last adds the residual,
// applies the activation and stores.  SW is the stride when it is 1 or 2 (constant input offsets of the
// columns), 0 for any other, and -1 for a 1x1 kernel with stride 1 (no tap loops).
template <int NO, int NW, int BS, int SW>
ZELT_AVX2 __attribute__((always_inline)) inline void conv_tile(const ConvTile &t, const Taps &k, int64_t ob,
                                                               int64_t oh, int64_t ow, int64_t cb0,
                                                               int64_t cb1, bool first, bool last) {
    const int64_t plane = t.OH * t.OW, pos = oh * t.OW + ow;
    __m256 acc[NO][NW];
#pragma GCC unroll 3
    for (int o = 0; o < NO; ++o) {
        const float *yp = t.y + ((ob + o) * plane + pos) * kBlock;
        const __m256 b = _mm256_loadu_ps(t.bias + (ob + o) * kBlock);
#pragma GCC unroll 6
        for (int j = 0; j < NW; ++j) acc[o][j] = first ? b : _mm256_loadu_ps(yp + j * kBlock);
    }
    const int64_t x_ws = SW > 0 ? SW * BS : SW < 0 ? BS : t.x_ws, w_ob = t.w_ob;
    // The first tap's offset is inside the input (signed arithmetic before the pointer is formed), unless
    // no tap is: then the sums are the bias, or stay as they are.
    if (k.kh0 >= k.kh1 || k.kw0 >= k.kw1) cb1 = cb0;
    const float *xb =
        cb0 == cb1
            ? t.x
            : t.x + ((oh * t.SH - t.ph) * t.x_h + k.kh0 * t.tap_h + ow * x_ws - t.pw * BS + k.kw0 * t.tap_w);
    const float *wb = t.w + ob * w_ob + (k.kh0 * t.KW + k.kw0) * BS * kBlock;
    for (int64_t cb = cb0; cb < cb1; ++cb) {
        const float *xc = xb + cb * t.x_cb, *wc = wb + cb * t.w_cb;
        if constexpr (SW < 0) {
            tap<NO, NW, BS, SW>(acc, xc, wc, x_ws, w_ob);
            continue;
        }
        for (int64_t kh = k.kh0; kh < k.kh1; ++kh) {
            const float *xp = xc + (kh - k.kh0) * t.tap_h, *wp = wc + (kh - k.kh0) * t.KW * BS * kBlock;
            for (int64_t kw = k.kw0; kw < k.kw1; ++kw, xp += t.tap_w, wp += BS * kBlock)
                tap<NO, NW, BS, SW>(acc, xp, wp, x_ws, w_ob);
        }
    }
    if (last && t.plain_out) {
        alignas(32) float sums[NO * NW * kBlock];
#pragma GCC unroll 3
        for (int o = 0; o < NO; ++o)
#pragma GCC unroll 6
            for (int j = 0; j < NW; ++j) _mm256_store_ps(sums + (o * NW + j) * kBlock, acc[o][j]);
        scatter_tile(t, sums, NO, NW, ob, pos);
        return;
    }
    // Locals, not t's fields: the unaligned vector stores below may alias anything, so the compiler
    // would otherwise reload the fields after each of them.
    float *const y = t.y + (ob * plane + pos) * kBlock;
    if (!last) {
#pragma GCC unroll 3
        for (int o = 0; o < NO; ++o)
#pragma GCC unroll 6
            for (int j = 0; j < NW; ++j) _mm256_storeu_ps(y + (o * plane + j) * kBlock, acc[o][j]);
        return;
    }
    const float *const res = t.res ? t.res + (ob * plane + pos) * kBlock : nullptr;
    const VecAct end(t.act);
    if (res)
        end.leaky ? finish_tile<true, true>(acc, end, res, y, plane)
                  : finish_tile<true, false>(acc, end, res, y, plane);
    else
        end.leaky ? finish_tile<false, true>(acc, end, res, y, plane)
                  : finish_tile<false, false>(acc, end, res, y, plane);
}

// The widest tile: 12 accumulators.
template <int NO>
constexpr int64_t kTileWidth = NO == 3 ? 4 : 6;

// Output blocks of one unit of the tiles' NO.
constexpr int kBlocksPerUnit = 1;

#pragma GCC push_options
#pragma GCC target("avx2,fma")
#include "conv_rows.hpp"
#pragma GCC pop_options

// Row kernels by [input blocked][stride: other, 1, 2; pointwise].
const std::array<RowKernel, 3> row_kernel_table[2][4] = {
    {row_kernels<1, 0>(), row_kernels<1, 1>(), row_kernels<1, 2>(), row_kernels<1, -1>()},
    {row_kernels<8, 0>(), row_kernels<8, 1>(), row_kernels<8, 2>(), row_kernels<8, -1>()}};

class NchwcConvOp : public Op {
public:
    Tensor *x, *y, *res = nullptr, *staged = nullptr;
    int64_t N, C, M, OB;
    Axis ah, aw;             // of the convolution
    bool subsample = false;  // a strided 1x1 convolution: the staged input holds the sampled positions
    int64_t bs, ncb;     // input channels per block (8, or 1 for a plain input of few channels) and blocks
    int64_t G = 1, gcb;  // groups, and the input blocks of one group (all of them for one group)
    // What the tiles see: the staged (or original) input of IH x IW positions, a KH x KW kernel with
    // strides SH, SW and dilations DH, DW, and OH x OW outputs.  A 1x1 convolution is one long row.
    int64_t IH, IW, KH, KW, SH, SW, DH, DW, OH, OW;
    int64_t chunk;     // input blocks per pass
    int64_t per_item;  // output blocks of a work item (AVX2: 2, or 3 for narrow rows and multiples of 3)
    bool pairs;        // AVX-512 tiles over pairs of output blocks, the weights packed in pairs
    PackedFloats wpk, bias;  // weights as pack_weights gives them, bias [OB][8]
    Tensor *scale = nullptr;       // per input channel, by which the weights are scaled at each run
    PackedFloats wsc;        // the scaled weights
    Activation act;
    // The taps inside the input (ConvTile::rows and cols), when skipping the others saves enough, and the
    // padding the tiles' input lacks (when it is not staged).
    std::vector<int64_t> tap_rows;
    std::vector<ColumnTaps> tap_cols;
    int64_t ph = 0, pw = 0;

    // Fills the staged input: padded with zeros, or the sampled positions of a strided 1x1 convolution,
    // and channel-blocked when the input is plain.
    void stage_input(RunCtx &ctx) {
        const int64_t H = ah.in, W = aw.in, e = bs;  // floats per position
        const bool gather = !x->blocked && bs == kBlock;
        const int64_t rows = subsample ? ah.out : H + ah.p0 + ah.p1;
        const int64_t cols = subsample ? aw.out : W + aw.p0 + aw.p1;
        const int64_t r0 = subsample ? 0 : ah.p0, c0 = subsample ? 0 : aw.p0;  // first row, column of input
        const int64_t step_h = subsample ? ah.s : 1, step_w = subsample ? aw.s : 1;
        const int64_t in_rows = subsample ? rows : H, in_cols = subsample ? cols : W;
        ctx.pool.parallel_for(
            N * ncb, Cost{double(rows * cols * e) * 2 * kFloatNs}, [&](int64_t q0, int64_t q1) {
                for (int64_t q = q0; q < q1; ++q) {
                    float *dst = staged->data + q * rows * cols * e;
                    const int64_t n = q / ncb, ch0 = q % ncb * kBlock, lanes = std::min(kBlock, C - ch0);
                    for (int64_t r = 0; r < rows; ++r, dst += cols * e) {
                        const int64_t i = r - r0;
                        if (i < 0 || i >= in_rows) {
                            std::fill(dst, dst + cols * e, 0.f);
                            continue;
                        }
                        std::fill(dst, dst + c0 * e, 0.f);
                        float *d = dst + c0 * e;
                        const int64_t ih = i * step_h;
                        if (gather) {
                            const float *plane = x->data + (n * C + ch0) * H * W + ih * W;
                            int64_t j = 0;
                            for (; lanes == kBlock && step_w == 1 && j + 8 <= in_cols; j += 8)
                                transpose8x8(plane + j, H * W, d + j * kBlock, kBlock);
                            for (; j < in_cols; ++j)
                                for (int64_t c = 0; c < kBlock; ++c)
                                    d[j * kBlock + c] = c < lanes ? plane[c * H * W + j * step_w] : 0.f;
                        } else if (step_w == 1) {
                            std::memcpy(d, x->data + (q * H + ih) * W * e, size_t(W * e) * 4);
                        } else {
                            const float *src = x->data + (q * H + ih) * W * e;
                            for (int64_t j = 0; j < in_cols; ++j)
                                std::memcpy(d + j * e, src + j * step_w * e, size_t(e) * 4);
                        }
                        std::fill(d + in_cols * e, dst + cols * e, 0.f);
                    }
                }
            });
    }

    // Pointwise weights of one group, [ncb * 8][8] per output block or [ncb * 8][16] per pair of blocks:
    // row c times the scale of input channel c (0 past the channels, whose weights are 0).
    void scale_weights(RunCtx &ctx) {
        const int64_t rows = ncb * kBlock, w_ob = rows * kBlock;
        ctx.pool.parallel_for(OB, Cost{double(w_ob) * 2 * kFloatNs}, [&](int64_t b0, int64_t b1) {
            for (int64_t ob = b0; ob < b1; ++ob) {
                const bool paired = pairs && (ob % 2 || ob + 1 < OB);
                const int64_t width = paired ? 2 * kBlock : kBlock;
                const int64_t first = (paired ? ob - ob % 2 : ob) * w_ob + (paired ? ob % 2 * kBlock : 0);
                for (int64_t c = 0; c < rows; ++c) {
                    const float f = c < C ? scale->data[c] : 0.f;
                    const float *w = wpk.data() + first + c * width;
                    float *d = wsc.data() + first + c * width;
                    for (int64_t l = 0; l < kBlock; ++l) d[l] = w[l] * f;
                }
            }
        });
    }

    void run(RunCtx &ctx) override {
        if (staged) stage_input(ctx);
        if (scale) scale_weights(ctx);
        const float *src = staged ? staged->data : x->data;
        const int T = ctx.pool.size();
        // Work items of output blocks never straddle two groups.
        const int64_t OBg = OB / G, per_group = (OBg + per_item - 1) / per_item, groups = G * per_group;
        // Work items: image x segment of rows (or of columns, for a single row) x group of output blocks,
        // so that consecutive items read the same input segment.
        const bool by_rows = OH > 1;
        const int64_t extent = by_rows ? OH : OW;
        // As many segments as the cache budgets ask for, of sizes that differ by one at most; more when
        // there would be too few items to share equally among the threads.
        const int64_t out_bytes = per_item * (by_rows ? OW : 1) * 32;  // per row, or column, of a work item
        const int64_t in_bytes = (by_rows ? SH * IW : 1) * gcb * bs * 4;
        const int64_t seg_max =
            std::max<int64_t>(1, std::min(kSlabBytes / out_bytes, kInputBytes / in_bytes));
        int64_t nseg = (extent + seg_max - 1) / seg_max;
        if (N * nseg * groups < 4 * T) nseg = std::min(extent, (nseg + T - 1) / T * T);
        const bool pointwise = KH * KW * SH * SW == 1;
        const bool rows_outer = per_item * gcb * KH * KW * bs * kBlock * 4 <= kL2Weights;
        const size_t form = pointwise ? 3 : SW <= 2 ? size_t(SW) : 0;
        const auto &kernels = row_kernel_table[bs == kBlock][form];
        const auto &wide = pair_row_kernels[bs == kBlock][form];
        const int64_t items = N * nseg * groups;
        const double macs = double(N) * OB * kBlock * OH * OW * gcb * bs * KH * KW;
        ctx.pool.parallel_for(items, Cost{macs * kMacNs / double(items)}, [&](int64_t i0, int64_t i1) {
            for (int64_t it = i0; it < i1; ++it) {
                const int64_t g = it % groups, s = it / groups % nseg, n = it / (groups * nseg);
                const int64_t local = g % per_group * per_item, ob = g / per_group * OBg + local;
                const int64_t no = std::min(per_item, OBg - local);
                const ConvTile t{src + (n * ncb + g / per_group * gcb) * IH * IW * bs,
                                 scale ? wsc.data() : wpk.data(),
                                 bias.data(),
                                 res ? res->data + n * OB * OH * OW * kBlock : nullptr,
                                 y->blocked ? y->data + n * OB * OH * OW * kBlock : y->data + n * M * OH * OW,
                                 IH * IW * bs,
                                 IW * bs,
                                 SW * bs,
                                 DH * IW * bs,
                                 DW * bs,
                                 KH,
                                 KW,
                                 SH,
                                 gcb * KH * KW * bs * kBlock,
                                 KH * KW * bs * kBlock,
                                 OH,
                                 OW,
                                 M,
                                 !y->blocked,
                                 act,
                                 tap_rows.empty() ? nullptr : tap_rows.data(),
                                 tap_cols.data(),
                                 ph,
                                 pw};
                const int64_t s0 = extent * s / nseg, s1 = extent * (s + 1) / nseg;
                const int64_t r0 = by_rows ? s0 : 0, r1 = by_rows ? s1 : 1;
                const int64_t c0 = by_rows ? 0 : s0, c1 = by_rows ? OW : s1;
                // Pairs of blocks on AVX-512, and the odd last block of a group on AVX2.
                const int64_t np = pairs ? no / 2 : 0;
                const RowKernel pair_kernel = np ? wide[size_t(np - 1)] : nullptr;
                const RowKernel kernel = no > 2 * np ? kernels[size_t(no - 2 * np - 1)] : nullptr;
                auto pass = [&](int64_t oh, int64_t cb0) {
                    const int64_t cb1 = std::min(gcb, cb0 + chunk);
                    if (pair_kernel) pair_kernel(t, ob, oh, c0, c1, cb0, cb1, cb0 == 0, cb1 == gcb);
                    if (kernel) kernel(t, ob + 2 * np, oh, c0, c1, cb0, cb1, cb0 == 0, cb1 == gcb);
                };
                // Rows outside the passes keep each output row in L1 across them; passes outside the rows
                // keep each pass's weights in cache across the rows, for weights too large for L2.
                if (rows_outer)
                    for (int64_t oh = r0; oh < r1; ++oh)
                        for (int64_t cb0 = 0; cb0 < gcb; cb0 += chunk) pass(oh, cb0);
                else
                    for (int64_t cb0 = 0; cb0 < gcb; cb0 += chunk)
                        for (int64_t oh = r0; oh < r1; ++oh) pass(oh, cb0);
            }
        });
    }
};

// ---------------------------------------------------------------- depthwise convolution and pooling

enum class WinKind { Depthwise, Max, Avg };

// Whether window_rows pools separably: undilated windows over rows that fit its stack span.
inline bool separable_pool(WinKind k, const Axis &ah, const Axis &aw) {
    return k != WinKind::Depthwise && ah.d == 1 && aw.d == 1 && aw.in * kBlock <= kSpanFloats;
}

// Adds input vector `x` under weight `w` (depthwise) into `acc`, or takes the maximum or the sum.
template <WinKind K>
ZELT_AVX2 inline __m256 combine(__m256 acc, __m256 x, __m256 w) {
    if constexpr (K == WinKind::Depthwise) return _mm256_fmadd_ps(w, x, acc);
    if constexpr (K == WinKind::Max) return _mm256_max_ps(acc, x);
    return _mm256_add_ps(acc, x);
}

template <WinKind K>
ZELT_AVX2 inline __m256 weight(const float *wk, int64_t tap) {
    if constexpr (K == WinKind::Depthwise) return _mm256_loadu_ps(wk + tap * kBlock);
    return _mm256_setzero_ps();
}

// Bias and activation (depthwise), or the reciprocal count of output column `ow` (average; 0 where the
// window holds no input, whose sum is 0 too).
template <WinKind K>
ZELT_AVX2 inline __m256 finish(__m256 acc, const VecAct &act, const float *inv, int64_t ow) {
    if constexpr (K == WinKind::Depthwise) return act(acc);
    if constexpr (K == WinKind::Avg) return _mm256_mul_ps(acc, _mm256_set1_ps(inv[ow]));
    return acc;
}

// Interior output columns of one row from `ow`, NW at a time while NW fit before g.hi, over window rows
// `r` (pointers to the input rows, or to the padding row): one weight load serves NW columns.  Returns the
// first column left.
template <WinKind K, int S, int NW>
ZELT_AVX2 __attribute__((always_inline)) inline int64_t interior_columns(const float *const *r, const float *wk,
                                                                         __m256 init, const Window &g, int64_t ow,
                                                                         const VecAct &va, const float *rdiv,
                                                                         float *row) {
    const Axis &ah = g.ah, &aw = g.aw;
    const int64_t s = S ? S : aw.s;
    for (; ow + NW <= g.hi; ow += NW) {
        __m256 acc[NW];
        for (int j = 0; j < NW; ++j) acc[j] = init;
        for (int64_t kh = 0; kh < ah.k; ++kh) {
            const float *xr = r[kh] + (ow * s - aw.p0) * kBlock, *wr = wk + kh * aw.k * kBlock;
            for (int64_t kw = 0; kw < aw.k; ++kw) {
                const float *xp = xr + kw * aw.d * kBlock;
                const __m256 w = weight<K>(wr, kw);
                for (int j = 0; j < NW; ++j) acc[j] = combine<K>(acc[j], _mm256_loadu_ps(xp + j * s * kBlock), w);
            }
        }
        for (int j = 0; j < NW; ++j) _mm256_storeu_ps(row + (ow + j) * kBlock, finish<K>(acc[j], va, rdiv, ow + j));
    }
    return ow;
}

// Output rows [oh0, oh1) of a depthwise convolution or a pooling of one channel block, into `rows`; `xc`
// holds the block's input rows from row0 on.  Window rows outside the input read `pad_row`, a row of the
// neutral value; window columns outside it are skipped in the border columns.  `init8` starts each sum (the
// bias, or the neutral value), `wk` holds [KH][KW][8] weights (depthwise), `div` the reciprocal counts of the
// output positions (average).  S is the stride when it is 1 or 2, 0 for any other.  A pooling of undilated
// windows is separable: the window rows combine into one row first, then its window columns.
template <WinKind K, int S>
ZELT_AVX2 void window_rows(const float *xc, int64_t row0, const float *pad_row, const float *wk,
                           const float *init8, const Window &g, int64_t oh0, int64_t oh1, const float *div,
                           const Activation &act, float *rows) {
    const Axis &ah = g.ah, &aw = g.aw;
    const int64_t s = S ? S : aw.s;
    const __m256 init = _mm256_loadu_ps(init8);
    const VecAct va(act);
    const bool k3 = ah.k == 3 && aw.k == 3 && aw.d == 1;  // the common 3x3 window: weights in registers
    __m256 w3[9];
    for (int t = 0; t < 9 && k3; ++t) w3[t] = weight<K>(wk, t);
    const bool reuse = K == WinKind::Depthwise && reuse_window(g);
    alignas(32) float span[kSpanFloats];
    const bool separable = separable_pool(K, ah, aw);
    for (int64_t oh = oh0; oh < oh1; ++oh) {
        float *row = rows + (oh - oh0) * aw.out * kBlock;
        const float *rdiv = div ? div + oh * aw.out : nullptr;
        auto in_row = [&](int64_t kh) {
            const int64_t ih = oh * ah.s - ah.p0 + kh * ah.d;
            return ih >= 0 && ih < ah.in ? xc + (ih - row0) * aw.in * kBlock : pad_row;
        };
        if (reuse) {
            const float *r[kMaxWindowRows];
            for (int64_t kh = 0; kh < ah.k; ++kh) r[kh] = in_row(kh);
            depthwise_row_of<vec::V8>({r, r, wk, wk, init8, init8, row, row}, g, act);
            if (!act.clamp()) act.apply(row, aw.out * kBlock);
            continue;
        }
        if (separable) {
            const float *r0 = in_row(0);
            for (int64_t iw = 0; iw < aw.in; ++iw)
                _mm256_store_ps(span + iw * kBlock, _mm256_loadu_ps(r0 + iw * kBlock));
            for (int64_t kh = 1; kh < ah.k; ++kh) {
                const float *rk = in_row(kh);
                for (int64_t iw = 0; iw < aw.in; ++iw)
                    _mm256_store_ps(span + iw * kBlock, combine<K>(_mm256_load_ps(span + iw * kBlock),
                                                                   _mm256_loadu_ps(rk + iw * kBlock), init));
            }
            // The window columns inside the row.
            for (int64_t ow = 0; ow < aw.out; ++ow) {
                const int64_t i0 = ow * s - aw.p0, k0 = std::max<int64_t>(0, -i0), k1 = std::min(aw.k, aw.in - i0);
                __m256 acc = init;
                for (int64_t kw = k0; kw < k1; ++kw)
                    acc = combine<K>(acc, _mm256_load_ps(span + (i0 + kw) * kBlock), init);
                _mm256_storeu_ps(row + ow * kBlock, finish<K>(acc, va, rdiv, ow));
            }
            continue;
        }
        const int64_t border[2][2] = {{0, g.lo}, {g.hi, aw.out}};
        for (auto &range : border)
            for (int64_t ow = range[0]; ow < range[1]; ++ow) {
                __m256 acc = init;
                for (int64_t kh = 0; kh < ah.k; ++kh) {
                    const float *xr = in_row(kh);
                    for (int64_t kw = 0; kw < aw.k; ++kw) {
                        const int64_t iw = ow * s - aw.p0 + kw * aw.d;
                        if (iw >= 0 && iw < aw.in)
                            acc = combine<K>(acc, _mm256_loadu_ps(xr + iw * kBlock),
                                             weight<K>(wk, kh * aw.k + kw));
                    }
                }
                _mm256_storeu_ps(row + ow * kBlock, finish<K>(acc, va, rdiv, ow));
            }
        int64_t ow = g.lo;
        if (k3) {
            const float *r[3] = {in_row(0), in_row(1), in_row(2)};
            for (; ow + 4 <= g.hi; ow += 4) {
                __m256 acc[4] = {init, init, init, init};
                for (int kh = 0; kh < 3; ++kh) {
                    const float *xr = r[kh] + (ow * s - aw.p0) * kBlock;
                    for (int kw = 0; kw < 3; ++kw)
                        for (int j = 0; j < 4; ++j)
                            acc[j] = combine<K>(acc[j], _mm256_loadu_ps(xr + (j * s + kw) * kBlock),
                                                w3[kh * 3 + kw]);
                }
                for (int j = 0; j < 4; ++j)
                    _mm256_storeu_ps(row + (ow + j) * kBlock, finish<K>(acc[j], va, rdiv, ow + j));
            }
        }
        // Other windows: eight columns at a time (independent sums hide each one's latency), then four, two
        // and one.
        const float *r[kMaxWindowRows];
        for (int64_t kh = 0; kh < ah.k && ah.k <= kMaxWindowRows; ++kh) r[kh] = in_row(kh);
        if (ah.k <= kMaxWindowRows) {
            ow = interior_columns<K, S, 8>(r, wk, init, g, ow, va, rdiv, row);
            ow = interior_columns<K, S, 4>(r, wk, init, g, ow, va, rdiv, row);
            ow = interior_columns<K, S, 2>(r, wk, init, g, ow, va, rdiv, row);
            ow = interior_columns<K, S, 1>(r, wk, init, g, ow, va, rdiv, row);
        }
        for (; ow < g.hi; ++ow) {
            __m256 acc = init;
            for (int64_t kh = 0; kh < ah.k; ++kh) {
                const float *xr = in_row(kh) + (ow * s - aw.p0) * kBlock;
                for (int64_t kw = 0; kw < aw.k; ++kw)
                    acc = combine<K>(acc, _mm256_loadu_ps(xr + kw * aw.d * kBlock),
                                     weight<K>(wk, kh * aw.k + kw));
            }
            _mm256_storeu_ps(row + ow * kBlock, finish<K>(acc, va, rdiv, ow));
        }
        if (K == WinKind::Depthwise && !act.clamp()) act.apply(row, aw.out * kBlock);
    }
}

template <WinKind K>
constexpr std::array<RowsFn, 3> window_kernels() {  // by stride: other, 1, 2
    return {&window_rows<K, 0>, &window_rows<K, 1>, &window_rows<K, 2>};
}

const std::array<RowsFn, 3> window_table[3] = {
    window_kernels<WinKind::Depthwise>(), window_kernels<WinKind::Max>(), window_kernels<WinKind::Avg>()};

// Depthwise convolution (kind Depthwise) or pooling of a blocked input; rows of the output are computed
// in place when it is blocked, or in the thread's scratch and scattered when it is plain.  A window with
// horizontal padding reads the input rows of a work item copied with the padding columns (the neutral
// value) into the thread's scratch, so that every output column takes the many-column loop: the border
// columns one at a time cost as much as the interior of a small plane.
class NchwcWindowOp : public Op {
public:
    WinKind kind;
    Tensor *x, *y;
    int64_t N, C, CB;
    Window g;
    Window staged;  // with padded rows: the geometry over them (no horizontal padding), else unused
    bool pad_cols = false;
    bool gather = false;  // a plain input: each item's rows are blocked into the scratch (depthwise)
    bool channels_last = false;  // gathered from x = [N, H, W, C] (Tensor::channels_last_of), else NCHW
    bool channels_last_out = false;  // y is [N, OH, OW, C] (Tensor::channels_last_of of the output)
    bool wide = false;  // depthwise on AVX-512, two channel blocks a work item (depthwise_pair_rows)
    PackedFloats wpk, bias;  // depthwise: weights [CB][KH][KW][8], bias [CB][8]; pools: the neutral value
    std::vector<float> divisors;  // average: reciprocal counts [OH][OW]
    std::vector<float> pad_row;   // the neutral value, a row of the input
    Activation act;

    // Rows of one work item: about 256 output positions, so that small planes are not split into rows
    // whose own overhead outweighs them.
    int64_t rows_per_item() const { return std::max<int64_t>(1, std::min(g.ah.out, 256 / g.aw.out)); }

    int64_t out_floats() const { return y->blocked ? 0 : rows_per_item() * g.aw.out * kBlock; }
    int64_t staged_floats() const {
        const int64_t rows = (rows_per_item() - 1) * g.ah.s + (g.ah.k - 1) * g.ah.d + 1;
        return pad_cols || gather ? rows * (pad_cols ? staged.aw.in : g.aw.in) * kBlock : 0;
    }
    int64_t blocks_per_item() const { return wide ? 2 : 1; }

    size_t scratch_floats() const override {
        return size_t((out_floats() + staged_floats()) * blocks_per_item());
    }

    // Copies input rows [ih0, ih1) of channel block cb of image n into `dst`, blocked, with the padding
    // columns when they are staged.
    ZELT_AVX2 void stage_rows(int64_t n, int64_t cb, int64_t ih0, int64_t ih1, float *dst) const {
        const int64_t W = g.aw.in, H = g.ah.in;
        const int64_t wide = pad_cols ? staged.aw.in : W, left = pad_cols ? g.aw.p0 * kBlock : 0;
        const float neutral = pad_row[0];
        const int64_t c0 = cb * kBlock, lanes = std::min(kBlock, C - c0);
        for (int64_t ih = ih0; ih < ih1; ++ih, dst += wide * kBlock) {
            std::fill(dst, dst + left, neutral);
            float *d = dst + left;
            if (channels_last) {
                const float *src = x->data + ((n * H + ih) * W * C + c0);
                for (int64_t w = 0; w < W; ++w, src += C) {
                    if (lanes == kBlock) {
                        _mm256_storeu_ps(d + w * kBlock, _mm256_loadu_ps(src));
                    } else {
                        for (int64_t c = 0; c < kBlock; ++c) d[w * kBlock + c] = c < lanes ? src[c] : 0.f;
                    }
                }
            } else if (gather) {
                const float *src = x->data + ((n * C + c0) * H + ih) * W;
                int64_t w = 0;
                for (; lanes == kBlock && w + 8 <= W; w += 8)
                    transpose8x8(src + w, H * W, d + w * kBlock, kBlock);
                for (; w < W; ++w)
                    for (int64_t c = 0; c < kBlock; ++c) d[w * kBlock + c] = c < lanes ? src[c * H * W + w] : 0.f;
            } else {
                std::memcpy(d, x->data + (((n * CB + cb) * H + ih) * W) * kBlock, size_t(W * kBlock) * 4);
            }
            std::fill(d + W * kBlock, dst + wide * kBlock, neutral);
        }
    }

    void run(RunCtx &ctx) override {
        const int64_t IHW = g.ah.in * g.aw.in, OH = g.ah.out, OW = g.aw.out, rows = rows_per_item();
        const int64_t per = blocks_per_item(), spans = (CB + per - 1) / per;
        const int64_t chunks = (OH + rows - 1) / rows, items = N * spans * chunks;
        const RowOut out{y, C, OH * OW, channels_last_out};
        const RowsFn fn = window_table[int(kind)][g.aw.s <= 2 ? size_t(g.aw.s) : 0];
        const double item_ns = double(rows * OW * g.ah.k * g.aw.k * per) * kTapNs;
        const bool dw = kind == WinKind::Depthwise, by_rows = channels_last || channels_last_out;
        const int64_t taps = g.ah.k * g.aw.k;
        ctx.pool.parallel_for(items, Cost{item_ns}, [&](int task, int64_t q0, int64_t q1) {
            float *tmp = ctx.scratch + size_t(task) * ctx.scratch_per_thread;
            for (int64_t q = q0; q < q1; ++q) {
                // Channels-last data is read or written a few channels at each position: the items of one
                // chunk of rows follow each other, so that their runs of channels make whole cache lines.
                const int64_t chunk = by_rows ? q / spans % chunks : q % chunks;
                const int64_t oh0 = chunk * rows, oh1 = std::min(OH, oh0 + rows);
                const int64_t cb0 = (by_rows ? q % spans : q / chunks % spans) * per, n = q / (chunks * spans);
                const int64_t nb = std::min(per, CB - cb0);
                const float *xs[2];
                float *dst[2];
                int64_t row0 = 0;
                for (int64_t b = 0; b < nb; ++b) {
                    const int64_t cb = cb0 + b;
                    xs[b] = gather ? nullptr : x->data + (n * CB + cb) * IHW * kBlock;
                    dst[b] = y->blocked ? y->data + ((n * CB + cb) * OH + oh0) * OW * kBlock
                                        : tmp + b * out_floats();
                    if (pad_cols || gather) {
                        const Axis &ah = g.ah;
                        row0 = std::max<int64_t>(0, oh0 * ah.s - ah.p0);
                        const int64_t end = std::min(ah.in, (oh1 - 1) * ah.s - ah.p0 + (ah.k - 1) * ah.d + 1);
                        float *rows_in = tmp + per * out_floats() + b * staged_floats();
                        stage_rows(n, cb, row0, std::max(row0, end), rows_in);
                        xs[b] = rows_in;
                    }
                }
                const Window &geo = pad_cols ? staged : g;
                if (nb == 2)
                    depthwise_pair_rows(xs[0], xs[1], row0, pad_row.data(), wpk.data() + cb0 * taps * kBlock,
                                        bias.data() + cb0 * kBlock, geo, oh0, oh1, act, dst[0], dst[1]);
                else
                    fn(xs[0], row0, pad_row.data(), dw ? wpk.data() + cb0 * taps * kBlock : nullptr,
                       dw ? bias.data() + cb0 * kBlock : bias.data(), geo, oh0, oh1,
                       divisors.empty() ? nullptr : divisors.data(), act, dst[0]);
                for (int64_t b = 0; b < nb; ++b)
                    for (int64_t oh = oh0; oh < oh1; ++oh)
                        out.put(dst[b] + (oh - oh0) * OW * kBlock, OW, n, cb0 + b, oh * OW);
            }
        });
    }
};

ZELT_AVX2 void global_pool(bool is_max, const float *x, int64_t HW, float *out8) {
    if (is_max) {
        __m256 acc = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
        for (int64_t i = 0; i < HW; ++i) acc = _mm256_max_ps(acc, _mm256_loadu_ps(x + i * kBlock));
        _mm256_storeu_ps(out8, acc);
        return;
    }
    // Four sums side by side: one chain of adds would wait on the add latency at every position.
    __m256 s[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
    int64_t i = 0;
    for (; i + 4 <= HW; i += 4)
        for (int k = 0; k < 4; ++k) s[k] = _mm256_add_ps(s[k], _mm256_loadu_ps(x + (i + k) * kBlock));
    for (; i < HW; ++i) s[0] = _mm256_add_ps(s[0], _mm256_loadu_ps(x + i * kBlock));
    const __m256 sum = _mm256_add_ps(_mm256_add_ps(s[0], s[1]), _mm256_add_ps(s[2], s[3]));
    _mm256_storeu_ps(out8, _mm256_div_ps(sum, _mm256_set1_ps(float(HW))));
}

// Global pooling of a blocked input into a plain [N, C, 1, 1] output.
class NchwcGlobalPoolOp : public Op {
public:
    bool is_max;
    Tensor *x, *y;
    int64_t N, C, CB, HW;
    void run(RunCtx &ctx) override {
        ctx.pool.parallel_for(N * CB, Cost{double(HW * kBlock) * kFloatNs}, [&](int64_t q0, int64_t q1) {
            for (int64_t q = q0; q < q1; ++q) {
                float out8[8];
                global_pool(is_max, x->data + q * HW * kBlock, HW, out8);
                const int64_t n = q / CB, c0 = q % CB * kBlock;
                for (int64_t c = c0; c < std::min(C, c0 + kBlock); ++c) y->data[n * C + c] = out8[c - c0];
            }
        });
    }
};

template <Bin K>
ZELT_AVX2 inline __m256 bin_vec(__m256 a, __m256 b) {
    if constexpr (K == Bin::Add) return _mm256_add_ps(a, b);
    if constexpr (K == Bin::Sub) return _mm256_sub_ps(a, b);
    if constexpr (K == Bin::Mul) return _mm256_mul_ps(a, b);
    if constexpr (K == Bin::Div) return _mm256_div_ps(a, b);
    if constexpr (K == Bin::PRelu)
        return _mm256_blendv_ps(a, _mm256_mul_ps(a, b), _mm256_cmp_ps(a, _mm256_setzero_ps(), _CMP_LT_OQ));
    if constexpr (K == Bin::Max || K == Bin::Min) {
        // NaN in either operand gives NaN, as in the plain kernel (maxps alone returns its second operand).
        const __m256 r = K == Bin::Max ? _mm256_max_ps(a, b) : _mm256_min_ps(a, b);
        return _mm256_blendv_ps(r, _mm256_add_ps(a, b), _mm256_cmp_ps(a, b, _CMP_UNORD_Q));
    }
    return a;
}

// y[i] = act(a[i] op b[i]) for `count` vectors; a step of 0 repeats one vector (a per-channel operand).
// `keep` clears the padding lanes of a partial channel block, which must stay finite for the readers.
template <Bin K>
ZELT_AVX2 void bin_span(const float *a, int64_t as, const float *b, int64_t bs, float *y, int64_t count,
                        const Activation &act, const float *keep) {
    const VecAct va(act);
    const __m256 mask = _mm256_loadu_ps(keep);
    constexpr int64_t kPiece = 128;  // vectors that stay in L1 between the operation and an activation pass
    for (int64_t i0 = 0; i0 < count; i0 += kPiece) {
        const int64_t i1 = std::min(count, i0 + kPiece);
        for (int64_t i = i0; i < i1; ++i) {
            __m256 v = _mm256_loadu_ps(a + i * as);
            if constexpr (K != Bin::None) v = bin_vec<K>(v, _mm256_loadu_ps(b + i * bs));
            _mm256_storeu_ps(y + i * kBlock, _mm256_and_ps(va(v), mask));
        }
        if (act.clamp()) continue;
        act.apply(y + i0 * kBlock, (i1 - i0) * kBlock);
        if (keep[kBlock - 1] == 0.f)  // padding lanes: the activation of 0 need not be 0
            for (int64_t i = i0; i < i1; ++i)
                _mm256_storeu_ps(y + i * kBlock, _mm256_and_ps(_mm256_loadu_ps(y + i * kBlock), mask));
    }
}

// y[i] = act(a[i] scale + shift) for `count` blocked vectors of one channel block; `keep` as in bin_span.
ZELT_AVX2 void affine_span(const float *a, const float *scale, const float *shift, float *y, int64_t count,
                           const Activation &act, const float *keep) {
    const VecAct va(act);
    const __m256 s = _mm256_loadu_ps(scale), t = _mm256_loadu_ps(shift), mask = _mm256_loadu_ps(keep);
    for (int64_t i = 0; i < count; ++i)
        _mm256_storeu_ps(y + i * kBlock,
                         _mm256_and_ps(va(_mm256_fmadd_ps(_mm256_loadu_ps(a + i * kBlock), s, t)), mask));
    if (act.clamp()) return;
    act.apply(y, count * kBlock);
    if (keep[kBlock - 1] == 0.f)
        for (int64_t i = 0; i < count; ++i)
            _mm256_storeu_ps(y + i * kBlock, _mm256_and_ps(_mm256_loadu_ps(y + i * kBlock), mask));
}

using BinSpan = void (*)(const float *, int64_t, const float *, int64_t, float *, int64_t, const Activation &,
                         const float *);
const BinSpan bin_spans[] = {&bin_span<Bin::None>, &bin_span<Bin::Add>,  &bin_span<Bin::Sub>,
                             &bin_span<Bin::Mul>,  &bin_span<Bin::Div>,  &bin_span<Bin::Max>,
                             &bin_span<Bin::Min>,  &bin_span<Bin::PRelu>};

// y = act(a op b), or y = act(a) alone, over blocked y of shape [N, C, H, W].  Each operand is blocked
// like y, or plain with one value per channel (and image), strides sn and sc.
class NchwcElementwiseOp : public Op {
public:
    struct Operand {
        Tensor *t = nullptr;
        bool blocked = false;
        int64_t sn = 0, sc = 0;
        // The vectors from vector `v` of y on, within channel block `cb` of image `n`, and their step.
        const float *at(int64_t v, int64_t n, int64_t cb, int64_t C, float *lanes, int64_t &step) const {
            step = blocked ? kBlock : 0;
            if (blocked) return t->data + v * kBlock;
            for (int64_t l = 0; l < kBlock; ++l) {
                const int64_t c = cb * kBlock + l;
                lanes[l] = c < C ? t->data[n * sn + c * sc] : 0.f;
            }
            return lanes;
        }
    };
    Bin kind = Bin::None;
    Operand a, b;
    Tensor *y;
    int64_t N, C, HW;
    Activation act;
    std::vector<float> scale, shift;  // an inference BatchNormalization: y = act(a scale + shift), [CB][8]

    void run(RunCtx &ctx) override {
        const int64_t CB = blocks_of(C);
        alignas(32) float all[8], last[8];
        for (int64_t l = 0; l < kBlock; ++l) {
            std::memset(all + l, 0xff, 4);
            std::memset(last + l, l < C - (CB - 1) * kBlock ? 0xff : 0, 4);
        }
        const BinSpan fn = bin_spans[int(kind)];
        ctx.pool.parallel_for(N * CB * HW, Cost{3 * kBlock * kFloatNs}, [&](int64_t v0, int64_t v1) {
            while (v0 < v1) {
                const int64_t q = v0 / HW, count = std::min(v1 - v0, (q + 1) * HW - v0);
                const int64_t n = q / CB, cb = q % CB;
                alignas(32) float la[8], lb[8];
                int64_t as = 0, bs = 0;
                const float *pa = a.at(v0, n, cb, C, la, as);
                const float *pb = b.t ? b.at(v0, n, cb, C, lb, bs) : nullptr;
                if (scale.empty())
                    fn(pa, as, pb, bs, y->data + v0 * kBlock, count, act, cb == CB - 1 ? last : all);
                else
                    affine_span(pa, scale.data() + cb * kBlock, shift.data() + cb * kBlock, y->data + v0 * kBlock,
                                count, act, cb == CB - 1 ? last : all);
                v0 += count;
            }
        });
    }
};

// Concatenation along the channels of blocked inputs, all but the last of whole blocks: per image, each
// input is one contiguous run of the output.  Inputs written in place by their producers are left out.
class NchwcConcatOp : public Op {
public:
    std::vector<std::pair<Tensor *, int64_t>> parts;  // inputs to copy and their offsets in an image
    Tensor *y;
    int64_t N;
    void run(RunCtx &ctx) override {
        const int64_t per_image = y->storage() / N, P = int64_t(parts.size());
        ctx.pool.parallel_for(
            N * P, Cost{double(per_image) / double(P) * 2 * kFloatNs}, [&](int64_t q0, int64_t q1) {
                for (int64_t q = q0; q < q1; ++q) {
                    const int64_t n = q / P;
                    const auto &[x, off] = parts[size_t(q % P)];
                    const int64_t len = x->storage() / N;
                    std::memcpy(y->data + n * per_image + off, x->data + n * len, size_t(len) * 4);
                }
            });
    }
};

// Concatenation along the channels where an input before the last ends in a partial block: the channels
// after it shift across the lanes.  Each output block takes its lanes from at most a few blocks of the
// inputs, each a permutation of the lanes and a blend, at every position.
class NchwcShiftConcatOp : public Op {
public:
    struct Source {
        int part;
        int64_t block;
        int32_t lanes[kBlock];  // the lane of the source block each output lane takes
        int32_t mask[kBlock];   // -1 where the output lane comes from this source
    };
    std::vector<Tensor *> parts;
    std::vector<std::vector<Source>> sources;  // per output block
    Tensor *y;
    int64_t N, HW;

    void plan(const std::vector<Tensor *> &in) {
        parts = in;
        std::vector<int64_t> offset{0};
        for (Tensor *t : in) offset.push_back(offset.back() + t->shape[1]);
        sources.resize(size_t(blocks_of(offset.back())));
        for (int64_t c = 0; c < offset.back(); ++c) {
            const int k = int(std::upper_bound(offset.begin(), offset.end(), c) - offset.begin()) - 1;
            const int64_t block = (c - offset[size_t(k)]) / kBlock;
            auto &list = sources[size_t(c / kBlock)];
            if (list.empty() || list.back().part != k || list.back().block != block)
                list.push_back({k, block, {}, {}});
            list.back().lanes[c % kBlock] = int32_t((c - offset[size_t(k)]) % kBlock);
            list.back().mask[c % kBlock] = -1;
        }
    }

    ZELT_AVX2 void run_block(int64_t n, int64_t ob) const {
        const auto &list = sources[size_t(ob)];
        const float *src[kBlock];
        __m256i lanes[kBlock];
        __m256 mask[kBlock];
        for (size_t k = 0; k < list.size(); ++k) {
            const Tensor *x = parts[size_t(list[k].part)];
            src[k] = x->data + (n * blocks_of(x->shape[1]) + list[k].block) * HW * kBlock;
            lanes[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(list[k].lanes));
            mask[k] = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(list[k].mask)));
        }
        float *dst = y->data + (n * int64_t(sources.size()) + ob) * HW * kBlock;
        for (int64_t i = 0; i < HW; ++i) {
            __m256 v = _mm256_setzero_ps();
            for (size_t k = 0; k < list.size(); ++k)
                v = _mm256_blendv_ps(v, _mm256_permutevar8x32_ps(_mm256_loadu_ps(src[k] + i * kBlock), lanes[k]),
                                     mask[k]);
            _mm256_storeu_ps(dst + i * kBlock, v);
        }
    }

    void run(RunCtx &ctx) override {
        const int64_t OB = int64_t(sources.size());
        ctx.pool.parallel_for(N * OB, Cost{double(HW * kBlock) * 3 * kFloatNs}, [&](int64_t q0, int64_t q1) {
            for (int64_t q = q0; q < q1; ++q) run_block(q / OB, q % OB);
        });
    }
};

// Channel ranges of whole blocks of a blocked input, as Split and Slice take them, for a batch of several
// images (for one image each range is a view of the input).
class NchwcChannelRangesOp : public Op {
public:
    Tensor *x;
    std::vector<int64_t> first;  // block of the input each output starts at
    int64_t N;
    void run(RunCtx &ctx) override {
        const int64_t per_image = x->storage() / N, K = int64_t(outs.size());
        const int64_t plane = x->shape[2] * x->shape[3] * kBlock;
        const double ns = double(per_image) / double(K) * 2 * kFloatNs;
        ctx.pool.parallel_for(N * K, Cost{ns}, [&](int64_t q0, int64_t q1) {
            for (int64_t q = q0; q < q1; ++q) {
                const int64_t n = q / K, k = q % K, len = outs[size_t(k)]->storage() / N;
                std::memcpy(outs[size_t(k)]->data + n * len,
                            x->data + n * per_image + first[size_t(k)] * plane, size_t(len) * 4);
            }
        });
    }
};

// Taps of one output position along one axis of a Resize: those of non-zero weight.
struct ResizeTaps {
    int n = 0;
    int64_t i[2] = {0, 0};
    float w[2] = {0, 0};
    bool copy() const { return n == 1 && w[0] == 1.f; }
};

std::vector<ResizeTaps> resize_taps(const AxisMap *m, int64_t out) {
    std::vector<ResizeTaps> r(static_cast<size_t>(out));
    for (int64_t j = 0; j < out; ++j) {
        ResizeTaps &t = r[size_t(j)];
        if (!m) {  // an axis the resize leaves as it is
            t = {1, {j, 0}, {1.f, 0}};
            continue;
        }
        for (int64_t k = 0; k < m->taps; ++k)
            if (const float w = m->w[size_t(j * m->taps + k)]; w != 0.f && t.n < 2) {
                t.i[t.n] = m->idx[size_t(j * m->taps + k)];
                t.w[t.n++] = w;
            }
    }
    return r;
}

// The weighted sum of the taps of one output position over vectors `x` spaced `stride` floats apart.
ZELT_AVX2 inline __m256 resize_sum(const ResizeTaps &t, const float *x, int64_t stride) {
    if (t.copy()) return _mm256_loadu_ps(x + t.i[0] * stride);
    __m256 acc = _mm256_setzero_ps();
    for (int k = 0; k < t.n; ++k)
        acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_set1_ps(t.w[k]), _mm256_loadu_ps(x + t.i[k] * stride)));
    return acc;
}

// Output row `oh` of one channel block: the input rows its taps weigh (in `tmp` when there are two), then
// the columns.
ZELT_AVX2 void resize_row(const float *xc, int64_t IW, const ResizeTaps &h, const ResizeTaps *w, int64_t OW,
                          float *tmp, float *y) {
    const float *r = xc + h.i[0] * IW * kBlock;
    if (!h.copy()) {
        for (int64_t iw = 0; iw < IW; ++iw)
            _mm256_storeu_ps(tmp + iw * kBlock, resize_sum(h, xc + iw * kBlock, IW * kBlock));
        r = tmp;
    }
    for (int64_t ow = 0; ow < OW; ++ow) _mm256_storeu_ps(y + ow * kBlock, resize_sum(w[ow], r, kBlock));
}

// Nearest or linear Resize of the spatial axes of a blocked tensor, separable as the plain operator: rows,
// then columns.
class NchwcResizeOp : public Op {
public:
    Tensor *x, *y;
    int64_t N, CB, IH, IW, OH, OW;
    std::vector<ResizeTaps> th, tw;  // per output row, per output column
    size_t scratch_floats() const override { return size_t(IW * kBlock); }
    void run(RunCtx &ctx) override {
        const int64_t rows = std::max<int64_t>(1, std::min(OH, 2048 / OW)), chunks = (OH + rows - 1) / rows;
        const double ns = double(rows * OW * kBlock) * 4 * kFloatNs;
        ctx.pool.parallel_for(N * CB * chunks, Cost{ns}, [&](int task, int64_t q0, int64_t q1) {
            float *tmp = ctx.scratch + size_t(task) * ctx.scratch_per_thread;
            for (int64_t q = q0; q < q1; ++q) {
                const int64_t plane = q / chunks, oh0 = q % chunks * rows, oh1 = std::min(OH, oh0 + rows);
                const float *xc = x->data + plane * IH * IW * kBlock;
                for (int64_t oh = oh0; oh < oh1; ++oh)
                    resize_row(xc, IW, th[size_t(oh)], tw.data(), OW, tmp,
                               y->data + (plane * OH + oh) * OW * kBlock);
            }
        });
    }
};

class ToPlainOp : public Op {
public:
    Tensor *x, *y;
    ZELT_AVX2 void run(RunCtx &ctx) override {
        const int64_t N = y->shape[0], C = y->shape[1], CB = blocks_of(C), HW = y->shape[2] * y->shape[3];
        ctx.pool.parallel_for(N * CB, Cost{double(HW * kBlock) * 3 * kFloatNs}, [&](int64_t q0, int64_t q1) {
            for (int64_t q = q0; q < q1; ++q) {
                const int64_t n = q / CB, c0 = q % CB * kBlock;
                unblock_row(x->data + q * HW * kBlock, HW, std::min(kBlock, C - c0), y->data + (n * C + c0) * HW,
                            HW);
            }
        });
    }
};

// Weights [M][wc][KH][KW] packed as [OB][ncb][KH][KW][bs][8] for C input channels per group, zero where a
// channel does not exist.  With `pair_group` (the output blocks of a group) the blocks of each group pair
// up from its first, as [ncb][KH][KW][bs][16] per pair (pair_row_kernels); an odd last block of a group
// stays [..][8].  Narrow groups (wc < C = 8, of `mo` outputs each) merge into one group of 8: output m
// reads its own group's wc channels there, and zeros for the others.
PackedFloats pack_weights(Planner &planner, Tensor *w, int64_t M, int64_t C, int64_t wc, int64_t bs,
                          int64_t KH, int64_t KW, int64_t pair_group, int64_t mo) {
    const int64_t OB = blocks_of(M), ncb = (C + bs - 1) / bs, w_ob = ncb * KH * KW * bs * kBlock;
    planner.charge(uint64_t(OB * w_ob), 4);
    planner.materialise(w);
    PackedFloats p(size_t(OB * w_ob), 0.f);
    for (int64_t m = 0; m < M; ++m) {
        // Block ob's weights start at ob * w_ob either way; a pair interleaves its two blocks from the first.
        const int64_t ob = m / kBlock, local = pair_group ? ob % pair_group : 0;
        const bool paired = pair_group && (local % 2 || local + 1 < pair_group);
        const int64_t base = (ob - (paired ? local % 2 : 0)) * w_ob, width = paired ? 2 * kBlock : kBlock;
        const int64_t lane = (paired ? local % 2 * kBlock : 0) + m % kBlock;
        const int64_t first = wc < C ? m % (C / wc * mo) / mo * wc : 0;  // where its channels start in the group
        for (int64_t c = first; c < first + wc; ++c)
            for (int64_t k = 0; k < KH * KW; ++k)
                p[size_t(base + ((c / bs * KH * KW + k) * bs + c % bs) * width + lane)] =
                    w->fdata[size_t((m * wc + c - first) * KH * KW + k)];
    }
    return p;
}

int64_t ceil_div(int64_t a, int64_t b) { return a >= 0 ? (a + b - 1) / b : -(-a / b); }

// The taps [k0, k1) of axis `a` whose input position o * s - p0 + k * d lies inside the input.
void inside_taps(const Axis &a, int64_t o, int64_t &k0, int64_t &k1) {
    k0 = std::max<int64_t>(0, ceil_div(a.p0 - o * a.s, a.d));
    k1 = std::min(a.k, ceil_div(a.in + a.p0 - o * a.s, a.d));
    if (k1 <= k0) k0 = k1 = 0;
}

// The taps inside the input of every output row and of every range of output columns (ConvTile), when
// skipping the others saves enough; false otherwise.
bool plan_inside_taps(Planner &p, const Axis &ah, const Axis &aw, std::vector<int64_t> &rows,
                      std::vector<ColumnTaps> &cols) {
    std::vector<int64_t> cuts{0, aw.out};
    for (int64_t kw = 0; kw < aw.k; ++kw) {
        int64_t lo, hi;
        valid_columns(kw * aw.d - aw.p0, aw.s, aw.in, aw.out, lo, hi);
        cuts.push_back(lo);
        cuts.push_back(hi);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    p.charge(uint64_t(ah.out) * 2 + cuts.size() * 4, 8);
    int64_t row_taps = 0, col_taps = 0;
    for (int64_t oh = 0; oh < ah.out; ++oh) {
        int64_t k0, k1;
        inside_taps(ah, oh, k0, k1);
        rows.push_back(k0);
        rows.push_back(k1);
        row_taps += k1 - k0;
    }
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        int64_t k0, k1;
        inside_taps(aw, cuts[i], k0, k1);
        if (!cols.empty() && cols.back().kw0 == k0 && cols.back().kw1 == k1)
            cols.back().b = cuts[i + 1];
        else
            cols.push_back({cuts[i], cuts[i + 1], k0, k1});
        col_taps += (cuts[i + 1] - cuts[i]) * (k1 - k0);
    }
    // Narrow column ranges run narrow tiles, which pay only for a good part of the taps saved; dilated
    // windows have wide ranges.
    const double share =
        double(row_taps) * double(col_taps) / (double(ah.out * ah.k) * double(aw.out * aw.k));
    if (share <= (ah.d > 1 || aw.d > 1 ? 0.9 : 0.75)) return true;
    rows.clear();
    cols.clear();
    return false;
}

PackedFloats pack_bias(Planner &planner, Tensor *b, int64_t M) {
    planner.charge(uint64_t(blocks_of(M) * kBlock), 4);
    if (b) planner.materialise(b);
    PackedFloats p(size_t(blocks_of(M) * kBlock), 0.f);
    if (b) std::copy(b->fdata.begin(), b->fdata.end(), p.begin());
    return p;
}

// The output of a Transpose that is the only reader, directly or through one view of [N, C, L], of plain
// `y` of shape `s` = [N, C, H, W], and moves its axis 1 to the last: the tokens [N, L, C] of a transformer
// made of an image.  Its shape set; nullptr for any other reader.
Tensor *channels_last_reader(const Planner &p, Tensor *y, const Shape &s) {
    if (y->blocked) return nullptr;
    const Node *c = p.single_consumer(y);
    Shape v = s;
    if (c && c->in[0] == y && c->out.size() == 1 && is_view(*c) && (!c->input(1) || c->input(1)->is_const())) {
        v = view_shape(*c, s);
        if (v.size() < 3 || v[0] != s[0] || v[1] != s[1]) return nullptr;
        y = c->out[0];
        c = p.single_consumer(y);
    }
    if (!c || c->op_type != "Transpose" || c->out.size() != 1 || c->in[0] != y) return nullptr;
    const std::vector<int64_t> perm = c->get_ints("perm");
    const size_t r = v.size();
    if (perm.size() != r || perm[0] != 0 || perm[r - 1] != 1) return nullptr;
    for (size_t i = 1; i + 1 < r; ++i)
        if (perm[i] != int64_t(i) + 1) return nullptr;
    Shape out{v[0]};
    out.insert(out.end(), v.begin() + 2, v.end());
    out.push_back(v[1]);
    set_shape(c->out[0], out);
    return c->out[0];
}

std::unique_ptr<Op> make_window_op(const Node &n, Planner &p) {
    auto op = std::make_unique<NchwcWindowOp>();
    op->x = n.in[0];
    op->gather = !op->x->blocked;
    const Shape &xs = op->x->shape;
    op->N = xs[0];
    op->C = xs[1];
    op->CB = blocks_of(op->C);
    std::vector<Axis> axes;
    Shape ys{xs[0], xs[1]};
    if (n.op_type == "Conv") {
        Tensor *w = n.in[1];
        axes = window_axes(n, xs, {w->shape[2], w->shape[3]}, false);
        op->kind = WinKind::Depthwise;
        op->wpk = pack_weights(p, w, op->C, 1, 1, 1, w->shape[2], w->shape[3], 0, 1);
        op->bias = pack_bias(p, n.input(2), op->C);
    } else {
        need_float(n, op->x);
        axes = window_axes(n, xs, n.get_ints("kernel_shape"), n.get_int("ceil_mode", 0) != 0);
        op->kind = n.op_type == "MaxPool" ? WinKind::Max : WinKind::Avg;
    }
    // The lowest finite value, not -inf: a window wholly in the padding gives it, as in the plain kernel.
    const float neutral = op->kind == WinKind::Max ? std::numeric_limits<float>::lowest() : 0.f;
    op->g.init(axes[0], axes[1]);
    // The depthwise kernel of reuse_window handles the border columns itself.
    const bool reuse = op->kind == WinKind::Depthwise && reuse_window(op->g);
    op->wide = reuse && avx512_available();
    // Separable pooling handles the border columns itself (window_rows).
    op->pad_cols = !reuse && !separable_pool(op->kind, axes[0], axes[1]) && (op->g.lo > 0 || op->g.hi < axes[1].out);
    Axis wide = axes[1];
    wide.in += wide.p0 + wide.p1;
    wide.p0 = wide.p1 = 0;
    op->staged.init(axes[0], wide);
    const int64_t row = op->pad_cols ? wide.in : xs[3];
    p.charge(uint64_t(row) * kBlock, 4);
    op->pad_row.assign(size_t(row * kBlock), neutral);
    if (op->kind != WinKind::Depthwise) {
        p.charge(kBlock, 4);
        op->bias.assign(kBlock, neutral);
    }
    ys.push_back(axes[0].out);
    ys.push_back(axes[1].out);
    if (op->kind == WinKind::Avg) {
        const bool include_pad = n.get_int("count_include_pad", 0) != 0;
        std::vector<int64_t> in_h, pad_h, in_w, pad_w;
        p.charge(uint64_t(axes[0].out * axes[1].out), 4);
        window_counts(p, axes[0], in_h, pad_h);
        window_counts(p, axes[1], in_w, pad_w);
        for (size_t i = 0; i < in_h.size(); ++i)
            for (size_t j = 0; j < in_w.size(); ++j)
                op->divisors.push_back(1.f / float(std::max<int64_t>(1, include_pad ? pad_h[i] * pad_w[j]
                                                                                   : in_h[i] * in_w[j])));
    }
    set_shape(n.out[0], ys);
    op->y = op->kind == WinKind::Depthwise ? fuse_activation(n, p, op->act) : n.out[0];
    set_shape(op->y, ys);
    op->y->blocked = wants_blocked(p, op->y, ys);
    if (Tensor *tokens = op->kind == WinKind::Depthwise ? channels_last_reader(p, op->y, ys) : nullptr) {
        op->y->channels_last_of = tokens;
        op->y = tokens;
        op->channels_last_out = true;
    }
    if (Tensor *src = op->x->channels_last_of) {
        op->x = src;
        op->channels_last = true;
    }
    op->ins = {op->x};
    op->outs = {op->y};
    return op;
}

}  // namespace

bool nchwc_available() {
    static const bool ok = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return ok;
}

// Whether `t` of shape `s` can be stored blocked.  A plane of one position gains nothing from blocking:
// [N, C, 1, 1] stays plain, the operand of matrix-vector products and channel scales.
bool blockable(const Tensor *t, const Shape &s) {
    return nchwc_available() && !t->is_output && t->dtype == DType::F32 && s.size() == 4 && numel_of(s) &&
           s[2] * s[3] != 1;
}

bool gathers_channels_last(const Node &c, const Shape &s) {
    if (c.op_type != "Conv" || !nchwc_available() || !conv_supported(c, s)) return false;
    const Shape &ws = c.in[1]->shape;
    return c.get_int("group", 1) == s[1] && s[1] > 1 && ws[0] == s[1] && ws[1] == 1;
}

bool wants_blocked(const Planner &p, const Tensor *t, const Shape &s) {
    if (!blockable(t, s)) return false;
    bool read = false;
    for (size_t k = p.index + 1; k < p.nodes.size(); ++k)
        for (size_t i = 0; i < p.nodes[k].in.size(); ++i)
            if (p.nodes[k].in[i] == t) {
                if (!blocked_reader(p.nodes[k], i, s)) return false;
                read = true;
            }
    return read;
}

bool accepts_blocked(const Node &n, size_t i, const Planner &p) {
    const Tensor *t = n.in[i];
    if (!blocked_reader(n, i, t->shape)) return false;
    if (n.op_type == "Conv" || n.op_type.find("Pool") != std::string::npos || reduces_plane(n)) return true;
    Activation act;
    if (n.op_type == "BatchNormalization") {
        const Node *next = activation_after(p, n.out[0], act);
        return wants_blocked(p, next ? next->out[0] : n.out[0], t->shape);
    }
    if (bin_kind(n) != Bin::None) {
        const Tensor *o = n.in[1 - i];
        const Node *next = activation_after(p, n.out[0], act);
        return (o->blocked ? o->shape == t->shape : per_channel(o, t->shape)) &&
               wants_blocked(p, next ? next->out[0] : n.out[0], t->shape);
    }
    if (n.op_type == "Concat") {
        Shape ys = t->shape;
        ys[1] = 0;
        for (size_t k = 0; k < n.in.size(); ++k) {
            const Tensor *x = n.in[k];
            if (!x || !x->blocked || x->shape.size() != 4) return false;
            for (size_t d : {0, 2, 3})
                if (x->shape[d] != t->shape[d]) return false;
            ys[1] += x->shape[1];
        }
        return wants_blocked(p, n.out[0], ys);
    }
    if (n.op_type == "Split" || n.op_type == "Slice") {
        std::vector<std::pair<int64_t, int64_t>> parts;
        channel_parts(n, t->shape, parts);
        for (size_t k = 0; k < n.out.size(); ++k)
            if (wants_blocked(p, n.out[k], {t->shape[0], parts[k].second, t->shape[2], t->shape[3]}))
                return true;
        return false;
    }
    if (n.op_type == "Resize") {
        Shape out;
        resize_output(n, t->shape, out);
        return wants_blocked(p, n.out[0], out);
    }
    return wants_blocked(p, n.out[0], t->shape);  // an activation
}

std::unique_ptr<Op> make_nchwc_conv(const Node &n, Planner &p) {
    if (!nchwc_available() || !n.input(0) || !conv_supported(n, n.in[0]->shape)) return nullptr;
    Tensor *x = n.in[0], *w = n.in[1], *scale = x->channel_scale;
    if (scale) x = x->scaled_of;  // a channel scale folded into the weights (fold_channel_scale)
    const Shape &xs = x->shape, &ws = w->shape;
    const int64_t group = n.get_int("group", 1);
    // Depthwise: a plain input is blocked row by row as the work items read it.
    if (group > 1 && ws[1] == 1 && group == xs[1] && ws[0] == xs[1]) return make_window_op(n, p);
    // Narrow groups run as groups of one channel block.
    const int64_t G = narrow_groups(n, xs[1], ws[0], ws[1]) ? xs[1] / kBlock : group;
    auto axes = window_axes(n, xs, {ws[2], ws[3]}, false);
    const Shape ys{xs[0], ws[0], axes[0].out, axes[1].out};

    // Fusions: the residual Add that is the only reader of the output (its other operand already computed
    // and blocked), then the activation after that, or the activation right after the convolution.
    Activation act;
    const Node *add = nullptr, *act_node = nullptr;
    Tensor *res = nullptr, *y = nullptr;
    if (const Node *c = p.single_consumer(n.out[0]); c && is_sum2(*c)) {
        Tensor *other = c->in[0] == n.out[0] ? c->in[1] : c->in[0];
        if (other != n.out[0] && other->shaped && other->blocked && other->shape == ys) {
            act_node = activation_after(p, c->out[0], act);
            y = act_node ? act_node->out[0] : c->out[0];
            if (wants_blocked(p, y, ys)) {
                add = c;
                res = other;
            }
        }
    }
    if (!add) {
        act_node = activation_after(p, n.out[0], act);
        y = act_node ? act_node->out[0] : n.out[0];
    }
    // A convolution writes blocked even for plain readers: they get one conversion, eight positions at a
    // time, where the tiles would scatter every vector lane by lane.
    const bool y_blocked = wants_blocked(p, y, ys) || blockable(y, ys);
    // Plain in and out, the im2col product through OpenBLAS is as fast as the AVX2 tiles, not as the AVX-512 ones.
    if (!x->blocked && !y_blocked && !avx512_available()) return nullptr;

    set_shape(n.out[0], ys);
    if (add) mark_fused(p, add, ys);
    if (act_node) mark_fused(p, act_node, ys);
    y->blocked = y_blocked;
    // A residual read by nothing else is overwritten in place: one stream of memory instead of two.
    const bool in_place = res && p.consumers.at(res) == 1 && !res->alias && x->root() != res &&
                          std::none_of(p.tensors.begin(), p.tensors.end(),
                                       [&](const std::unique_ptr<Tensor> &t) { return t->alias == res; });
    if (in_place) y->alias = res;

    if (auto op = make_winograd_conv(n, p, x, y, res, act, axes[0], axes[1])) {
        op->op_type = std::string("Conv") + (res ? "+Add" : "") + (act_node ? "+Act" : "");
        return op;
    }
    auto op = std::make_unique<NchwcConvOp>();
    op->x = x;
    op->y = y;
    op->res = res;
    op->act = act;
    op->N = xs[0];
    op->C = xs[1];
    op->M = ws[0];
    op->OB = blocks_of(op->M);
    op->ah = axes[0];
    op->aw = axes[1];
    op->bs = x->blocked || xs[1] >= kBlock ? kBlock : 1;
    op->ncb = (op->C + op->bs - 1) / op->bs;
    op->G = G;
    op->gcb = op->ncb / G;
    const int64_t OBg = op->OB / G;  // output blocks of a group
    op->pairs = avx512_available() && OBg >= 2;
    op->wpk = pack_weights(p, w, op->M, op->C / G, ws[1], op->bs, ws[2], ws[3], op->pairs ? OBg : 0,
                           ws[0] / group);
    op->bias = pack_bias(p, n.input(2), op->M);
    if ((op->scale = scale)) {
        p.charge(op->wpk.size(), 4);
        op->wsc.resize(op->wpk.size());
    }
    const Axis &ah = op->ah, &aw = op->aw;
    const bool padded = ah.p0 || ah.p1 || aw.p0 || aw.p1, pointwise = ah.k == 1 && aw.k == 1 && !padded;
    op->KH = ah.k, op->KW = aw.k, op->SH = ah.s, op->SW = aw.s, op->DH = ah.d, op->DW = aw.d;
    op->IH = ah.in + ah.p0 + ah.p1, op->IW = aw.in + aw.p0 + aw.p1;
    op->OH = ah.out, op->OW = aw.out;
    if (pointwise) {
        // Positions are consecutive in the input (after sampling, for a stride) and the output alike.
        op->subsample = ah.s > 1 || aw.s > 1;
        op->SH = op->SW = 1;
        op->IH = op->OH = 1;
        op->OW = ah.out * aw.out;
        op->IW = op->subsample ? op->OW : ah.in * aw.in;
    }
    // A blocked input is read where it is when the tiles skip the taps in the padding.
    const bool skips = padded && !pointwise && plan_inside_taps(p, ah, aw, op->tap_rows, op->tap_cols);
    if (skips && x->blocked) {
        op->IH = ah.in, op->IW = aw.in;
        op->ph = ah.p0, op->pw = aw.p0;
    }
    if ((padded && !(skips && x->blocked)) || op->subsample || x->blocked != (op->bs == kBlock))
        op->staged = p.temporary(n.name + "/staged", xs[0] * op->ncb * op->IH * op->IW * op->bs);
    // Work items of whole pairs: 3 where rows are narrow (8 columns a tile) or the blocks come in sixes.
    const bool narrow = !pointwise && op->OW <= 8;
    op->per_item = op->pairs ? std::min<int64_t>(OBg, (OBg % 6 == 0 && OBg % 4) || narrow ? 6 : 4)
                             : std::min<int64_t>(OBg, op->bs == kBlock && ((OBg % 3 == 0 && OBg % 2) || narrow) ? 3 : 2);
    const int64_t pass_bytes = op->per_item * op->KH * op->KW * op->bs * kBlock * 4;
    // Partial sums go to the output between passes: one pass for a plain output, or one in place of the
    // residual.
    op->chunk = y_blocked && !in_place ? std::max<int64_t>(1, kWeightBytes / pass_bytes) : op->gcb;
    op->ins = {x};
    if (res) op->ins.push_back(res);
    if (op->staged) op->ins.push_back(op->staged);
    if (scale) op->ins.push_back(scale);
    op->outs = {y};
    op->op_type = std::string(scale ? "Mul+" : "") + "Conv" + (res ? "+Add" : "") + (act_node ? "+Act" : "");
    return op;
}

namespace {

// Whether Mul `n` scales a blocked image x by one value per channel for a pointwise convolution of
// stride 1, its only reader, with no more output channels than positions (squeeze-and-excitation before
// a projection): then the convolution scales its weights at each run, which reads fewer floats than a
// pass over x writing the product.
bool fold_channel_scale(const Node &n, const Planner &p, Tensor *&x, Tensor *&s) {
    if (bin_kind(n) != Bin::Mul || n.in.size() != 2 || n.in[0] == n.in[1] || n.out[0]->is_output)
        return false;
    x = n.in[0]->blocked ? n.in[0] : n.in[1];
    s = x == n.in[0] ? n.in[1] : n.in[0];
    const Shape &xs = x->shape;
    if (!x->blocked || s->blocked || xs[0] != 1 || s->numel != xs[1] || !per_channel(s, xs)) return false;
    const Node *c = p.single_consumer(n.out[0]);
    if (!c || c->op_type != "Conv" || c->in[0] != n.out[0] || !conv_supported(*c, xs)) return false;
    const Shape &ws = c->in[1]->shape;
    return c->get_int("group", 1) == 1 && ws[2] == 1 && ws[3] == 1 && ws[0] <= xs[2] * xs[3] &&
           c->get_ints("strides", {1, 1}) == std::vector<int64_t>{1, 1} &&
           c->get_ints("pads", {0, 0, 0, 0}) == std::vector<int64_t>{0, 0, 0, 0};
}

}  // namespace

std::unique_ptr<Op> make_nchwc_op(const Node &n, Planner &p) {
    const std::string &t = n.op_type;
    Tensor *x = n.in[0];
    if (t == "Conv") return make_nchwc_conv(n, p);
    if (t == "MaxPool" || t == "AveragePool") return make_window_op(n, p);
    if (t == "GlobalAveragePool" || t == "GlobalMaxPool" || reduces_plane(n)) {
        auto op = std::make_unique<NchwcGlobalPoolOp>();
        op->is_max = t == "GlobalMaxPool" || t == "ReduceMax";
        op->x = x;
        op->N = x->shape[0];
        op->C = x->shape[1];
        op->CB = blocks_of(op->C);
        op->HW = x->shape[2] * x->shape[3];
        op->y = n.out[0];
        // The plain [N, C, 1, 1] output, or [N, C] for a reduction that drops the axes: the same floats.
        const bool keep = t.compare(0, 6, "Reduce") != 0 || n.get_int("keepdims", 1) != 0;
        set_shape(op->y, keep ? Shape{op->N, op->C, 1, 1} : Shape{op->N, op->C});
        op->ins = {x};
        op->outs = {op->y};
        return op;
    }
    if (t == "Concat") {
        Shape ys = x->shape;
        ys[1] = 0;
        for (Tensor *in : n.in) ys[1] += in->shape[1];
        if (std::any_of(n.in.begin(), n.in.end() - 1, [](const Tensor *in) { return in->shape[1] % kBlock; })) {
            auto op = std::make_unique<NchwcShiftConcatOp>();
            op->y = n.out[0];
            set_shape(op->y, ys);
            op->y->blocked = true;
            op->N = ys[0];
            op->HW = ys[2] * ys[3];
            op->plan(n.in);
            op->ins = n.in;
            op->outs = {op->y};
            return op;
        }
        auto op = std::make_unique<NchwcConcatOp>();
        op->N = ys[0];
        op->y = n.out[0];
        set_shape(op->y, ys);
        op->y->blocked = true;
        // One image: each input is one run of the output, so its producer can write it in place, unless it
        // is read twice here or already lives in another tensor's storage.
        int64_t offset = 0;
        for (Tensor *in : n.in) {
            if (op->N == 1 && !in->alias && std::count(n.in.begin(), n.in.end(), in) == 1) {
                in->alias = op->y;
                in->alias_offset = offset;
            } else {
                op->parts.emplace_back(in, offset);
                op->ins.push_back(in);
            }
            offset += in->storage() / op->N;
        }
        if (op->parts.empty()) return nullptr;
        op->outs = {op->y};
        return op;
    }
    if (t == "Resize") {
        Shape out;
        auto maps = resize_maps(n, p, x->shape, out);
        auto op = std::make_unique<NchwcResizeOp>();
        const AxisMap *m[4] = {};
        for (auto &[a, map] : maps) m[a] = &map;
        if (m[0] || m[1]) fail(n, "resizes more than the spatial axes");  // resize_output checked this
        op->x = x;
        op->N = out[0];
        op->CB = blocks_of(out[1]);
        op->IH = x->shape[2], op->IW = x->shape[3], op->OH = out[2], op->OW = out[3];
        p.charge(uint64_t(op->OH + op->OW), sizeof(ResizeTaps));
        op->th = resize_taps(m[2], op->OH);
        op->tw = resize_taps(m[3], op->OW);
        op->y = n.out[0];
        set_shape(op->y, out);
        op->y->blocked = true;
        op->ins = {x};
        op->outs = {op->y};
        return op;
    }
    if (t == "Split" || t == "Slice") {
        std::vector<std::pair<int64_t, int64_t>> parts;
        channel_parts(n, x->shape, parts);
        auto op = std::make_unique<NchwcChannelRangesOp>();
        op->x = x;
        op->N = x->shape[0];
        const int64_t plane = x->shape[2] * x->shape[3] * kBlock;
        for (size_t k = 0; k < n.out.size(); ++k) {
            Tensor *out = n.out[k];
            set_shape(out, {op->N, parts[k].second, x->shape[2], x->shape[3]});
            out->blocked = true;
            op->first.push_back(parts[k].first / kBlock);
            if (op->N == 1) {  // a view
                out->alias = x;
                out->alias_offset = parts[k].first / kBlock * plane;
            }
        }
        if (op->N == 1) return nullptr;
        op->ins = {x};
        op->outs = n.out;
        return op;
    }
    auto op = std::make_unique<NchwcElementwiseOp>();
    if (t == "BatchNormalization") {
        const int64_t C = x->shape[1], CB = blocks_of(C);
        p.charge(uint64_t(C) * 4 + uint64_t(CB * kBlock) * 2, 4);
        auto sc = const_floats(n, n.in[1], "scale", C), bi = const_floats(n, n.in[2], "B", C);
        auto mean = const_floats(n, n.in[3], "mean", C), var = const_floats(n, n.in[4], "var", C);
        const float eps = n.get_float("epsilon", 1e-5f);
        op->scale.assign(size_t(CB * kBlock), 0.f);
        op->shift.assign(size_t(CB * kBlock), 0.f);
        for (size_t c = 0; c < size_t(C); ++c) {
            op->scale[c] = sc[c] / std::sqrt(var[c] + eps);
            op->shift[c] = bi[c] - mean[c] * op->scale[c];
        }
        op->N = x->shape[0], op->C = C, op->HW = x->shape[2] * x->shape[3];
        op->a = {x, true};
        set_shape(n.out[0], x->shape);
        op->y = fuse_activation(n, p, op->act);
        set_shape(op->y, x->shape);
        op->y->blocked = true;
        op->ins = {x};
        op->outs = {op->y};
        return op;
    }
    if (Tensor *scaled, *scale; fold_channel_scale(n, p, scaled, scale)) {
        Tensor *y = n.out[0];
        set_shape(y, scaled->shape);
        y->blocked = true;
        y->scaled_of = scaled;
        y->channel_scale = scale;
        return nullptr;
    }
    op->kind = bin_kind(n);
    const bool binary = op->kind != Bin::None;
    const Shape ys = (x->blocked ? x : n.in[1])->shape;
    op->N = ys[0];
    op->C = ys[1];
    op->HW = ys[2] * ys[3];
    auto operand = [&](Tensor *t) {
        NchwcElementwiseOp::Operand o{t, t->blocked};
        if (!t->blocked) {
            // Right-aligned to [N, C, 1, 1]: a dimension of 1 (or none) repeats.
            const Shape &s = t->shape;
            const int64_t dn = s.size() >= 4 ? s[s.size() - 4] : 1, dc = s.size() >= 3 ? s[s.size() - 3] : 1;
            o.sc = dc == 1 ? 0 : 1;
            o.sn = dn == 1 ? 0 : dc;
        }
        return o;
    };
    op->a = operand(x);
    if (binary) op->b = operand(n.in[1]);
    if (binary) {
        set_shape(n.out[0], ys);
        op->y = fuse_activation(n, p, op->act);
    } else {
        fusable_activation(n, op->act);
        op->y = n.out[0];
    }
    set_shape(op->y, ys);
    op->y->blocked = true;
    op->ins = {x};
    if (binary) op->ins.push_back(n.in[1]);
    op->outs = {op->y};
    return op;
}

std::unique_ptr<Op> make_to_plain(Tensor *x, Tensor *y) {
    auto op = std::make_unique<ToPlainOp>();
    op->x = x;
    op->y = y;
    op->ins = {x};
    op->outs = {y};
    op->op_type = "Reorder";
    return op;
}

}  // namespace zelt::engine
