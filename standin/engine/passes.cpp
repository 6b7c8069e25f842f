// Rewrite passes over the parsed graph, run between parsing and planning.  Each pass replaces a pattern of
// nodes by a shorter equivalent (one node of a fused operator, or nothing), so that the planner and the
// kernels see one operator where an exporter wrote several.  A pass only matches patterns whose inner
// values nobody else reads and that are not graph outputs, and puts the replacement at the place of the
// pattern's last node: the node order stays topological.
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

}  // namespace

void rewrite(Graph &g) {
    using Pass = void (*)(Rewriter &);
    for (Pass pass : {drop_copies, fuse_silu}) {
        Rewriter rw(g);
        pass(rw);
        rw.commit();
    }
}

}  // namespace zelt::engine
