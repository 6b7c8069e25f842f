// Elementwise, shape, data-movement and reduction operators, and the operator registry.
#include <limits>
#include <set>

#include "nchwc.hpp"

namespace zelt::engine {

std::unique_ptr<Op> make_nn_op(const Node &n, Planner &p);
std::unique_ptr<Op> make_softmax(const Node &n);
std::unique_ptr<Op> make_layernorm(const Node &n, Planner &p);

namespace {

void need_constant(const Node &node, const Tensor *t, const char *what, int64_t max_count) {
    if (!t || !t->is_const()) fail(node, std::string(what) + " must be a constant");
    if (t->numel > max_count) fail(node, std::string(what) + " has too many values");
}

}  // namespace

std::vector<int64_t> const_ints(const Node &node, const Tensor *t, const char *what, int64_t max_count) {
    need_constant(node, t, what, max_count);
    if (t->kind == Tensor::Fill)
        return std::vector<int64_t>(size_t(t->numel),
                                    t->dtype == DType::I64 ? t->fill_i : checked_int(node, t->fill_f, what));
    if (t->dtype == DType::I64) return t->idata;
    std::vector<int64_t> r;
    for (float f : t->fdata) r.push_back(checked_int(node, f, what));
    return r;
}

std::vector<float> const_floats(const Node &node, const Tensor *t, const char *what, int64_t max_count) {
    need_constant(node, t, what, max_count);
    if (t->kind == Tensor::Fill)
        return std::vector<float>(size_t(t->numel), t->dtype == DType::F32 ? t->fill_f : float(t->fill_i));
    if (t->dtype == DType::F32) return t->fdata;
    return std::vector<float>(t->idata.begin(), t->idata.end());
}

void need_float(const Node &node, const Tensor *t) {
    if (t->dtype != DType::F32) fail(node, "input '" + t->name + "' must be float32");
}

int64_t norm_axis(const Node &node, int64_t axis, size_t rank) {
    int64_t r = int64_t(rank);
    if (axis < -r || axis >= r) fail(node, "axis " + std::to_string(axis) + " out of range");
    return axis < 0 ? axis + r : axis;
}

std::vector<int64_t> strides_of(const Shape &s) {
    std::vector<int64_t> st(s.size(), 1);
    for (size_t i = s.size(); i-- > 1;) st[i - 1] = st[i] * s[i];
    return st;
}

Tensor *fuse_activation(const Node &node, Planner &p, Activation &act) {
    Tensor *out = node.out[0];
    const Node *next = p.single_consumer(out);
    if (!next || next->input(0) != out || next->out.size() != 1 || !fusable_activation(*next, act)) {
        act.kind = Activation::None;
        return out;
    }
    p.fused[size_t(next - p.nodes.data())] = true;
    return next->out[0];
}

namespace {

// ---------------------------------------------------------------- broadcasting

// Iteration plan of an elementwise operation over up to three broadcast operands.
struct Broadcast {
    Shape dims;                                 // collapsed output dimensions
    std::vector<std::vector<int64_t>> strides;  // per operand, per collapsed dimension (0 = broadcast)

    static bool shape_of(const std::vector<Shape> &shapes, Shape &out) {
        size_t r = 0;
        for (auto &s : shapes) r = std::max(r, s.size());
        out.assign(r, 1);
        for (auto &s : shapes)
            for (size_t i = 0; i < s.size(); ++i) {
                int64_t d = s[i];
                int64_t &o = out[r - s.size() + i];
                if (d == o || d == 1) continue;
                if (o != 1) return false;
                o = d;
            }
        // A zero-sized operand makes the output zero-sized along that axis.
        for (auto &s : shapes)
            for (size_t i = 0; i < s.size(); ++i)
                if (s[i] == 0) out[r - s.size() + i] = 0;
        return true;
    }

    Broadcast(const Shape &out, const std::vector<Shape> &ins) {
        size_t r = out.size();
        std::vector<std::vector<int64_t>> full;
        for (auto &s : ins) {
            Shape p(r - s.size(), 1);
            p.insert(p.end(), s.begin(), s.end());
            auto st = strides_of(p);
            for (size_t i = 0; i < r; ++i)
                if (p[i] == 1) st[i] = 0;
            full.push_back(st);
        }
        // Merge neighbouring dimensions that every operand walks the same way.
        for (size_t i = 0; i < r; ++i) {
            if (out[i] == 1 && r > 1) continue;
            bool merge = !dims.empty();
            for (size_t k = 0; merge && k < full.size(); ++k)
                merge = strides[k].back() == full[k][i] * out[i];
            if (merge) {
                dims.back() *= out[i];
                for (size_t k = 0; k < full.size(); ++k) strides[k].back() = full[k][i];
            } else {
                dims.push_back(out[i]);
                if (strides.empty()) strides.resize(full.size());
                for (size_t k = 0; k < full.size(); ++k) strides[k].push_back(full[k][i]);
            }
        }
        if (dims.empty()) {
            dims.push_back(1);
            strides.assign(full.size(), {0});
        }
    }

    int64_t inner() const { return dims.back(); }
    int64_t rows() const {
        int64_t n = 1;
        for (size_t i = 0; i + 1 < dims.size(); ++i) n *= dims[i];
        return n;
    }
    // Start offset of operand k for outer row `row`.
    int64_t offset(size_t k, int64_t row) const {
        int64_t off = 0;
        for (size_t i = dims.size() - 1; i-- > 0;) {
            off += (row % dims[i]) * strides[k][i];
            row /= dims[i];
        }
        return off;
    }
};

enum class BinKind { Add, Sub, Mul, Div, Pow, Max, Min, PRelu };

template <BinKind K>
inline float bin(float a, float b) {
    if constexpr (K == BinKind::Add) return a + b;
    if constexpr (K == BinKind::Sub) return a - b;
    if constexpr (K == BinKind::Mul) return a * b;
    if constexpr (K == BinKind::Div) return a / b;
    if constexpr (K == BinKind::Pow) return std::pow(a, b);
    if constexpr (K == BinKind::Max) return std::isnan(a) || std::isnan(b) ? NAN : std::max(a, b);
    if constexpr (K == BinKind::Min) return std::isnan(a) || std::isnan(b) ? NAN : std::min(a, b);
    if constexpr (K == BinKind::PRelu) return a < 0 ? a * b : a;
}

template <BinKind K>
void bin_rows(const Broadcast &bc, const float *a, const float *b, float *y, int64_t r0, int64_t r1) {
    const int64_t n = bc.inner(), sa = bc.strides[0].back(), sb = bc.strides[1].back();
    for (int64_t r = r0; r < r1; ++r) {
        const float *ap = a + bc.offset(0, r);
        const float *bp = b + bc.offset(1, r);
        float *yp = y + r * n;
        if (sa == 1 && sb == 1) {
            for (int64_t i = 0; i < n; ++i) yp[i] = bin<K>(ap[i], bp[i]);
        } else if (sa == 1) {
            const float bv = bp[0];
            for (int64_t i = 0; i < n; ++i) yp[i] = bin<K>(ap[i], bv);
        } else if (sb == 1) {
            const float av = ap[0];
            for (int64_t i = 0; i < n; ++i) yp[i] = bin<K>(av, bp[i]);
        } else {
            for (int64_t i = 0; i < n; ++i) yp[i] = bin<K>(ap[i * sa], bp[i * sb]);
        }
    }
}

using BinFn = void (*)(const Broadcast &, const float *, const float *, float *, int64_t, int64_t);

BinFn bin_fn(BinKind k) {
    switch (k) {
        case BinKind::Add:
            return bin_rows<BinKind::Add>;
        case BinKind::Sub:
            return bin_rows<BinKind::Sub>;
        case BinKind::Mul:
            return bin_rows<BinKind::Mul>;
        case BinKind::Div:
            return bin_rows<BinKind::Div>;
        case BinKind::Pow:
            return bin_rows<BinKind::Pow>;
        case BinKind::Max:
            return bin_rows<BinKind::Max>;
        case BinKind::Min:
            return bin_rows<BinKind::Min>;
        case BinKind::PRelu:
            return bin_rows<BinKind::PRelu>;
    }
    return nullptr;
}

// y = in0 (op) in1 (op) in2 ..., folded left to right; Mean divides at the end.
class ElementwiseOp : public Op {
public:
    BinFn fn;
    std::vector<Tensor *> xs;
    Tensor *y;
    std::vector<Broadcast> steps;  // step k combines the running result (or xs[0]) with xs[k+1]
    std::unique_ptr<Broadcast> first;
    float scale = 1.f;
    void run(RunCtx &ctx) override {
        const float *acc = xs[0]->data;
        if (first) {
            // A single operand (Sum of one input, Expand): broadcast copy.
            const Broadcast &bc = *first;
            ctx.pool.parallel_for(bc.rows(), Cost{double(bc.inner()) * 2 * kFloatNs},
                                  [&](int64_t r0, int64_t r1) {
                                      for (int64_t r = r0; r < r1; ++r) {
                                          const float *src = acc + bc.offset(0, r);
                                          float *dst = y->data + r * bc.inner();
                                          int64_t s = bc.strides[0].back();
                                          for (int64_t i = 0; i < bc.inner(); ++i) dst[i] = src[i * s];
                                      }
                                  });
            acc = y->data;
        }
        for (size_t k = 0; k < steps.size(); ++k) {
            const Broadcast &bc = steps[k];
            const float *rhs = xs[k + 1]->data;
            ctx.pool.parallel_for(bc.rows(), Cost{double(bc.inner()) * 3 * kFloatNs},
                                  [&](int64_t r0, int64_t r1) { fn(bc, acc, rhs, y->data, r0, r1); });
            acc = y->data;
        }
        if (scale != 1.f) {
            ctx.pool.parallel_for(y->numel, Cost{2 * kFloatNs}, [&](int64_t i0, int64_t i1) {
                for (int64_t i = i0; i < i1; ++i) y->data[i] *= scale;
            });
        }
    }
};

std::unique_ptr<Op> make_elementwise(const Node &n, BinKind kind, bool mean) {
    auto op = std::make_unique<ElementwiseOp>();
    op->fn = bin_fn(kind);
    if (n.in.empty() || n.out.size() != 1) fail(n, "needs inputs and one output");
    std::vector<Shape> shapes;
    for (Tensor *t : n.in) {
        if (!t) fail(n, "missing input");
        need_float(n, t);
        op->xs.push_back(t);
        shapes.push_back(t->shape);
    }
    Shape out;
    if (!Broadcast::shape_of(shapes, out)) fail(n, "input shapes do not broadcast");
    op->y = n.out[0];
    set_shape(op->y, out);
    // The running result has the output shape from the first step on.  The first step broadcasts both
    // its operands; a copy of the first operand to the output shape is needed only for a single operand,
    // or before more steps.
    if (op->xs.size() == 1 || (op->xs.size() > 2 && op->xs[0]->shape != out))
        op->first = std::make_unique<Broadcast>(out, std::vector<Shape>{op->xs[0]->shape});
    for (size_t k = 1; k < op->xs.size(); ++k) {
        Shape lhs = (k == 1 && !op->first) ? op->xs[0]->shape : out;
        op->steps.emplace_back(out, std::vector<Shape>{lhs, op->xs[k]->shape});
    }
    if (mean) op->scale = 1.f / float(op->xs.size());
    op->ins = op->xs;
    op->outs = {op->y};
    return op;
}

std::unique_ptr<Op> make_expand(const Node &n) {
    auto op = std::make_unique<ElementwiseOp>();
    Tensor *x = n.input(0);
    if (!x || n.out.size() != 1) fail(n, "needs an input and one output");
    need_float(n, x);
    auto shape = const_ints(n, n.input(1), "shape");
    Shape out;
    if (!Broadcast::shape_of({x->shape, shape}, out)) fail(n, "shape does not broadcast");
    op->xs = {x};
    op->y = n.out[0];
    set_shape(op->y, out);
    op->first = std::make_unique<Broadcast>(out, std::vector<Shape>{x->shape});
    op->ins = {x};
    op->outs = {op->y};
    return op;
}

// ---------------------------------------------------------------- unary

enum class UnKind {
    Selu,
    Softsign,
    Log,
    Sqrt,
    Neg,
    Abs,
    Reciprocal,
    Floor,
    Ceil,
    Round,
    Sin,
    Cos,
    Clip,
    Celu,
    ThresholdedRelu,
    Sign,
    Copy
};

class UnaryOp : public SisoOp {
public:
    UnKind kind;
    float alpha = 0, beta = 0, gamma = 0;

