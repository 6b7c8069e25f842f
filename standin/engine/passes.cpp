// Rewrite passes over the parsed graph, run between parsing and planning.  Each pass replaces a pattern of
// nodes by a shorter equivalent (one node of a fused operator, or nothing), so that the planner and the
// kernels see one operator where an exporter wrote several.  A pass only matches patterns whose inner
// values nobody else reads and that are not graph outputs, and puts the replacement at the place of the
// pattern's last node: the node order stays topological.
#include <cmath>
#include <set>

#include "ops_util.hpp"

namespace zelt::engine {

Rewriter::Rewriter(Graph &g) : g(g) {
    for (size_t k = 0; k < g.nodes.size(); ++k) {
        for (Tensor *t : g.nodes[k].in)
            if (t) readers_[t].push_back(k);
        for (Tensor *t : g.nodes[k].out)
            if (t) producer_[t] = k;
    }
}

const Node *Rewriter::producer(const Tensor *t) const {
    auto it = producer_.find(t);
    return it == producer_.end() || dead_.count(it->second) ? nullptr : &g.nodes[it->second];
}

size_t Rewriter::index(const Node &n) const { return size_t(&n - g.nodes.data()); }

size_t Rewriter::reader_count(const Tensor *t) const {
    auto it = readers_.find(t);
    return it == readers_.end() ? 0 : it->second.size();
}

bool Rewriter::inner(const Tensor *t, size_t readers) const {
    return t && !t->is_output && reader_count(t) == readers;
}

Node *Rewriter::sole_reader(const Tensor *t) {
    if (!inner(t, 1)) return nullptr;
    const size_t k = readers_.at(t)[0];
    return dead_.count(k) ? nullptr : &g.nodes[k];
}

void Rewriter::remove(const Node &n) { dead_.insert(index(n)); }

void Rewriter::commit() {
    std::vector<Node> kept;
    kept.reserve(g.nodes.size() - dead_.size());
    for (size_t k = 0; k < g.nodes.size(); ++k)
        if (!dead_.count(k)) kept.push_back(std::move(g.nodes[k]));
    g.nodes = std::move(kept);
}

bool const_scalar(const Tensor *t, float value) {
    if (!t || !t->is_const() || t->dtype != DType::F32 || t->numel != 1) return false;
    return (t->kind == Tensor::Fill ? t->fill_f : t->fdata[0]) == value;
}

namespace {

// Identity, and Dropout (inference only copies), whose output is not a graph output: readers take the input.
void drop_copies(Rewriter &rw) {
    for (Node &n : rw.g.nodes) {
        if (n.op_type != "Identity" && n.op_type != "Dropout") continue;
        Tensor *x = n.input(0), *y = n.out.empty() ? nullptr : n.out[0];
        if (!x || !y || y->is_output || x->dtype != y->dtype) continue;
        if (n.out.size() > 1 && n.out[1] && rw.reader_count(n.out[1])) continue;  // a mask someone reads
        if (n.out.size() > 1 && n.out[1] && n.out[1]->is_output) continue;
        for (Node &m : rw.g.nodes)
            for (Tensor *&t : m.in)
                if (t == y) t = x;
        rw.remove(n);
    }
}

// x * Sigmoid(x), in either operand order: SiLU (also called Swish), one "Silu" node.
void fuse_silu(Rewriter &rw) {
    for (Node &n : rw.g.nodes) {
        if (n.op_type != "Mul" || n.in.size() != 2 || n.out.size() != 1) continue;
        for (int side = 0; side < 2; ++side) {
            Tensor *s = n.in[size_t(side)], *x = n.in[size_t(1 - side)];
            const Node *sig = x ? rw.producer(s) : nullptr;
            if (!sig || sig->op_type != "Sigmoid" || sig->input(0) != x || sig->out.size() != 1 ||
                !rw.inner(s, 1))
                continue;
            rw.remove(*sig);
            n.op_type = "Silu";
            n.in = {x};
            n.attrs.clear();
            break;
        }
    }
}

// The value of a float constant of one element and rank 0 or 1: combining it elementwise with a value of
// rank 1 or more leaves that value's shape as it is.
bool scalar_const(const Tensor *t, float &v) {
    if (!t || !t->is_const() || t->dtype != DType::F32 || t->numel != 1 || t->shape.size() > 1) return false;
    v = t->kind == Tensor::Fill ? t->fill_f : t->fdata[0];
    return true;
}

// Whether `t` is a float scalar constant within float rounding of `value` (exporters write such constants
// as the float nearest to an expression, or to a rounded decimal).
bool near_scalar(const Tensor *t, double value) {
    float v;
    return scalar_const(t, v) && std::fabs(v - value) <= 1e-6 * std::fabs(value);
}

// The node producing `t` when it is an inner value of the pattern (one reader) of type `op` with `ins`
// inputs and one output; nullptr otherwise.
const Node *inner_producer(const Rewriter &rw, const Tensor *t, const char *op, size_t ins) {
    const Node *n = rw.inner(t, 1) ? rw.producer(t) : nullptr;
    return n && n->op_type == op && n->in.size() == ins && n->out.size() == 1 ? n : nullptr;
}

// The other operand of two-input node `n`, one of whose operands is `t`; nullptr when both are `t`.
Tensor *other_input(const Node &n, const Tensor *t) {
    if (n.in.size() != 2 || n.out.size() != 1 || n.in[0] == n.in[1]) return nullptr;
    return n.in[0] == t ? n.in[1] : n.in[1] == t ? n.in[0] : nullptr;
}

// x * HardSigmoid(x) with alpha 1/6 and beta 1/2, in either operand order: one HardSwish node.
void fuse_hardswish(Rewriter &rw) {
    for (Node &n : rw.g.nodes) {
        if (n.op_type != "Mul" || n.in.size() != 2 || n.out.size() != 1) continue;
        for (int side = 0; side < 2; ++side) {
            Tensor *x = n.in[size_t(1 - side)];
            const Node *hs = x ? inner_producer(rw, n.in[size_t(side)], "HardSigmoid", 1) : nullptr;
            if (!hs || hs->in[0] != x || std::fabs(hs->get_float("alpha", 0.2f) - 1.0 / 6) > 1e-6 ||
                hs->get_float("beta", 0.5f) != 0.5f)
                continue;
            rw.remove(*hs);
            n.op_type = "HardSwish";
            n.in = {x};
            n.attrs.clear();
            break;
        }
    }
}

// The nodes of an exported GELU: 0.5 * x * (1 + f), with f = erf(x / sqrt 2), or the tanh approximation
// tanh(sqrt(2 / pi) * (x + 0.044715 x^3)), whatever the association of the product and the operand order.
struct GeluMatch {
    Tensor *x = nullptr;
    bool tanh = false;
    std::vector<const Node *> nodes;  // to remove, all but the last product
};

// Whether `t`, with readers counted by `rw`, is x^3: Pow(x, 3), or x * (x * x) in any association.
bool is_cube(const Rewriter &rw, const Tensor *t, const Tensor *x, std::vector<const Node *> &nodes) {
    if (const Node *p = inner_producer(rw, t, "Pow", 2); p && p->in[0] == x && near_scalar(p->in[1], 3)) {
        nodes.push_back(p);
        return true;
    }
    const Node *m = inner_producer(rw, t, "Mul", 2);
    if (!m) return false;
    Tensor *sq = other_input(*m, x);
    const Node *s = sq ? inner_producer(rw, sq, "Mul", 2) : nullptr;
    if (!s || s->in[0] != x || s->in[1] != x) return false;
    nodes.insert(nodes.end(), {m, s});
    return true;
}

// Whether `f` is erf(x / sqrt 2) or the tanh polynomial of some x: fills x and the nodes.
bool gelu_inner(const Rewriter &rw, const Tensor *f, GeluMatch &g) {
    if (const Node *e = inner_producer(rw, f, "Erf", 1)) {
        const Node *d = inner_producer(rw, e->in[0], "Div", 2);
        if (d && near_scalar(d->in[1], M_SQRT2)) {
            g.x = d->in[0];
        } else if (const Node *m = inner_producer(rw, e->in[0], "Mul", 2)) {
            for (int side = 0; side < 2 && !g.x; ++side)
                if (near_scalar(m->in[size_t(side)], M_SQRT1_2)) g.x = m->in[size_t(1 - side)];
            d = m;
        }
        if (!g.x) return false;
        g.nodes.insert(g.nodes.end(), {e, d});
        return true;
    }
    const Node *t = inner_producer(rw, f, "Tanh", 1);
    const Node *k = t ? inner_producer(rw, t->in[0], "Mul", 2) : nullptr;
    if (!k) return false;
    for (int side = 0; side < 2; ++side) {
        if (!near_scalar(k->in[size_t(side)], std::sqrt(2 / M_PI))) continue;
        const Node *sum = inner_producer(rw, k->in[size_t(1 - side)], "Add", 2);
        for (int xs = 0; sum && xs < 2; ++xs) {
            Tensor *x = sum->in[size_t(xs)];
            const Node *c = inner_producer(rw, sum->in[size_t(1 - xs)], "Mul", 2);
            for (int cs = 0; c && cs < 2; ++cs) {
                std::vector<const Node *> cube;
                if (!near_scalar(c->in[size_t(cs)], 0.044715) || !is_cube(rw, c->in[size_t(1 - cs)], x, cube))
                    continue;
                g.x = x;
                g.tanh = true;
                g.nodes.insert(g.nodes.end(), {t, k, sum, c});
                g.nodes.insert(g.nodes.end(), cube.begin(), cube.end());
                return true;
            }
        }
    }
    return false;
}

// Whether the product `n` is 0.5 * x * (1 + f) as above.
bool match_gelu(const Rewriter &rw, const Node &n, GeluMatch &g) {
    if (n.op_type != "Mul" || n.in.size() != 2 || n.out.size() != 1) return false;
    for (int side = 0; side < 2; ++side) {
        const Node *m = inner_producer(rw, n.in[size_t(side)], "Mul", 2);
        if (!m) continue;
        const Tensor *leaves[3] = {n.in[size_t(1 - side)], m->in[0], m->in[1]};
        for (int half = 0; half < 3; ++half) {  // the leaf that is 0.5
            if (!near_scalar(leaves[half], 0.5)) continue;
            for (int one = 0; one < 3; ++one) {  // the leaf that is 1 + f
                const Node *a = one == half ? nullptr : inner_producer(rw, leaves[one], "Add", 2);
                for (int fs = 0; a && fs < 2; ++fs) {
                    GeluMatch cand;
                    if (!near_scalar(a->in[size_t(1 - fs)], 1) || !gelu_inner(rw, a->in[size_t(fs)], cand) ||
                        !cand.x || cand.x != leaves[3 - half - one])
                        continue;
                    cand.nodes.insert(cand.nodes.end(), {a, m});
                    g = std::move(cand);
                    return true;
                }
            }
        }
    }
    return false;
}

// An exported GELU: one Gelu node (approximate "tanh" for the tanh form).
void fuse_gelu(Rewriter &rw) {
    for (Node &n : rw.g.nodes) {
        GeluMatch g;
        if (!match_gelu(rw, n, g)) continue;
        for (const Node *k : g.nodes) rw.remove(*k);
        n.op_type = "Gelu";
        n.in = {g.x};
        n.attrs.clear();
        if (g.tanh) {
            Attr a;
            a.type = Attr::String;
            a.s = "tanh";
            n.attrs["approximate"] = a;
        }
    }
}

// An activation of a value that a Transpose or a reshaping view made of a value nobody else reads runs
// before it instead: the activation then follows the operator that produced the value and fuses into its
// epilogue (a convolution's output turned into the tokens of a transformer, the activation on the tokens).
// The two nodes trade places, so the order stays topological; a chain of views is climbed one swap per
// round.
void hoist_activations(Graph &g) {
    static const std::set<std::string> moves{"Transpose", "Reshape", "Flatten", "Squeeze", "Unsqueeze"};
    for (bool moved = true; moved;) {
        moved = false;
        Rewriter rw(g);
        std::set<size_t> touched;
        for (size_t k = 0; k < g.nodes.size(); ++k) {
            Node &n = g.nodes[k];
            Activation act;
            if (n.out.size() != 1 || !n.input(0) || !fusable_activation(n, act) || !rw.inner(n.in[0], 1))
                continue;
            const Node *m = rw.producer(n.in[0]);
            if (!m || !moves.count(m->op_type) || m->out.size() != 1 || !rw.inner(m->input(0), 1)) continue;
            const size_t i = size_t(m - g.nodes.data());
            if (touched.count(i) || touched.count(k)) continue;
            Tensor *x = m->in[0], *mid = m->out[0], *y = n.out[0];
            std::swap(g.nodes[i], g.nodes[k]);
            g.nodes[i].in[0] = x;
            g.nodes[i].out[0] = mid;
            g.nodes[k].in[0] = mid;
            g.nodes[k].out[0] = y;
            touched.insert(i);
            touched.insert(k);
            moved = true;
        }
    }
}

// k where the ReduceMean `n` keeps its dimensions and reduces the last k axes, written as -k..-1 (the rank
// of its input is not known before planning, so positive axes cannot be told to be the last ones); 0
// otherwise.
int64_t tail_axes(const Node &n) {
    if (n.op_type != "ReduceMean" || n.out.size() != 1 || n.get_int("keepdims", 1) != 1) return 0;
    const Tensor *a = n.input(1);
    if (!a || !a->is_const() || a->dtype != DType::I64 || a->numel < 1 || a->numel > 8) return 0;
    const int64_t k = a->numel;
    for (int64_t i = 0; i < k; ++i) {
        const int64_t v = a->kind == Tensor::Fill ? a->fill_i : a->idata[size_t(i)];
        if (v != i - k) return 0;
    }
    return k;
}

// A float constant that `n` (an operator of two inputs) combines with `t`, of rank at most k: a scale or
// shift of the last k axes.
Tensor *tail_param(const Node &n, const Tensor *t, int64_t k) {
    Tensor *c = other_input(n, t);
    return c && c->is_const() && c->dtype == DType::F32 && int64_t(c->shape.size()) <= k ? c : nullptr;
}

// Layer normalisation as exporters decompose it, over the last k axes:
//   m = ReduceMean(x), d = Sub(x, m), v = ReduceMean(Pow(d, 2) or Mul(d, d)),
//   y = Div(d, Sqrt(Add(v, eps))), then optionally Mul(y, scale) and Add(y, bias)
// becomes one LayerNormalization node with axis -k.
void fuse_layernorm(Rewriter &rw) {
    for (Node &n : rw.g.nodes) {
        if (n.op_type != "Div" || n.in.size() != 2 || n.out.size() != 1 || !n.in[0]) continue;
        Tensor *d = n.in[0];
        const Node *sq = rw.inner(n.in[1], 1) ? rw.producer(n.in[1]) : nullptr;
        if (!sq || sq->op_type != "Sqrt" || sq->out.size() != 1 || !rw.inner(sq->input(0), 1)) continue;
        const Node *add = rw.producer(sq->input(0));
        float eps = 0;
        if (!add || add->op_type != "Add" || add->in.size() != 2) continue;
        const int side = scalar_const(add->in[1], eps) ? 0 : scalar_const(add->in[0], eps) ? 1 : -1;
        if (side < 0 || !rw.inner(add->in[size_t(side)], 1)) continue;
        const Node *var = rw.producer(add->in[size_t(side)]);
        if (!var || !rw.inner(var->input(0), 1)) continue;
        const int64_t k = tail_axes(*var);
        const Node *pw = rw.producer(var->input(0));
        float two = 0;
        if (!k || !pw || pw->out.size() != 1) continue;
        const bool squared = (pw->op_type == "Pow" && pw->in.size() == 2 && pw->in[0] == d &&
                              scalar_const(pw->in[1], two) && two == 2.f) ||
                             (pw->op_type == "Mul" && pw->in.size() == 2 && pw->in[0] == d && pw->in[1] == d);
        // d is read by the square (once or twice) and by the Div only.
        if (!squared || !rw.inner(d, pw->op_type == "Pow" ? 2 : 3)) continue;
        const Node *sub = rw.producer(d);
        if (!sub || sub->op_type != "Sub" || sub->in.size() != 2 || !sub->in[0] || !rw.inner(sub->in[1], 1))
            continue;
        Tensor *x = sub->in[0];
        const Node *mean = rw.producer(sub->in[1]);
        if (!mean || mean->input(0) != x || tail_axes(*mean) != k) continue;

        Node *last = &n;
        Tensor *scale = nullptr, *bias = nullptr;
        Node *r = rw.sole_reader(n.out[0]);
        if (r && r->op_type == "Mul" && (scale = tail_param(*r, n.out[0], k))) {
            rw.remove(*last);
            last = r;
            r = rw.sole_reader(r->out[0]);
        }
        if (r && r->op_type == "Add" && (bias = tail_param(*r, last->out[0], k))) {
            rw.remove(*last);
            last = r;
        }
        for (const Node *m : {mean, sub, pw, var, add, sq}) rw.remove(*m);
        last->op_type = "LayerNormalization";
        last->in = {x, scale, bias};
        last->attrs.clear();
        last->attrs["axis"].i = -k;
        last->attrs["epsilon"].type = Attr::Float;
        last->attrs["epsilon"].f = eps;
    }
}

// The attributes a "FusedMatMul" made from `n` starts with: those of a fused `n`; none of a plain MatMul,
// whatever a model wrote there.
std::map<std::string, Attr> fused_attrs(const Node &n) {
    std::map<std::string, Attr> a;
    if (n.op_type == "FusedMatMul") a = n.attrs;
    return a;
}

bool is_matmul(const Node &n) {
    return (n.op_type == "MatMul" || n.op_type == "FusedMatMul") && n.in.size() >= 2 && n.in[0] && n.in[1] &&
           n.out.size() == 1;
}

// The value that `n` multiplies by a finite scalar constant (Mul in either order, Div by a non-zero one),
// with the factor in `f`; nullptr when `n` is no such scaling.
Tensor *scaled_value(const Node &n, float &f) {
    if (n.in.size() != 2 || n.out.size() != 1 || !n.in[0] || !n.in[1]) return nullptr;
    if (n.op_type == "Div") {
        if (!scalar_const(n.in[1], f) || !std::isfinite(f) || f == 0) return nullptr;
        f = 1.f / f;
        return n.in[0];
    }
    if (n.op_type != "Mul") return nullptr;
    const int side = scalar_const(n.in[1], f) ? 0 : scalar_const(n.in[0], f) ? 1 : -1;
    return side >= 0 && std::isfinite(f) ? n.in[size_t(side)] : nullptr;
}

// Scalar factors on either operand of a MatMul, or on its result (attention scores scaled by
// 1/sqrt(head size)), go into the product's alpha: one "FusedMatMul" node.
void fold_matmul_scale(Rewriter &rw) {
    for (Node &n : rw.g.nodes) {
        if (!is_matmul(n)) continue;
        float alpha = n.op_type == "FusedMatMul" ? n.get_float("alpha", 1.f) : 1.f, f = 1.f;
        bool folded = false;
        for (size_t i = 0; i < 2; ++i) {
            const Node *m = rw.inner(n.in[i], 1) ? rw.producer(n.in[i]) : nullptr;
            Tensor *v = m ? scaled_value(*m, f) : nullptr;
            if (!v) continue;
            n.in[i] = v;
            alpha *= f;
            rw.remove(*m);
            folded = true;
        }
        Node *target = &n;
        Node *r = n.in.size() == 2 ? rw.sole_reader(n.out[0]) : nullptr;  // not past a bias
        if (r && scaled_value(*r, f) == n.out[0]) {
            alpha *= f;
            r->in = n.in;
            rw.remove(n);
            target = r;
            folded = true;
        }
        if (!folded) continue;
        target->attrs = fused_attrs(n);
        target->op_type = "FusedMatMul";
        target->attrs["alpha"].type = Attr::Float;
        target->attrs["alpha"].f = alpha;
    }
}

// Whether Transpose `n` swaps the last two axes and keeps the others.
bool swaps_last_two(const Node &n) {
    if (n.op_type != "Transpose" || n.out.size() != 1 || !n.input(0) || !n.has("perm")) return false;
    const std::vector<int64_t> perm = n.get_ints("perm");
    const size_t r = perm.size();
    if (r < 2) return false;
    for (size_t i = 0; i + 2 < r; ++i)
        if (perm[i] != int64_t(i)) return false;
    return perm[r - 2] == int64_t(r - 1) && perm[r - 1] == int64_t(r - 2);
}

// Whether `t` is a view of the output of a depthwise convolution (or of its activation), which it alone
// reads: the convolution writes the tokens that a Transpose makes of such a view itself
// (channels_last_reader).
bool view_of_depthwise(const Rewriter &rw, const Tensor *t) {
    const Node *v = rw.producer(t);
    if (!v || !is_view(*v) || !rw.inner(v->in[0], 1)) return false;
    const Node *c = rw.producer(v->in[0]);
    if (Activation act; c && fusable_activation(*c, act) && rw.inner(c->in[0], 1)) c = rw.producer(c->in[0]);
    if (!c || c->op_type != "Conv" || !c->input(1) || c->in[1]->shape.size() != 4) return false;
    const int64_t group = c->get_int("group", 1);
    return group > 1 && c->in[1]->shape[0] == group && c->in[1]->shape[1] == 1;
}

// An operand of a MatMul that a Transpose of its last two axes produced (the keys of attention, K^T) is
// read in place: the product takes it transposed (transA/transB of a "FusedMatMul").
void fold_matmul_transpose(Rewriter &rw) {
    for (Node &n : rw.g.nodes) {
        if (!is_matmul(n)) continue;
        auto attrs = fused_attrs(n);
        bool folded = false;
        for (size_t i = 0; i < 2; ++i) {
            const char *flag = i == 0 ? "transA" : "transB";
            const Node *t = rw.inner(n.in[i], 1) ? rw.producer(n.in[i]) : nullptr;
            if (!t || !swaps_last_two(*t) || attrs.count(flag) || view_of_depthwise(rw, t->in[0])) continue;
            n.in[i] = t->in[0];
            attrs[flag].i = 1;
            rw.remove(*t);
            folded = true;
        }
        if (!folded) continue;
        n.op_type = "FusedMatMul";
        n.attrs = std::move(attrs);
    }
}

}  // namespace

void rewrite(Graph &g) {
    using Pass = void (*)(Rewriter &);
    auto run = [&g](std::initializer_list<Pass> passes) {
        for (Pass pass : passes) {
            Rewriter rw(g);
            pass(rw);
            rw.commit();
        }
    };
    run({drop_copies, fuse_silu, fuse_hardswish, fuse_gelu});
    hoist_activations(g);  // before the fusions that look for activations after products
    run({fuse_layernorm, fold_matmul_scale, fold_matmul_transpose});
}

}  // namespace zelt::engine