    // Per element: a load and a store, and for some kinds a transcendental function.
    double element_ns() const {
        switch (kind) {
            case UnKind::Neg:
            case UnKind::Abs:
            case UnKind::Floor:
            case UnKind::Ceil:
            case UnKind::Round:
            case UnKind::Clip:
            case UnKind::Sign:
            case UnKind::Copy:
                return 2 * kFloatNs;
            default:
                return 2 * kFloatNs + kMathNs;
        }
    }

    template <typename F>
    void map(RunCtx &ctx, F f) {
        const float *xp = x->data;
        float *yp = y->data;
        ctx.pool.parallel_for(x->numel, Cost{element_ns()}, [&](int64_t i0, int64_t i1) {
            for (int64_t i = i0; i < i1; ++i) yp[i] = f(xp[i]);
        });
    }

    void run(RunCtx &ctx) override {
        const float a = alpha, b = beta, g = gamma;
        switch (kind) {
            case UnKind::Celu:
                return map(ctx,
                           [a](float v) { return std::max(0.f, v) + std::min(0.f, a * std::expm1(v / a)); });
            case UnKind::Selu:
                return map(ctx, [a, g](float v) { return v <= 0 ? g * a * std::expm1(v) : g * v; });
            case UnKind::Softsign:
                return map(ctx, [](float v) { return v / (1.f + std::fabs(v)); });
            case UnKind::Log:
                return map(ctx, [](float v) { return std::log(v); });
            case UnKind::Sqrt:
                return map(ctx, [](float v) { return std::sqrt(v); });
            case UnKind::Neg:
                return map(ctx, [](float v) { return -v; });
            case UnKind::Abs:
                return map(ctx, [](float v) { return std::fabs(v); });
            case UnKind::Reciprocal:
                return map(ctx, [](float v) { return 1.f / v; });
            case UnKind::Floor:
                return map(ctx, [](float v) { return std::floor(v); });
            case UnKind::Ceil:
                return map(ctx, [](float v) { return std::ceil(v); });
            case UnKind::Round:
                return map(ctx, [](float v) { return std::nearbyint(v); });
            case UnKind::Sin:
                return map(ctx, [](float v) { return std::sin(v); });
            case UnKind::Cos:
                return map(ctx, [](float v) { return std::cos(v); });
            case UnKind::Sign:
                return map(ctx, [](float v) { return float((v > 0) - (v < 0)); });
            case UnKind::Clip:
                return map(ctx, [a, b](float v) { return std::min(std::max(v, a), b); });
            case UnKind::ThresholdedRelu:
                return map(ctx, [a](float v) { return v > a ? v : 0.f; });
            case UnKind::Copy:
                return map(ctx, [](float v) { return v; });
        }
    }
};

const std::map<std::string, UnKind> &unary_kinds() {
    static const std::map<std::string, UnKind> k{
        {"Selu", UnKind::Selu},
        {"Softsign", UnKind::Softsign},
        {"Log", UnKind::Log},
        {"Sqrt", UnKind::Sqrt},
        {"Neg", UnKind::Neg},
        {"Abs", UnKind::Abs},
        {"Reciprocal", UnKind::Reciprocal},
        {"Floor", UnKind::Floor},
        {"Ceil", UnKind::Ceil},
        {"Round", UnKind::Round},
        {"Sin", UnKind::Sin},
        {"Cos", UnKind::Cos},
        {"Celu", UnKind::Celu},
        {"ThresholdedRelu", UnKind::ThresholdedRelu},
        {"Sign", UnKind::Sign},
        {"Identity", UnKind::Copy},
        {"Dropout", UnKind::Copy},
    };
    return k;
}

std::unique_ptr<Op> make_unary(const Node &n, UnKind kind) {
    auto op = std::make_unique<UnaryOp>();
    op->kind = kind;
    op->x = n.input(0);
    if (!op->x || n.out.empty()) fail(n, "needs one input");
    if (n.out.size() > 1 && n.out[1]) fail(n, "only the first output is supported");
    need_float(n, op->x);
    switch (kind) {
        case UnKind::Celu:
            op->alpha = n.get_float("alpha", 1.f);
            break;
        case UnKind::Selu:
            op->alpha = n.get_float("alpha", 1.67326319217681884765625f);
            op->gamma = n.get_float("gamma", 1.05070102214813232421875f);
            break;
        case UnKind::ThresholdedRelu:
            op->alpha = n.get_float("alpha", 1.f);
            break;
        case UnKind::Clip: {
            op->alpha = -std::numeric_limits<float>::infinity();
            op->beta = std::numeric_limits<float>::infinity();
            for (size_t i = 1; i < 3; ++i) {
                if (!n.input(i)) continue;
                auto v = const_floats(n, n.input(i), i == 1 ? "min" : "max");
                if (v.size() != 1) fail(n, "min and max must be scalars");
                (i == 1 ? op->alpha : op->beta) = v[0];
            }
            break;
        }
        default:
            break;
    }
    op->take_output(n, op->x->shape);
    return op;
}

class ActivationOp : public SisoOp {
public:
    Activation act;
    void run(RunCtx &ctx) override { act.apply(ctx.pool, x->data, y->data, x->numel); }
};

std::unique_ptr<Op> make_activation(const Node &n, Planner &) {
    Activation act;
    if (!fusable_activation(n, act)) {
        if (n.op_type == "Clip") return make_unary(n, UnKind::Clip);  // bounds that are no float scalars
        fail(n, "unsupported attribute value");
    }
    auto op = std::make_unique<ActivationOp>();
    op->act = act;
    op->take_input(n);
    op->take_output(n, op->x->shape);
    return op;
}

// ---------------------------------------------------------------- data movement

// Copies `outer` rows of `src_len` floats from each source into consecutive slices of each row of y.
class ConcatOp : public Op {
public:
    std::vector<Tensor *> xs;
    std::vector<int64_t> lens;
    Tensor *y;
    int64_t outer, row;
    std::vector<int64_t> starts;  // of each source's slice in a row of y
    void run(RunCtx &ctx) override {
        // Items of one row of one source, so that a concatenation of few rows is still shared.
        const int64_t parts = int64_t(xs.size());
        const double ns = double(row) / double(parts) * 2 * kFloatNs;
        ctx.pool.parallel_for(outer * parts, Cost{ns}, [&](int64_t q0, int64_t q1) {
            for (int64_t q = q0; q < q1; ++q) {
                const int64_t o = q / parts;
                const size_t k = size_t(q % parts);
                std::memcpy(y->data + o * row + starts[k], xs[k]->data + o * lens[k], size_t(lens[k]) * 4);
            }
        });
    }
};

std::unique_ptr<Op> make_concat(const Node &n) {
    auto op = std::make_unique<ConcatOp>();
    if (n.in.empty() || n.out.size() != 1) fail(n, "needs inputs and one output");
    const Shape &s0 = n.in[0] ? n.in[0]->shape : Shape{};
    if (s0.empty()) fail(n, "scalar or missing input");
    int64_t axis = norm_axis(n, n.get_int("axis", 0), s0.size());
    Shape out = s0;
    out[size_t(axis)] = 0;
    op->outer = 1;
    for (int64_t i = 0; i < axis; ++i) op->outer *= s0[size_t(i)];
    for (Tensor *t : n.in) {
        if (!t) fail(n, "missing input");
        need_float(n, t);
        if (t->shape.size() != s0.size()) fail(n, "inputs differ in rank");
        for (size_t i = 0; i < s0.size(); ++i)
            if (int64_t(i) != axis && t->shape[i] != s0[i]) fail(n, "inputs differ outside the axis");
        out[size_t(axis)] += t->shape[size_t(axis)];
        op->xs.push_back(t);
        op->starts.push_back(op->starts.empty() ? 0 : op->starts.back() + op->lens.back());
        op->lens.push_back(op->outer ? t->numel / op->outer : 0);
    }
    op->y = n.out[0];
    set_shape(op->y, out);
    op->row = op->outer ? op->y->numel / op->outer : 0;
    op->ins = op->xs;
    op->outs = {op->y};
    return op;
}

class SplitOp : public Op {
public:
    Tensor *x;
    std::vector<int64_t> lens;
    int64_t outer, row;
    void run(RunCtx &ctx) override {
        ctx.pool.parallel_for(outer, Cost{double(row) * 2 * kFloatNs}, [&](int64_t o0, int64_t o1) {
            for (int64_t o = o0; o < o1; ++o) {
                const float *src = x->data + o * row;
                for (size_t k = 0; k < outs.size(); ++k) {
                    std::memcpy(outs[k]->data + o * lens[k], src, size_t(lens[k]) * 4);
                    src += lens[k];
                }
            }
        });
    }
};

std::unique_ptr<Op> make_split(const Node &n) {
    auto op = std::make_unique<SplitOp>();
    op->x = n.input(0);
    if (!op->x || n.out.empty()) fail(n, "needs an input and outputs");
    need_float(n, op->x);
    const Shape &xs = op->x->shape;
    if (xs.empty()) fail(n, "scalar input");
    int64_t axis = norm_axis(n, n.get_int("axis", 0), xs.size());
    int64_t dim = xs[size_t(axis)], parts = int64_t(n.out.size());
    std::vector<int64_t> split;
    if (n.input(1)) {
        split = const_ints(n, n.input(1), "split");
    } else {
        int64_t num = n.get_int("num_outputs", parts);
        if (num != parts) fail(n, "num_outputs differs from the outputs");
        int64_t chunk = (dim + parts - 1) / parts;
        for (int64_t k = 0; k < parts; ++k)
            split.push_back(std::max<int64_t>(0, std::min(chunk, dim - k * chunk)));
        if (!n.has("num_outputs") && dim % parts) fail(n, "axis not divisible by the outputs");
    }
    if (int64_t(split.size()) != parts) fail(n, "split sizes differ from the outputs");
    int64_t total = 0;
    for (int64_t s : split) {
        if (s < 0 || s > dim) fail(n, "bad split size");
        total += s;
    }
    if (total != dim) fail(n, "split sizes do not add up to the axis");
    op->outer = 1;
    for (int64_t i = 0; i < axis; ++i) op->outer *= xs[size_t(i)];
    op->row = op->outer ? op->x->numel / op->outer : 0;
    for (int64_t k = 0; k < parts; ++k) {
        Tensor *t = n.out[size_t(k)];
        if (!t) fail(n, "missing output");
        Shape s = xs;
        s[size_t(axis)] = split[size_t(k)];
        set_shape(t, s);
        op->lens.push_back(op->outer ? t->numel / op->outer : 0);
        op->outs.push_back(t);
    }
    // Split along the outermost axis that is not 1: each part is a contiguous range of x, so a view of it
    // (graph outputs keep storage of their own).
    if (op->outer == 1 && std::none_of(n.out.begin(), n.out.end(), [](Tensor *t) { return t->is_output; })) {
        int64_t offset = 0;
        for (size_t k = 0; k < n.out.size(); ++k) {
            n.out[k]->alias = op->x;
            n.out[k]->alias_offset = offset;
            offset += op->lens[k];
        }
        return nullptr;
    }
    op->ins = {op->x};
    return op;
}

// y[i] = x[base + sum(i_d * step_d)]: Slice and Transpose.
class StridedCopyOp : public SisoOp {
public:
    Shape dims;                 // output dims
    std::vector<int64_t> step;  // input stride per output dim
    int64_t base = 0;
    // An output axis before the last along which the input is contiguous, while it is not along the last
    // (a transpose that moves the innermost axis): then the copy goes by square tiles of these two axes, so
    // that both the reads and the writes run along cache lines.  -1 otherwise.
    int tile_axis = -1;
    static constexpr int64_t kTileEdge = 16;

    // The input and output offsets of the outer index `r`, over the output dims before `last` but `skip`.
    void offsets(int64_t r, size_t last, int skip, int64_t &src, int64_t &dst) const {
        src = base;
        dst = 0;
        int64_t out_stride = 1;
        for (size_t k = dims.size(); k-- > 0;) {
            if (k < last && int(k) != skip) {
                src += (r % dims[k]) * step[k];
                dst += (r % dims[k]) * out_stride;
                r /= dims[k];
            }
            out_stride *= dims[k];
        }
    }

    void run(RunCtx &ctx) override {
        if (tile_axis >= 0) return run_tiled(ctx);
        const int64_t inner = dims.empty() ? 1 : dims.back();
        const int64_t s_in = dims.empty() ? 0 : step.back();
        // Rows of a few floats (the patches of an unfold) are as many as the floats: each row then takes the
        // last two axes, and its input offset steps on from the last row's, axis by axis, without a
        // division per axis.
        const bool pairs = inner < 16 && dims.size() >= 2;
        const size_t last = dims.size() - (dims.empty() ? 0 : pairs ? 2 : 1);
        const int64_t n2 = pairs ? dims[last] : 1, s2 = pairs ? step[last] : 0, row = n2 * inner;
        const int64_t rows = row ? y->numel / row : 0;
        ctx.pool.parallel_for(rows, Cost{double(row + 8) * 2 * kFloatNs}, [&](int64_t r0, int64_t r1) {
            std::vector<int64_t> idx(last);
            int64_t off = base;
            for (size_t k = last, rem = size_t(r0); k-- > 0;) {
                idx[k] = int64_t(rem % size_t(dims[k]));
                rem /= size_t(dims[k]);
                off += idx[k] * step[k];
            }
            for (int64_t r = r0; r < r1; ++r) {
                float *dst = y->data + r * row;
                if (!pairs && s_in == 1) {
                    std::memcpy(dst, x->data + off, size_t(inner) * 4);
                } else {
                    for (int64_t a = 0; a < n2; ++a, dst += inner) {
                        const float *src = x->data + off + a * s2;
                        for (int64_t i = 0; i < inner; ++i) dst[i] = src[i * s_in];
                    }
                }
                for (size_t k = last; k-- > 0;) {
                    off += step[k];
                    if (++idx[k] < dims[k]) break;
                    off -= step[k] * dims[k];
                    idx[k] = 0;
                }
            }
        });
    }

    void run_tiled(RunCtx &ctx) {
        const size_t last = dims.size() - 1;
        const int64_t R = dims[size_t(tile_axis)], L = dims[last], s_last = step[last];
        int64_t r_stride = 1;  // of the tile axis in the output
        for (size_t k = size_t(tile_axis) + 1; k < dims.size(); ++k) r_stride *= dims[k];
        const int64_t bands = (R + kTileEdge - 1) / kTileEdge, outer = y->numel / (R * L);
        const bool fast = nchwc_available();  // whole tiles as 8x8 register transposes
        ctx.pool.parallel_for(
            outer * bands, Cost{double(kTileEdge * L) * 3 * kFloatNs}, [&](int64_t q0, int64_t q1) {
                for (int64_t q = q0; q < q1; ++q) {
                    int64_t so, dof;
                    offsets(q / bands, last, tile_axis, so, dof);
                    const int64_t i0 = q % bands * kTileEdge, i1 = std::min(R, i0 + kTileEdge);
                    for (int64_t j0 = 0; j0 < L; j0 += kTileEdge) {
                        const int64_t j1 = std::min(L, j0 + kTileEdge);
                        if (fast && i1 - i0 == kTileEdge && j1 - j0 == kTileEdge) {
                            for (int64_t bi = i0; bi < i1; bi += 8)
                                for (int64_t bj = j0; bj < j1; bj += 8)
                                    transpose8x8(x->data + so + bi + bj * s_last, s_last,
                                                 y->data + dof + bi * r_stride + bj, r_stride);
                            continue;
                        }
                        for (int64_t i = i0; i < i1; ++i) {
                            const float *src = x->data + so + i;
                            float *dst = y->data + dof + i * r_stride;
                            for (int64_t j = j0; j < j1; ++j) dst[j] = src[j * s_last];
                        }
                    }
                }
            });
    }

    // Drops the output axes of size 1 and merges neighbours along which the input is contiguous too
    // ([.., a, b] with step_a = b step_b): fewer, longer rows (a channel shuffle then moves whole planes).
    void coalesce() {
        Shape d;
        std::vector<int64_t> s;
        for (size_t k = 0; k < dims.size(); ++k) {
            if (dims[k] == 1) continue;
            if (!d.empty() && s.back() == step[k] * dims[k]) {
                d.back() *= dims[k];
                s.back() = step[k];
            } else {
                d.push_back(dims[k]);
                s.push_back(step[k]);
            }
        }
        if (d.empty()) d = {1}, s = {1};
        dims = std::move(d);
        step = std::move(s);
    }

    void find_tile_axis() {
        if (dims.size() < 2 || step.back() == 1 || dims.back() < 2) return;
        for (size_t k = dims.size() - 1; k-- > 0;)
            if (step[k] == 1 && dims[k] > 1) {
                tile_axis = int(k);
                return;
            }
    }
};

// Whether the Transpose being planned, of output `y` of shape `out`, moves the last axis of its input to
// the second ([N, ..., C] to [N, C, ...]) for a depthwise convolution of the blocked kernel, directly or
// through one view of [N, C, H, W]: that convolution gathers its input from the channels-last one, which
// costs less than the transposed copy (the tokens of a transformer turned into an image).
bool to_channels_first(const std::vector<int64_t> &perm, const Shape &out, const Tensor *y, const Planner &p) {
    const size_t r = perm.size();
    if (r < 3 || perm[0] != 0 || perm[1] != int64_t(r) - 1) return false;
    for (size_t i = 2; i < r; ++i)
        if (perm[i] != int64_t(i) - 1) return false;
    const Node *c = p.single_consumer(y);
    Shape s = out;
    if (c && c->out.size() == 1 && is_view(*c)) {
        if (c->in[0] != y || (c->input(1) && !c->input(1)->is_const())) return false;
        s = view_shape(*c, out);
        if (s.size() != 4 || s[0] != out[0] || s[1] != out[1]) return false;
        y = c->out[0];
        c = p.single_consumer(y);
    }
    return c && s.size() == 4 && c->in[0] == y && gathers_channels_last(*c, s);
}

std::unique_ptr<Op> make_transpose(const Node &n, Planner &p) {
    auto op = std::make_unique<StridedCopyOp>();
    op->take_input(n);
    // The producer wrote this Transpose's output channels-last already (channels_last_reader).
    if (op->x->channels_last_of && n.out.size() == 1 && op->x->channels_last_of == n.out[0]) return nullptr;
    const Shape &xs = op->x->shape;
    std::vector<int64_t> perm;
    for (size_t i = xs.size(); i-- > 0;) perm.push_back(int64_t(i));
    perm = n.get_ints("perm", perm);
    if (perm.size() != xs.size()) fail(n, "perm length differs from the rank");
    std::vector<bool> seen(xs.size(), false);
    auto st = strides_of(xs);
    Shape out;
    for (int64_t p : perm) {
        p = norm_axis(n, p, xs.size());
        if (seen[size_t(p)]) fail(n, "perm repeats an axis");
        seen[size_t(p)] = true;
        out.push_back(xs[size_t(p)]);
        op->step.push_back(st[size_t(p)]);
    }
    if (Tensor *y = n.out.size() == 1 ? n.out[0] : nullptr; y && to_channels_first(perm, out, y, p)) {
        set_shape(y, out);
        y->channels_last_of = op->x;
        return nullptr;
    }
    op->dims = out;
    op->coalesce();
    op->find_tile_axis();
    op->take_output(n, out);
    return op;
}

std::unique_ptr<Op> make_slice(const Node &n) {
    auto op = std::make_unique<StridedCopyOp>();
    op->take_input(n);
    const Shape &xs = op->x->shape;
    auto starts = const_ints(n, n.input(1), "starts"), ends = const_ints(n, n.input(2), "ends");
    std::vector<int64_t> axes, steps;
    if (n.input(3)) {
        axes = const_ints(n, n.input(3), "axes");
    } else {
        for (size_t i = 0; i < starts.size(); ++i) axes.push_back(int64_t(i));
    }
    steps = n.input(4) ? const_ints(n, n.input(4), "steps") : std::vector<int64_t>(starts.size(), 1);
    if (ends.size() != starts.size() || axes.size() != starts.size() || steps.size() != starts.size())
        fail(n, "starts, ends, axes and steps differ in length");
    Shape out = xs;
    std::vector<int64_t> first(xs.size(), 0), step(xs.size(), 1);
    std::set<int64_t> seen;
    for (size_t i = 0; i < starts.size(); ++i) {
        int64_t a = norm_axis(n, axes[i], xs.size());
        if (!seen.insert(a).second) fail(n, "repeated axis");
        int64_t dim = xs[size_t(a)], s = steps[i];
        if (s == 0) fail(n, "step 0");
        // Steps beyond any extent select one element at most: clamp them to keep the arithmetic in range.
        s = std::max<int64_t>(-(int64_t(1) << 31), std::min<int64_t>(int64_t(1) << 31, s));
        auto clampi = [](int64_t v, int64_t lo, int64_t hi) { return std::max(lo, std::min(hi, v)); };
        int64_t b = starts[i], e = ends[i];
        if (b < 0) b += dim;
        if (e < 0) e += dim;
        if (s > 0) {
            b = clampi(b, 0, dim);
            e = clampi(e, 0, dim);
        } else {
            b = clampi(b, -1, dim - 1);
            e = clampi(e, -1, dim - 1);
        }
        int64_t len = s > 0 ? (e - b + s - 1) / s : (b - e + (-s) - 1) / (-s);
        out[size_t(a)] = std::max<int64_t>(0, len);
        first[size_t(a)] = b;
        step[size_t(a)] = s;
    }
    auto st = strides_of(xs);
    for (size_t d = 0; d < xs.size(); ++d) {
        if (out[d] > 0) op->base += first[d] * st[d];
        op->step.push_back(step[d] * st[d]);
    }
    op->dims = out;
    const bool whole = out == xs && std::all_of(step.begin(), step.end(), [](int64_t s) { return s == 1; });
    op->coalesce();
    op->take_output(n, out);
    if (whole && !op->y->is_output) {  // all of the input in order (an exporter's x[:, :C]): a view
        op->y->alias = op->x;
        return nullptr;
    }
    return op;
}

class GatherOp : public SisoOp {
public:
    std::vector<int64_t> idx;
    int64_t outer, dim, inner;
    void run(RunCtx &ctx) override {
        const int64_t m = int64_t(idx.size());
        ctx.pool.parallel_for(outer * m, Cost{double(inner) * 2 * kFloatNs}, [&](int64_t q0, int64_t q1) {
            for (int64_t q = q0; q < q1; ++q) {
                int64_t o = q / m, k = q % m;
                std::memcpy(y->data + q * inner, x->data + (o * dim + idx[size_t(k)]) * inner,
                            size_t(inner) * 4);
            }
        });
    }
};

std::unique_ptr<Op> make_gather(const Node &n, Planner &p) {
    auto op = std::make_unique<GatherOp>();
    op->x = n.input(0);
    Tensor *it = n.input(1);
    if (!op->x || !it || n.out.size() != 1) fail(n, "needs data and indices");
    need_float(n, op->x);
    const Shape &xs = op->x->shape;
    if (xs.empty()) fail(n, "scalar data");
    int64_t axis = norm_axis(n, n.get_int("axis", 0), xs.size());
    op->dim = xs[size_t(axis)];
    op->outer = 1;
    op->inner = 1;
    for (int64_t i = 0; i < axis; ++i) op->outer *= xs[size_t(i)];
    for (size_t i = size_t(axis) + 1; i < xs.size(); ++i) op->inner *= xs[i];
    Shape out(xs.begin(), xs.begin() + axis);
    out.insert(out.end(), it->shape.begin(), it->shape.end());
    out.insert(out.end(), xs.begin() + axis + 1, xs.end());
    if (numel_of(out)) {  // an empty result reads no index
        p.charge(uint64_t(it->numel), 8);
        op->idx = const_ints(n, it, "indices", it->numel);
        for (auto &i : op->idx) {
            if (i < -op->dim || i >= op->dim) fail(n, "index out of range");
            if (i < 0) i += op->dim;
        }
    }
    op->take_output(n, out);
    return op;
}

// Reshape, Flatten, Squeeze, Unsqueeze: a view of the input's storage, or a
// copy when the result is a graph output (outputs own their storage).
}  // namespace

Shape view_shape(const Node &n, const Shape &xs) {
    const int64_t numel = numel_of(xs);
    Shape out;
    const std::string &t = n.op_type;
    if (t == "Reshape") {
        auto shape = const_ints(n, n.input(1), "shape");
        bool allowzero = n.get_int("allowzero", 0) != 0;
        int64_t infer = -1, known = 1;
        for (size_t i = 0; i < shape.size(); ++i) {
            int64_t d = shape[i];
            if (d == 0 && !allowzero) {
                if (i >= xs.size()) fail(n, "0 refers past the input rank");
                d = xs[i];
            }
            if (d == -1) {
                if (infer >= 0) fail(n, "more than one -1");
                infer = int64_t(i);
                out.push_back(1);
                continue;
            }
            if (d < 0) fail(n, "negative dimension");
            if (d > (int64_t(1) << 30) || (d && known > (int64_t(1) << 30) / d)) fail(n, "shape too large");
            out.push_back(d);
            known *= d;
        }
        if (infer >= 0) {
            if (known == 0 || numel % known) fail(n, "cannot infer the -1 dimension");
            out[size_t(infer)] = numel / known;
        }
    } else if (t == "Flatten") {
        int64_t axis = n.get_int("axis", 1);
        if (axis < 0) axis += int64_t(xs.size());
        if (axis < 0 || axis > int64_t(xs.size())) fail(n, "axis out of range");
        int64_t a = 1;
        for (int64_t i = 0; i < axis; ++i) a *= xs[size_t(i)];
        out = {a, a ? numel / a : 0};
    } else if (t == "Squeeze") {
        std::set<int64_t> axes;
        if (n.input(1))
            for (int64_t a : const_ints(n, n.input(1), "axes")) axes.insert(norm_axis(n, a, xs.size()));
        for (size_t i = 0; i < xs.size(); ++i) {
            bool drop = axes.empty() ? xs[i] == 1 : axes.count(int64_t(i)) != 0;
            if (drop && xs[i] != 1) fail(n, "squeezed axis is not 1");
            if (!drop) out.push_back(xs[i]);
        }
    } else {  // Unsqueeze
        auto raw = const_ints(n, n.input(1), "axes");
        size_t r = xs.size() + raw.size();
        std::set<int64_t> axes;
        for (int64_t a : raw)
            if (!axes.insert(norm_axis(n, a, r)).second) fail(n, "repeated axis");
        size_t k = 0;
        for (size_t i = 0; i < r; ++i) out.push_back(axes.count(int64_t(i)) ? 1 : xs[k++]);
    }
    if (numel_of(out) != numel) fail(n, "element count changes from " + shape_str(xs) + " to " + shape_str(out));
    return out;
}

namespace {

std::unique_ptr<Op> make_view(const Node &n) {
    Tensor *x = n.input(0);
    if (!x || n.out.size() != 1) fail(n, "needs one input");
    need_float(n, x);
    Tensor *y = n.out[0];
    set_shape(y, view_shape(n, x->shape));
    if (x->channels_last_of) {  // a view of a value that is never stored (make_transpose)
        y->channels_last_of = x->channels_last_of;
        return nullptr;
    }
    if (!y->is_output) {
        y->alias = x;
        return nullptr;
    }
    auto op = std::make_unique<UnaryOp>();
    op->kind = UnKind::Copy;
    op->x = x;
    op->y = y;
    op->ins = {x};
    op->outs = {y};
    return op;
}

// Applies one axis map along axis `a` of a tensor of shape `in` into `out`.
void apply_axis(ThreadPool &pool, const AxisMap &m, const Shape &in, size_t a, const float *src, float *dst,
                float value) {
    int64_t outer = 1, inner = 1;
    for (size_t i = 0; i < a; ++i) outer *= in[i];
    for (size_t i = a + 1; i < in.size(); ++i) inner *= in[i];
    const int64_t din = in[a], dout = int64_t(m.idx.size()) / m.taps;
    if (inner == 1) {
        // Along the last axis: whole rows per task, each output a gather of its taps.
        auto rows = [&](int64_t o0, int64_t o1) {
            for (int64_t o = o0; o < o1; ++o) {
                const float *xr = src + o * din;
                float *yr = dst + o * dout;
                const int64_t *idx = m.idx.data();
                const float *w = m.w.data();
                for (int64_t j = 0; j < dout; ++j, idx += m.taps, w += m.taps) {
                    if (m.taps == 1) {
                        yr[j] = idx[0] < 0 ? value : xr[idx[0]];
                        continue;
                    }
                    float acc = 0.f;
                    for (int64_t t = 0; t < m.taps; ++t)
                        if (w[t] != 0.f) acc += w[t] * xr[idx[t]];
                    yr[j] = acc;
                }
            }
        };
        pool.parallel_for(outer, Cost{double(dout * m.taps) * 2 * kFloatNs}, rows);
        return;
    }
    pool.parallel_for(outer * dout, Cost{double(inner * m.taps) * 2 * kFloatNs}, [&](int64_t q0, int64_t q1) {
        for (int64_t q = q0; q < q1; ++q) {
            int64_t o = q / dout, j = q % dout;
            float *yp = dst + q * inner;
            const float *xb = src + o * din * inner;
            if (m.taps == 1) {
                int64_t s = m.idx[size_t(j)];
                if (s < 0)
                    std::fill(yp, yp + inner, value);
                else
                    std::memcpy(yp, xb + s * inner, size_t(inner) * 4);
                continue;
            }
            std::fill(yp, yp + inner, 0.f);
            for (int64_t t = 0; t < m.taps; ++t) {
                float w = m.w[size_t(j * m.taps + t)];
                if (w == 0.f) continue;
                const float *xp = xb + m.idx[size_t(j * m.taps + t)] * inner;
                for (int64_t i = 0; i < inner; ++i) yp[i] += w * xp[i];
            }
        }
    });
}

class AxisMapOp : public SisoOp {
public:
    std::vector<std::pair<size_t, AxisMap>> maps;  // applied in order
    std::vector<Shape> shapes;                     // input shape of each step
    float value = 0;
    size_t between = 0;  // floats of the largest intermediate result; two of them live in the scratch

    size_t scratch_floats() const override { return maps.size() > 1 ? 2 * between : 0; }

    void run(RunCtx &ctx) override {
        const float *src = x->data;
        for (size_t k = 0; k < maps.size(); ++k) {
            float *dst = k + 1 == maps.size() ? y->data : ctx.scratch + (k % 2) * between;
            apply_axis(ctx.pool, maps[k].second, shapes[k], maps[k].first, src, dst, value);
            src = dst;
        }
        if (maps.empty()) std::memcpy(y->data, x->data, size_t(x->numel) * 4);
    }

    void finish(const Shape &in) {
        Shape cur = in;
        for (auto &[a, m] : maps) {
            shapes.push_back(cur);
            cur[a] = int64_t(m.idx.size()) / m.taps;
            between = std::max(between, size_t(numel_of(cur)));
        }
    }
};

std::unique_ptr<Op> make_pad(const Node &n, Planner &p) {
    auto op = std::make_unique<AxisMapOp>();
    op->take_input(n);
    const Shape &xs = op->x->shape;
    const size_t r = xs.size();
    auto pads = const_ints(n, n.input(1), "pads");
    if (n.input(2)) {
        auto v = const_floats(n, n.input(2), "constant_value");
        if (v.size() > 1) fail(n, "constant_value must be a scalar");
        if (!v.empty()) op->value = v[0];
    }
    std::vector<int64_t> axes;
    if (n.input(3)) {
        for (int64_t a : const_ints(n, n.input(3), "axes")) axes.push_back(norm_axis(n, a, r));
    } else {
        for (size_t i = 0; i < r; ++i) axes.push_back(int64_t(i));
    }
    if (pads.size() != 2 * axes.size()) fail(n, "pads length differs from twice the axes");
    std::string mode = n.get_string("mode", "constant");
    if (mode != "constant" && mode != "reflect" && mode != "edge" && mode != "wrap")
        fail(n, "unknown mode " + mode);
    Shape out = xs;
    for (size_t i = 0; i < axes.size(); ++i) {
        size_t a = size_t(axes[i]);
        const int64_t limit = int64_t(1) << 24;
        int64_t b = pads[i], e = pads[i + axes.size()], din = xs[a];
        if (b < -limit || b > limit || e < -limit || e > limit) fail(n, "bad pads");
        int64_t dout = din + b + e;
        if (dout < 0) fail(n, "bad pads");
        if (b == 0 && e == 0) continue;
        if (mode != "constant" && din == 0 && dout > 0) fail(n, "cannot pad an empty axis in mode " + mode);
        if (mode == "reflect" && din < 2 && (b > 0 || e > 0)) fail(n, "reflect needs at least two elements");
        out[a] = dout;
        if (numel_of(out) == 0) continue;  // the maps of an empty result are never used
        p.charge(uint64_t(dout), 8);
        AxisMap m;
        for (int64_t j = 0; j < dout; ++j) {
            int64_t s = j - b;
            if (s < 0 || s >= din) {
                if (mode == "constant") {
                    s = -1;
                } else if (mode == "edge") {
                    s = std::max<int64_t>(0, std::min(din - 1, s));
                } else if (mode == "wrap") {
                    s = ((s % din) + din) % din;
                } else {
                    int64_t period = 2 * (din - 1);
                    s = ((s % period) + period) % period;
                    if (s >= din) s = period - s;
                }
            }
            m.idx.push_back(s);
        }
        op->maps.emplace_back(a, std::move(m));
    }
    op->finish(xs);
    op->take_output(n, out);
    return op;
}

enum class Ctm {
    AlignCorners,
    Asymmetric,
    PytorchHalfPixel,
    HalfPixel,
    HalfPixelSymmetric,
    TfHalfPixelForNn
};
const std::map<std::string, Ctm> kCoordinateModes{{"align_corners", Ctm::AlignCorners},
                                                  {"asymmetric", Ctm::Asymmetric},
                                                  {"pytorch_half_pixel", Ctm::PytorchHalfPixel},
                                                  {"half_pixel", Ctm::HalfPixel},
                                                  {"half_pixel_symmetric", Ctm::HalfPixelSymmetric},
                                                  {"tf_half_pixel_for_nn", Ctm::TfHalfPixelForNn}};
enum class Nearest { RoundPreferFloor, RoundPreferCeil, Floor, Ceil };
const std::map<std::string, Nearest> kNearestModes{{"round_prefer_floor", Nearest::RoundPreferFloor},
                                                   {"round_prefer_ceil", Nearest::RoundPreferCeil},
                                                   {"floor", Nearest::Floor},
                                                   {"ceil", Nearest::Ceil}};

// How a Resize maps output positions to weighted input taps along one axis.
struct ResizeKernel {
    bool nearest, linear, antialias, exclude;
    double A;  // cubic coefficient
    Ctm ctm;
    Nearest rounding;

    // The map of one axis of `in` positions resized to `out` with scale `s`, charged to the budget first.
    AxisMap map(const Node &n, Planner &p, int64_t in, int64_t out, double s) const {
        const double L = double(in), Lo = double(out);
        const double lo_w = s * L;  // the unrounded output length
        const double sa = antialias ? std::min(s, 1.0) : 1.0;
        // Taps of one output position, from `start` relative to its left neighbour.
        int64_t taps = 2, start = 0;
        if (!nearest) {
            const double support = linear ? 1 : 2;
            // An antialiased window widens with the downscale; past 2^31 taps its table could never fit the
            // budget (and the tap count would soon leave int64).
            start = antialias ? checked_int(n, std::floor(-support / sa) + 1, "antialias window")
                              : 1 - int64_t(support);
            if (start < -(int64_t(1) << 30)) fail(n, "antialias window is too wide");
            taps = 2 - 2 * start;
        }
        // The map (an index and a weight per tap of each output), and the weights of one window.
        p.charge(uint64_t(out) * uint64_t(taps), 12);
        p.charge(uint64_t(taps), 8);
        AxisMap m;
        m.taps = taps;
        m.idx.reserve(size_t(out * taps));
        m.w.reserve(size_t(out * taps));
        std::vector<double> c(static_cast<size_t>(taps));
        for (int64_t j = 0; j < out; ++j) {
            double x = 0;
            switch (ctm) {
                case Ctm::AlignCorners:
                    x = lo_w == 1 ? 0 : j * (L - 1) / (lo_w - 1);
                    break;
                case Ctm::Asymmetric:
                    x = j / s;
                    break;
                case Ctm::PytorchHalfPixel:
                    x = lo_w == 1 ? -0.5 : (j + 0.5) / s - 0.5;
                    break;
                case Ctm::HalfPixel:
                    x = (j + 0.5) / s - 0.5;
                    break;
                case Ctm::HalfPixelSymmetric:
                    x = L / 2 * (1 - Lo / lo_w) + (j + 0.5) / s - 0.5;
                    break;
                case Ctm::TfHalfPixelForNn:
                    x = (j + 0.5) / s;
                    break;
            }
            // The fractional offset `ratio` in (0, 1] of x from its left neighbour `base`.
            const double fl = std::floor(x);
            const double ratio = x == fl ? 1.0 : x - fl;
            const int64_t left = checked_int(n, fl, "source coordinate");
            const int64_t base = x == fl ? left - 1 : left;
            weights(x != fl, ratio, start, sa, c);
            // Neighbour indices: taps of them centred on x, the lower half at or left of base.
            const int64_t first = nearest ? base : base - taps / 2 + 1;
            if (exclude) {
                double sum = 0;
                for (int64_t t = 0; t < taps; ++t) {
                    int64_t i = first + t;
                    if (i < 0 || i >= in) c[size_t(t)] = 0;
                    sum += c[size_t(t)];
                }
                if (sum != 0)
                    for (auto &v : c) v /= sum;
            }
            for (int64_t t = 0; t < taps; ++t) {
                m.idx.push_back(std::max<int64_t>(0, std::min(in - 1, first + t)));
                m.w.push_back(float(c[size_t(t)]));
            }
        }
        return m;
    }

    // Weights `c` of the taps of one output position; `between` when x is not an input position itself.
    void weights(bool between, double ratio, int64_t start, double sa, std::vector<double> &c) const {
        if (nearest) {
            bool right = true;
            if (between) switch (rounding) {
                    case Nearest::RoundPreferFloor:
                        right = ratio > 0.5;
                        break;
                    case Nearest::RoundPreferCeil:
                        right = ratio >= 0.5;
                        break;
                    case Nearest::Floor:
                        right = false;
                        break;
                    case Nearest::Ceil:
                        break;
                }
            c = {right ? 0.0 : 1.0, right ? 1.0 : 0.0};
        } else if (linear && !antialias) {
            c = {1 - ratio, ratio};
        } else if (!antialias) {
            double r1 = ratio + 1, r2 = 1 - ratio, r3 = 2 - ratio;
            c = {((A * r1 - 5 * A) * r1 + 8 * A) * r1 - 4 * A,
                 ((A + 2) * ratio - (A + 3)) * ratio * ratio + 1, ((A + 2) * r2 - (A + 3)) * r2 * r2 + 1,
                 ((A * r3 - 5 * A) * r3 + 8 * A) * r3 - 4 * A};
        } else {
            double sum = 0;
            for (size_t t = 0; t < c.size(); ++t) {
                double u = std::fabs(sa * (double(start + int64_t(t)) - ratio));
                double v;
                if (linear) {
                    v = std::max(0.0, 1 - u);
                } else {
                    v = u <= 1  ? (A + 2) * u * u * u - (A + 3) * u * u + 1
                        : u < 2 ? A * u * u * u - 5 * A * u * u + 8 * A * u - 4 * A
                                : 0.0;
                }
                c[t] = v;
                sum += v;
            }
            for (auto &v : c) v /= sum;
        }
    }
};

// The output extents and scales of a Resize of `xs`, from its scales or sizes.
void resize_extents(const Node &n, const Shape &xs, Shape &out, std::vector<double> &scale) {
    const size_t r = xs.size();
    std::string policy = n.get_string("keep_aspect_ratio_policy", "stretch");
    std::vector<int64_t> axes;
    for (int64_t a : n.get_ints("axes", {})) axes.push_back(norm_axis(n, a, r));
    if (axes.empty())
        for (size_t i = 0; i < r; ++i) axes.push_back(int64_t(i));
    scale.assign(r, 1.0);
    out = xs;
    std::vector<float> scales = n.input(2) ? const_floats(n, n.input(2), "scales") : std::vector<float>{};
    std::vector<int64_t> sizes = n.input(3) ? const_ints(n, n.input(3), "sizes") : std::vector<int64_t>{};
    if (!scales.empty() == !sizes.empty()) fail(n, "exactly one of scales and sizes must be given");
    if (!scales.empty()) {
        if (scales.size() != axes.size()) fail(n, "scales length differs from the axes");
        for (size_t i = 0; i < axes.size(); ++i) {
            size_t a = size_t(axes[i]);
            if (!(scales[i] > 0) || scales[i] > 1e4f) fail(n, "bad scale");
            scale[a] = scales[i];
            out[a] = checked_int(n, double(xs[a]) * scales[i], "output size");
        }
        return;
    }
    if (sizes.size() != axes.size()) fail(n, "sizes length differs from the axes");
    for (size_t i = 0; i < axes.size(); ++i) {
        size_t a = size_t(axes[i]);
        if (sizes[i] < 0 || xs[a] == 0) fail(n, "bad size");
        scale[a] = double(sizes[i]) / double(xs[a]);
        out[a] = sizes[i];
    }
    if (policy == "stretch") return;
    if (policy != "not_larger" && policy != "not_smaller") fail(n, "unknown keep_aspect_ratio_policy");
    double s = scale[size_t(axes[0])];
    for (int64_t a : axes)
        s = policy == "not_larger" ? std::min(s, scale[size_t(a)]) : std::max(s, scale[size_t(a)]);
    for (int64_t a : axes) {
        scale[size_t(a)] = s;
        out[size_t(a)] = checked_int(n, s * double(xs[size_t(a)]) + 0.5, "output size");
    }
}

}  // namespace

std::vector<std::pair<size_t, AxisMap>> resize_maps(const Node &n, Planner &p, const Shape &xs, Shape &out) {
    const std::string mode = n.get_string("mode", "nearest");
    const std::string ctm = n.get_string("coordinate_transformation_mode", "half_pixel");
    const std::string nearest = n.get_string("nearest_mode", "round_prefer_floor");
    if (mode != "nearest" && mode != "linear" && mode != "cubic") fail(n, "unknown mode " + mode);
    if (ctm == "tf_crop_and_resize") fail(n, "tf_crop_and_resize is not supported");
    std::vector<double> scale;
    resize_extents(n, xs, out, scale);
    for (size_t a = 0; a < xs.size(); ++a) {
        if (out[a] == xs[a] && scale[a] == 1.0) continue;
        if (xs[a] == 0 || out[a] > (int64_t(1) << 24)) fail(n, "bad resize extent");
    }
    std::vector<std::pair<size_t, AxisMap>> maps;
    // The maps of an empty result are never used; with tiny scales they would be huge.
    if (numel_of(out) == 0) return maps;
    for (size_t a = 0; a < xs.size(); ++a) {
        if (out[a] == xs[a] && scale[a] == 1.0) continue;
        const auto ck = kCoordinateModes.find(ctm);
        if (ck == kCoordinateModes.end()) fail(n, "unknown coordinate_transformation_mode " + ctm);
        const auto nk = kNearestModes.find(nearest);
        if (mode == "nearest" && nk == kNearestModes.end()) fail(n, "unknown nearest_mode " + nearest);
        const ResizeKernel kernel{mode == "nearest",
                                  mode == "linear",
                                  n.get_int("antialias", 0) != 0,
                                  n.get_int("exclude_outside", 0) != 0,
                                  n.get_float("cubic_coeff_a", -0.75f),
                                  ck->second,
                                  nk == kNearestModes.end() ? Nearest::RoundPreferFloor : nk->second};
        maps.emplace_back(a, kernel.map(n, p, xs[a], out[a], scale[a]));
    }
    return maps;
}

namespace {

std::unique_ptr<Op> make_resize(const Node &n, Planner &p) {
    auto op = std::make_unique<AxisMapOp>();
    op->take_input(n);
    const Shape &xs = op->x->shape;
    Shape out;
    op->maps = resize_maps(n, p, xs, out);
    // An upscaled last axis goes first, while the tensor is small: it gathers, where the others stream.
    if (op->maps.size() > 1 && op->maps.back().first + 1 == xs.size() && out.back() > xs.back())
        std::rotate(op->maps.begin(), op->maps.end() - 1, op->maps.end());
    op->finish(xs);
    op->take_output(n, out);
    return op;
}

// ---------------------------------------------------------------- reductions

class ReduceOp : public SisoOp {
public:
    enum Kind { Sum, Mean, Max, Min, Prod, SumSquare, L1, L2, LogSumExp } kind;
    Shape dims;  // input dims
    std::vector<bool> reduced;
    int64_t count = 1;  // elements folded into each output
    // The reduced axes form one run (once axes of size 1 are dropped and neighbours of a kind merged): the
    // input is [outer][count][inner], and the reduction runs by rows or by columns of contiguous floats.
    bool one_run = false;
    int64_t outer = 1, inner = 1;

    void run(RunCtx &ctx) override {
        switch (kind) {
            case Sum: return run_kind<Sum>(ctx);
            case Mean: return run_kind<Mean>(ctx);
            case Max: return run_kind<Max>(ctx);
            case Min: return run_kind<Min>(ctx);
            case Prod: return run_kind<Prod>(ctx);
            case SumSquare: return run_kind<SumSquare>(ctx);
            case L1: return run_kind<L1>(ctx);
            case L2: return run_kind<L2>(ctx);
            case LogSumExp: return run_general<LogSumExp>();
        }
    }

private:
    template <Kind K>
    void run_kind(RunCtx &ctx) {
        if (one_run)
            run_run<K>(ctx);
        else
            run_general<K>();
    }
    double init() const {
        return kind == Max    ? -std::numeric_limits<double>::infinity()
               : kind == Min  ? std::numeric_limits<double>::infinity()
               : kind == Prod ? 1.0
                              : 0.0;
    }
    // a folded with one more value v, and two partial results folded together.
    template <Kind K>
    static double step(double a, float v) {
        if constexpr (K == Max) return std::max(a, double(v));
        if constexpr (K == Min) return std::min(a, double(v));
        if constexpr (K == Prod) return a * v;
        if constexpr (K == SumSquare || K == L2) return a + double(v) * v;
        if constexpr (K == L1) return a + std::fabs(double(v));
        return a + v;
    }
    template <Kind K>
    static double merge(double a, double b) {
        if constexpr (K == Max) return std::max(a, b);
        if constexpr (K == Min) return std::min(a, b);
        if constexpr (K == Prod) return a * b;
        return a + b;
    }
    float finish(double a) const {
        if (kind == Mean) a /= double(count);
        if (kind == L2) a = std::sqrt(a);
        return float(a);
    }

    // Double accumulators, as the general path keeps: eight partial results along a row, one per column.
    template <Kind K>
    void run_run(RunCtx &ctx) {
        const double a0 = init();
        if (inner == 1) {
            ctx.pool.parallel_for(outer, Cost{double(count) * kFloatNs}, [&](int64_t o0, int64_t o1) {
                for (int64_t o = o0; o < o1; ++o) {
                    const float *xp = x->data + o * count;
                    double acc[8];
                    std::fill(acc, acc + 8, a0);
                    int64_t r = 0;
                    for (; r + 8 <= count; r += 8)
                        for (int j = 0; j < 8; ++j) acc[j] = step<K>(acc[j], xp[r + j]);
                    for (; r < count; ++r) acc[0] = step<K>(acc[0], xp[r]);
                    for (int j = 1; j < 8; ++j) acc[0] = merge<K>(acc[0], acc[j]);
                    y->data[o] = finish(acc[0]);
                }
            });
            return;
        }
        constexpr int64_t kCols = 512;
        const int64_t chunks = (inner + kCols - 1) / kCols;
        const Cost cost{double(count) * double(std::min(inner, kCols)) * kFloatNs};
        ctx.pool.parallel_for(outer * chunks, cost, [&](int64_t q0, int64_t q1) {
            double acc[kCols];
            for (int64_t q = q0; q < q1; ++q) {
                const int64_t o = q / chunks, i0 = q % chunks * kCols, w = std::min(kCols, inner - i0);
                std::fill(acc, acc + w, a0);
                for (int64_t r = 0; r < count; ++r) {
                    const float *xp = x->data + (o * count + r) * inner + i0;
                    for (int64_t i = 0; i < w; ++i) acc[i] = step<K>(acc[i], xp[i]);
                }
                float *yp = y->data + o * inner + i0;
                for (int64_t i = 0; i < w; ++i) yp[i] = finish(acc[i]);
            }
        });
    }

    // Any set of axes, and LogSumExp: one odometer over the input.
    template <Kind K>
    void run_general() {
        std::vector<double> acc(size_t(y->numel), init());
        std::vector<float> mx;
        if (K == LogSumExp) mx.assign(size_t(y->numel), -std::numeric_limits<float>::infinity());
        const size_t r = dims.size();
        std::vector<int64_t> ostride(r, 0);
        int64_t s = 1;
        for (size_t d = r; d-- > 0;)
            if (!reduced[d]) ostride[d] = s, s *= dims[d];
        // Two passes for LogSumExp (maximum first), one otherwise.
        for (int pass = K == LogSumExp ? 0 : 1; pass < 2; ++pass) {
            std::vector<int64_t> idx(r, 0);
            int64_t o = 0;
            for (int64_t i = 0; i < x->numel; ++i) {
                float v = x->data[i];
                double &a = acc[size_t(o)];
                if (pass == 0)
                    mx[size_t(o)] = std::max(mx[size_t(o)], v);
                else if constexpr (K == LogSumExp)
                    a += std::exp(double(v) - mx[size_t(o)]);
                else
                    a = step<K>(a, v);
                for (size_t d = r; d-- > 0;) {
                    o += ostride[d];
                    if (++idx[d] < dims[d]) break;
                    o -= ostride[d] * dims[d];
                    idx[d] = 0;
                }
            }
        }
        for (int64_t i = 0; i < y->numel; ++i)
            y->data[i] =
                K == LogSumExp ? float(std::log(acc[size_t(i)]) + mx[size_t(i)]) : finish(acc[size_t(i)]);
    }
};

const std::map<std::string, ReduceOp::Kind> &reduce_kinds() {
    static const std::map<std::string, ReduceOp::Kind> k{{"ReduceSum", ReduceOp::Sum},
                                                         {"ReduceMean", ReduceOp::Mean},
                                                         {"ReduceMax", ReduceOp::Max},
                                                         {"ReduceMin", ReduceOp::Min},
                                                         {"ReduceProd", ReduceOp::Prod},
                                                         {"ReduceSumSquare", ReduceOp::SumSquare},
                                                         {"ReduceL1", ReduceOp::L1},
                                                         {"ReduceL2", ReduceOp::L2},
                                                         {"ReduceLogSumExp", ReduceOp::LogSumExp}};
    return k;
}

std::unique_ptr<Op> make_reduce(const Node &n, Planner &p) {
    auto op = std::make_unique<ReduceOp>();
    op->kind = reduce_kinds().at(n.op_type);
    op->take_input(n);
    const Shape &xs = op->x->shape;
    bool keep = n.get_int("keepdims", 1) != 0;
    std::vector<int64_t> axes;
    if (n.input(1)) axes = const_ints(n, n.input(1), "axes");
    op->dims = xs;
    op->reduced.assign(xs.size(), axes.empty() && !n.get_int("noop_with_empty_axes", 0));
    for (int64_t a : axes) op->reduced[size_t(norm_axis(n, a, xs.size()))] = true;
    Shape out;
    for (size_t d = 0; d < xs.size(); ++d) {
        if (op->reduced[d]) {
            op->count *= xs[d];
            if (keep) out.push_back(1);
        } else {
            out.push_back(xs[d]);
        }
    }
    if ((op->kind == ReduceOp::Max || op->kind == ReduceOp::Min) && op->count == 0 && op->x->numel == 0)
        fail(n, "empty reduction");
    op->take_output(n, out);
    // Kept and reduced runs of axes, axes of size 1 left out: [outer][count][inner] if one run is reduced.
    std::vector<std::pair<int64_t, bool>> runs;
    for (size_t d = 0; d < xs.size(); ++d) {
        if (xs[d] == 1) continue;
        if (!runs.empty() && runs.back().second == op->reduced[d])
            runs.back().first *= xs[d];
        else
            runs.emplace_back(xs[d], op->reduced[d]);
    }
    const auto first = std::find_if(runs.begin(), runs.end(), [](const auto &r) { return r.second; });
    op->one_run = std::count_if(runs.begin(), runs.end(), [](const auto &r) { return r.second; }) <= 1;
    for (auto it = runs.begin(); it != runs.end(); ++it)
        if (!it->second) (it < first ? op->outer : op->inner) *= it->first;
    // The general path keeps a double accumulator per output (and the maxima of LogSumExp).
    if (!op->one_run || op->kind == ReduceOp::LogSumExp)
        p.charge(uint64_t(op->y->numel), op->kind == ReduceOp::LogSumExp ? 12 : 8);
    return op;
}

const std::map<std::string, BinKind> &binary_kinds() {
    static const std::map<std::string, BinKind> k{
        {"Add", BinKind::Add},  {"Sub", BinKind::Sub},    {"Mul", BinKind::Mul}, {"Div", BinKind::Div},
        {"Pow", BinKind::Pow},  {"Max", BinKind::Max},    {"Min", BinKind::Min}, {"Sum", BinKind::Add},
        {"Mean", BinKind::Add}, {"PRelu", BinKind::PRelu}};
    return k;
}

using Factory = std::unique_ptr<Op> (*)(const Node &, Planner &);

// The operator registry: every operator the engine runs, with the function that builds it.  The
// compiler's operator list is generated from it at build time (list_operators.cpp).
const std::map<std::string, Factory> &registry() {
    static const std::map<std::string, Factory> r = [] {
        std::map<std::string, Factory> m;
        auto add = [&m](std::initializer_list<const char *> names, Factory f) {
            for (const char *name : names) m[name] = f;
        };
        for (auto &k : binary_kinds())
            m[k.first] = [](const Node &n, Planner &) {
                const std::string &t = n.op_type;
                if (t == "PRelu" && n.in.size() != 2) fail(n, "needs X and slope");
                if ((t != "Sum" && t != "Mean" && t != "Max" && t != "Min") && n.in.size() != 2)
                    fail(n, "needs two inputs");
                return make_elementwise(n, binary_kinds().at(t), t == "Mean");
            };
        for (auto &k : unary_kinds())
            m[k.first] = [](const Node &n, Planner &) { return make_unary(n, unary_kinds().at(n.op_type)); };
        for (auto &k : reduce_kinds()) m[k.first] = make_reduce;
        add({"Relu", "LeakyRelu", "Clip", "Elu", "Sigmoid", "HardSigmoid", "HardSwish", "Tanh", "Exp", "Erf",
             "Mish", "Softplus", "Gelu"},
            make_activation);
        add({"Softmax", "LogSoftmax", "Hardmax"}, [](const Node &n, Planner &) { return make_softmax(n); });
        add({"LayerNormalization"}, make_layernorm);
        add({"Concat"}, [](const Node &n, Planner &) { return make_concat(n); });
        add({"Split"}, [](const Node &n, Planner &) { return make_split(n); });
        add({"Slice"}, [](const Node &n, Planner &) { return make_slice(n); });
        add({"Transpose"}, make_transpose);
        add({"Gather"}, make_gather);
        add({"Reshape", "Flatten", "Squeeze", "Unsqueeze"},
            [](const Node &n, Planner &) { return make_view(n); });
        add({"Pad"}, make_pad);
        add({"Resize"}, make_resize);
        add({"Expand"}, [](const Node &n, Planner &) { return make_expand(n); });
        add({"Conv", "ConvTranspose", "MaxPool", "AveragePool", "GlobalAveragePool", "GlobalMaxPool", "Gemm",
             "MatMul", "BatchNormalization", "LRN"},
            make_nn_op);
        return m;
    }();
    return r;
}

// Operators that only the rewrite passes create, never listed for the compiler.
const std::map<std::string, Factory> &internal_ops() {
    static const std::map<std::string, Factory> r{
        {"Silu", make_activation},
        {"FusedMatMul", make_nn_op},
    };
    return r;
}

}  // namespace

bool op_supported(const std::string &t) { return registry().count(t) != 0; }

std::vector<std::string> operator_names() {
    std::vector<std::string> names;
    for (auto &entry : registry()) names.push_back(entry.first);
    return names;
}

std::unique_ptr<Op> make_op(const Node &n, Planner &p) {
    const std::string &t = n.op_type;
    std::unique_ptr<Op> op;
    if (std::any_of(n.in.begin(), n.in.end(), [](const Tensor *x) { return x && x->blocked; })) {
        op = make_nchwc_op(n, p);
    } else {
        auto it = registry().find(t);
        if (it == registry().end()) {
            it = internal_ops().find(t);
            if (it == internal_ops().end()) fail(n, "unsupported operator");
        }
        op = it->second(n, p);
    }
    if (op) {
        op->name = n.name;
        if (op->op_type.empty()) {
            op->op_type = t;
            if (op->outs.size() == 1 && op->outs[0] != n.out[0]) op->op_type += "+Act";
        }
    }
    return op;
}

}  // namespace zelt::engine
