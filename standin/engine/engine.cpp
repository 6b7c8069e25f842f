#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>

#include "ops_util.hpp"

namespace zelt::engine {

namespace {

constexpr uint32_t kFormatVersion = 1;
constexpr int64_t kMaxElements = int64_t(1) << 30;  // per tensor
constexpr uint64_t kMaxBytes = uint64_t(6) << 30;   // all the memory of one model

void check_budget(const MemoryStats &m) {
    if (m.total > kMaxBytes) throw ModelError("the model needs more memory than the simulator allows");
}
constexpr size_t kMaxRank = 8;
constexpr size_t kAlign = 16;  // floats: 64-byte aligned arena slots

// Bounds-checked little-endian reader over the export section.
class Reader {
public:
    Reader(const uint8_t *p, size_t n) : p_(p), end_(p + n) {}
    template <typename T>
    T get() {
        need(sizeof(T));
        T v;
        std::memcpy(&v, p_, sizeof(T));
        p_ += sizeof(T);
        return v;
    }
    std::string str() {
        uint32_t n = get<uint32_t>();
        need(n);
        std::string s(reinterpret_cast<const char *>(p_), n);
        p_ += n;
        return s;
    }
    // A count of items of at least `item_bytes` each that must fit in what is left.
    uint32_t count(size_t item_bytes) {
        uint32_t n = get<uint32_t>();
        if (item_bytes && n > remaining() / item_bytes) throw ModelError("count exceeds the section");
        return n;
    }
    void bytes(void *dst, size_t n) {
        need(n);
        if (n == 0) return;
        std::memcpy(dst, p_, n);
        p_ += n;
    }
    size_t remaining() const { return size_t(end_ - p_); }

private:
    void need(size_t n) const {
        if (n > remaining()) throw ModelError("export section is truncated");
    }
    const uint8_t *p_, *end_;
};

size_t dtype_size(DType t) { return t == DType::F32 ? 4 : 8; }

}  // namespace

void MemoryStats::allocated(uint64_t n) {
    current += n;
    total += n;
    peak = std::max(peak, current);
}

void MemoryStats::freed(uint64_t n) { current -= std::min(current, n); }

int64_t numel_of(const Shape &s) {
    // The product of the non-zero dimensions is bounded too, so that no partial product of
    // dimensions can overflow anywhere, even in a tensor that is empty.
    int64_t n = 1, nonzero = 1;
    for (int64_t d : s) {
        if (d < 0) throw ModelError("negative dimension");
        if (d > kMaxElements || (d && nonzero > kMaxElements / d)) throw ModelError("tensor too large");
        if (d) nonzero *= d;
        n *= d;
    }
    return n;
}

void set_shape(Tensor *t, Shape s) {
    if (s.size() > kMaxRank) throw ModelError("rank of '" + t->name + "' too high");
    t->numel = numel_of(s);
    t->shape = std::move(s);
    t->shaped = true;
}

std::string shape_str(const Shape &s) {
    std::string r = "[";
    for (size_t i = 0; i < s.size(); ++i) r += (i ? "," : "") + std::to_string(s[i]);
    return r + "]";
}

[[noreturn]] void fail(const Node &node, const std::string &what) {
    throw ModelError(node.op_type + " node '" + node.name + "': " + what);
}

int64_t Node::get_int(const std::string &a, int64_t dflt) const {
    auto it = attrs.find(a);
    if (it == attrs.end()) return dflt;
    if (it->second.type != Attr::Int) fail(*this, "attribute " + a + " must be an int");
    return it->second.i;
}

float Node::get_float(const std::string &a, float dflt) const {
    auto it = attrs.find(a);
    if (it == attrs.end()) return dflt;
    if (it->second.type == Attr::Int) return float(it->second.i);
    if (it->second.type != Attr::Float) fail(*this, "attribute " + a + " must be a float");
    return it->second.f;
}

std::vector<int64_t> Node::get_ints(const std::string &a, std::vector<int64_t> dflt) const {
    auto it = attrs.find(a);
    if (it == attrs.end()) return dflt;
    if (it->second.type != Attr::Ints) fail(*this, "attribute " + a + " must be ints");
    return it->second.ints;
}

std::string Node::get_string(const std::string &a, const std::string &dflt) const {
    auto it = attrs.find(a);
    if (it == attrs.end()) return dflt;
    if (it->second.type != Attr::String) fail(*this, "attribute " + a + " must be a string");
    return it->second.s;
}

void Planner::charge(uint64_t count, uint64_t item_bytes) {
    if (item_bytes && count > (kMaxBytes - std::min(kMaxBytes, memory.total)) / item_bytes)
        throw ModelError("the model needs more memory than the simulator allows");
    memory.allocated(count * item_bytes);
}

void materialise(Tensor *t, MemoryStats &m) {
    if (t->kind != Tensor::Fill || !t->fdata.empty() || !t->idata.empty() || t->numel == 0) return;
    m.allocated(uint64_t(t->numel) * dtype_size(t->dtype));
    check_budget(m);
    if (t->dtype == DType::F32) {
        t->fdata.assign(size_t(t->numel), t->fill_f);
        t->data = t->fdata.data();
    } else {
        t->idata.assign(size_t(t->numel), t->fill_i);
    }
}

void Planner::materialise(Tensor *t) { engine::materialise(t, memory); }

void ZeroedFloats::Free::operator()(float *p) const { std::free(p); }

void ZeroedFloats::assign(size_t n) {
    p_.reset();
    data_ = nullptr;
    n_ = 0;
    if (n == 0) return;
    // calloc maps large blocks lazily and zeroed, but 16 bytes past a page: full-width vector accesses
    // would split cache lines, so the data starts at the next line.
    constexpr size_t kLine = 64 / sizeof(float);
    p_.reset(static_cast<float *>(std::calloc(n + kLine, sizeof(float))));
    if (!p_) throw std::bad_alloc();
    data_ = p_.get() + (kLine - reinterpret_cast<uintptr_t>(p_.get()) / sizeof(float) % kLine) % kLine;
    n_ = n;
}

Tensor *Planner::temporary(const std::string &name, int64_t n) {
    auto t = std::make_unique<Tensor>();
    t->name = name;
    set_shape(t.get(), {n});
    tensors.push_back(std::move(t));
    return tensors.back().get();
}

const Node *Planner::single_consumer(const Tensor *t) const {
    auto it = consumers.find(t);
    if (t->is_output || it == consumers.end() || it->second != 1) return nullptr;
    for (size_t k = index + 1; k < nodes.size(); ++k)
        for (const Tensor *x : nodes[k].in)
            if (x == t) return &nodes[k];
    return nullptr;
}

// ---------------------------------------------------------------- thread pool

namespace {

uint32_t tasks_of(uint64_t state) { return uint32_t(state >> 16) & 0xFFFF; }
uint32_t next_of(uint64_t state) { return uint32_t(state) & 0xFFFF; }
bool claimable(uint64_t state) { return next_of(state) < tasks_of(state); }

// Waits for pred() by spinning for `spin` (the operators of a run follow each other within microseconds,
// sooner than a sleeping thread wakes up), then yielding for `yield` (on a machine with more runnable
// threads than cores, the thread waited for may need this core).  False when pred() still does not hold:
// the caller then sleeps.
template <typename Pred>
bool spin_then_yield(Pred pred, std::chrono::microseconds spin, std::chrono::microseconds yield) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (unsigned i = 1;; ++i) {
        if (pred()) return true;
        if (i % 64 == 0 && Clock::now() - start >= spin) break;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    const auto yielding = Clock::now();
    while (Clock::now() - yielding < yield) {
        if (pred()) return true;
        std::this_thread::yield();
    }
    return pred();
}

constexpr std::chrono::microseconds kWorkerSpin{50}, kWorkerYield{200};  // for the next job
constexpr std::chrono::microseconds kCallerSpin{20}, kCallerYield{100};  // for the last task of a job
// Of a parallel_for: the pieces per task (what a held-up thread leaves to the others), the least work of a
// piece, and the least work worth a worker (a sleeping one takes tens of microseconds to wake, and a
// running one still costs the claims and the wait for the last piece).
constexpr int64_t kPiecesPerTask = 8;
constexpr double kPieceNs = 4000, kSerialNs = 16000;

}  // namespace

ThreadPool::ThreadPool(int n) : n_(std::min(std::max(1, n), kMaxThreads)) {
    for (int i = 1; i < n_; ++i) workers_.emplace_back(&ThreadPool::worker, this);
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lk(m_);
        stop_.store(true);
    }
    wake_.notify_all();
    for (auto &t : workers_) t.join();
}

// Claims and runs tasks of the current job until none is left; true if it ran any.
bool ThreadPool::run_claimed() {
    bool ran = false;
    uint64_t s = state_.load(std::memory_order_acquire);
    while (claimable(s)) {
        // The job cannot change before this claim succeeds: it changes only once every task is claimed.
        const std::function<void(int)> *fn = job_.load(std::memory_order_relaxed);
        if (!state_.compare_exchange_weak(s, s + 1, std::memory_order_acq_rel, std::memory_order_acquire))
            continue;
        (*fn)(int(next_of(s)));
        ran = true;
        // Sequentially consistent, as the caller's flag and check: one of the two sides sees the other.
        if (unfinished_.fetch_sub(1) == 1 && caller_sleeps_.load()) {
            std::lock_guard<std::mutex> lk(m_);
            done_.notify_one();
        }
        s = state_.load(std::memory_order_acquire);
    }
    return ran;
}

void ThreadPool::worker() {
    // Sequentially consistent loads: a sleeper counts itself before its last check, the caller publishes a
    // job before it reads the count, so either the caller sees the sleeper or the sleeper sees the job.
    auto has_work = [this] { return claimable(state_.load()) || stop_.load(); };
    while (!stop_.load()) {
        if (run_claimed() || spin_then_yield(has_work, kWorkerSpin, kWorkerYield)) continue;
        std::unique_lock<std::mutex> lk(m_);
        sleepers_.fetch_add(1);
        wake_.wait(lk, has_work);
        sleepers_.fetch_sub(1);
    }
}

void ThreadPool::wait_for_workers() {
    auto done = [this] { return unfinished_.load() == 0; };
    if (spin_then_yield(done, kCallerSpin, kCallerYield)) return;
    std::unique_lock<std::mutex> lk(m_);
    caller_sleeps_.store(true);
    done_.wait(lk, done);
    caller_sleeps_.store(false);
}

void ThreadPool::run_tasks(int tasks, const std::function<void(int)> &fn) {
    tasks = std::min(tasks, n_);
    if (tasks <= 1) {
        fn(0);
        return;
    }
    job_.store(&fn, std::memory_order_relaxed);
    unfinished_.store(tasks, std::memory_order_relaxed);
    ++generation_;
    state_.store(generation_ << 32 | uint64_t(tasks) << 16);  // publishes the job
    if (sleepers_.load() > 0) {
        {
            std::lock_guard<std::mutex> lk(m_);
        }  // a worker between its check and its wait is now waiting
        wake_.notify_all();
    }
    run_claimed();
    wait_for_workers();
}

void ThreadPool::split(int64_t n, int64_t grain, const std::function<void(int, int64_t, int64_t)> &fn) {
    if (n <= 0) return;
    const int64_t most = std::max<int64_t>(1, n / std::max<int64_t>(1, grain));  // pieces of at least `grain`
    const int tasks = int(std::min<int64_t>(n_, most));
    if (tasks <= 1) {
        fn(0, 0, n);
        return;
    }
    const int64_t pieces = std::min<int64_t>(most, tasks * kPiecesPerTask);
    struct alignas(64) Share {  // a cache line each: the owner's claims do not disturb the others'
        std::atomic<int64_t> next;
        int64_t end;
    };
    std::vector<Share> shares(static_cast<size_t>(tasks));
    for (int t = 0; t < tasks; ++t) {
        shares[size_t(t)].next.store(pieces * t / tasks, std::memory_order_relaxed);
        shares[size_t(t)].end = pieces * (t + 1) / tasks;
    }
    run_tasks(tasks, [&](int task) {
        for (int k = 0; k < tasks; ++k) {
            Share &sh = shares[size_t((task + k) % tasks)];
            for (int64_t p; (p = sh.next.fetch_add(1, std::memory_order_relaxed)) < sh.end;)
                fn(task, n * p / pieces, n * (p + 1) / pieces);
        }
    });
}

void ThreadPool::parallel_for(int64_t n, Cost cost, const std::function<void(int, int64_t, int64_t)> &fn) {
    if (n <= 0) return;
    const double ns = std::max(cost.ns, 1e-3);
    if (n_ == 1 || double(n) * ns < kSerialNs) {
        fn(0, 0, n);
        return;
    }
    split(n, std::max(cost.min_items, int64_t(std::ceil(kPieceNs / ns))), fn);
}

void ThreadPool::parallel_for(int64_t n, Cost cost, const std::function<void(int64_t, int64_t)> &fn) {
    parallel_for(n, cost, [&](int, int64_t b, int64_t e) { fn(b, e); });
}

// ---------------------------------------------------------------- loading

namespace {

void read_header(Reader &r) {
    char magic[4];
    r.bytes(magic, 4);
    if (std::memcmp(magic, "ZENG", 4) != 0) throw ModelError("not an engine graph (bad magic)");
    uint32_t version = r.get<uint32_t>();
    if (version != kFormatVersion)
        throw ModelError("unsupported graph format version " + std::to_string(version));
}

// One tensor record; constant payloads are counted in `memory` before they are allocated.
std::unique_ptr<Tensor> read_tensor(Reader &r, MemoryStats &memory) {
    auto t = std::make_unique<Tensor>();
    t->name = r.str();
    uint8_t kind = r.get<uint8_t>();
    if (kind > Tensor::Value) throw ModelError("bad kind of tensor '" + t->name + "'");
    t->kind = Tensor::Kind(kind);
    if (t->kind == Tensor::Value) return t;
    uint8_t dt = r.get<uint8_t>();
    if (dt > uint8_t(DType::I64)) throw ModelError("bad type of tensor '" + t->name + "'");
    t->dtype = DType(dt);
    uint8_t rank = r.get<uint8_t>();
    Shape s(rank);
    for (auto &d : s) d = r.get<int64_t>();
    set_shape(t.get(), std::move(s));
    if (t->kind == Tensor::Input && t->dtype != DType::F32)
        throw ModelError("input '" + t->name + "' is not float32");
    size_t es = dtype_size(t->dtype);
    if (t->kind == Tensor::Data && size_t(t->numel) > r.remaining() / es)
        throw ModelError("data of tensor '" + t->name + "' is truncated");
    if (t->kind == Tensor::Fill) {
        if (t->dtype == DType::F32)
            t->fill_f = r.get<float>();
        else
            t->fill_i = r.get<int64_t>();
    } else if (t->kind == Tensor::Data && t->numel) {
        memory.allocated(uint64_t(t->numel) * es);
        check_budget(memory);
        if (t->dtype == DType::F32) {
            t->fdata.resize(size_t(t->numel));
            r.bytes(t->fdata.data(), t->fdata.size() * 4);
            t->data = t->fdata.data();
        } else {
            t->idata.resize(size_t(t->numel));
            r.bytes(t->idata.data(), t->idata.size() * 8);
        }
    }
    return t;
}

Attr read_attr(Reader &r, const Node &node) {
    Attr a;
    uint8_t type = r.get<uint8_t>();
    switch (type) {
        case Attr::Int:
            a.i = r.get<int64_t>();
            break;
        case Attr::Float:
            a.f = r.get<float>();
            break;
        case Attr::Ints:
            a.ints.resize(r.count(8));
            r.bytes(a.ints.data(), a.ints.size() * 8);
            break;
        case Attr::Floats:
            a.floats.resize(r.count(4));
            r.bytes(a.floats.data(), a.floats.size() * 4);
            break;
        case Attr::String:
            a.s = r.str();
            break;
        default:
            fail(node, "bad attribute type");
    }
    a.type = Attr::Type(type);
    return a;
}

Tensor *tensor_at(const Graph &g, uint32_t id) {
    if (id >= g.tensors.size()) throw ModelError("tensor id out of range");
    return g.tensors[id].get();
}

// The lists of graph inputs and outputs.
void read_graph_io(Reader &r, Graph &g) {
    uint32_t n_inputs = r.count(4);
    std::set<const Tensor *> listed;
    for (uint32_t i = 0; i < n_inputs; ++i) {
        Tensor *t = tensor_at(g, r.get<uint32_t>());
        if (t->kind != Tensor::Input || !listed.insert(t).second)
            throw ModelError("graph input '" + t->name + "' is not an input tensor");
        g.input_tensors.push_back(t);
    }
    for (auto &t : g.tensors)
        if (t->kind == Tensor::Input && !listed.count(t.get()))
            throw ModelError("input tensor '" + t->name + "' is not listed as a graph input");
    uint32_t n_outputs = r.count(4);
    if (n_outputs == 0) throw ModelError("graph has no outputs");
    for (uint32_t i = 0; i < n_outputs; ++i) {
        Tensor *t = tensor_at(g, r.get<uint32_t>());
        if (t->kind != Tensor::Value || t->is_output)
            throw ModelError("graph output '" + t->name + "' must be a distinct computed tensor");
        t->is_output = true;
        g.output_tensors.push_back(t);
    }
}

// One node; `produced` holds the values of the nodes before it.
void read_node(Reader &r, const Graph &g, Node &node, std::set<const Tensor *> &produced) {
    node.op_type = r.str();
    node.name = r.str();
    uint32_t n_in = r.count(4);
    for (uint32_t k = 0; k < n_in; ++k) {
        int32_t id = r.get<int32_t>();
        if (id == -1) {
            node.in.push_back(nullptr);
            continue;
        }
        Tensor *t = tensor_at(g, uint32_t(id));
        // Topological order: a computed value must be produced by an earlier node.
        if (t->kind == Tensor::Value && !produced.count(t))
            fail(node, "input '" + t->name + "' is used before it is produced");
        node.in.push_back(t);
    }
    uint32_t n_out = r.count(4);
    for (uint32_t k = 0; k < n_out; ++k) {
        Tensor *t = tensor_at(g, r.get<uint32_t>());
        if (t->kind != Tensor::Value || !produced.insert(t).second)
            fail(node, "output '" + t->name + "' is not a fresh computed tensor");
        node.out.push_back(t);
    }
    uint32_t n_attrs = r.count(5);
    for (uint32_t k = 0; k < n_attrs; ++k) {
        std::string name = r.str();
        node.attrs[name] = read_attr(r, node);
    }
    if (!op_supported(node.op_type)) fail(node, "unsupported operator");
}

}  // namespace

Graph::Graph(const uint8_t *data, size_t size) {
    if (!data) throw ModelError("no export section");
    Reader r(data, size);
    read_header(r);
    uint32_t n_tensors = r.count(6);
    tensors.reserve(n_tensors);
    for (uint32_t i = 0; i < n_tensors; ++i) tensors.push_back(read_tensor(r, memory));
    read_graph_io(r, *this);
    nodes.resize(r.count(16));
    std::set<const Tensor *> produced;
    for (auto &node : nodes) read_node(r, *this, node, produced);
    if (r.remaining() != 0) throw ModelError("trailing bytes after the graph");
    for (Tensor *t : output_tensors)
        if (!produced.count(t)) throw ModelError("graph output '" + t->name + "' is never produced");
}

void Graph::plan() {
    std::map<const Tensor *, int> consumers;
    for (auto &n : nodes)
        for (Tensor *t : n.in)
            if (t) ++consumers[t];
    std::vector<bool> fused(nodes.size(), false);
    std::map<Tensor *, Tensor *> plain_copies;  // of blocked tensors, for readers that need NCHW
    for (size_t k = 0; k < nodes.size(); ++k) {
        if (fused[k]) continue;
        Node &n = nodes[k];
        for (Tensor *t : n.in)
            if (t && !t->shaped) fail(n, "input '" + t->name + "' has no shape");
        Planner p{nodes, k, consumers, fused, tensors, memory};
        for (size_t i = 0; i < n.in.size(); ++i) {
            Tensor *t = n.in[i];
            if (!t || !t->blocked || accepts_blocked(n, i, p)) continue;
            Tensor *&plain = plain_copies[t];
            if (!plain) {
                auto copy = std::make_unique<Tensor>();
                copy->name = t->name + "/nchw";
                set_shape(copy.get(), t->shape);
                plain = copy.get();
                tensors.push_back(std::move(copy));
                ops.push_back(make_to_plain(t, plain));
                ops.back()->name = plain->name;
            }
            n.in[i] = plain;
        }
        std::unique_ptr<Op> op = make_op(n, p);
        for (Tensor *t : n.out)
            if (!t->shaped && !fused[k]) fail(n, "output '" + t->name + "' got no shape");
        // An operator with nothing to write costs nothing at run time.
        if (op && std::any_of(op->outs.begin(), op->outs.end(), [](const Tensor *t) { return t->numel; }))
            ops.push_back(std::move(op));
    }
    for (Tensor *t : output_tensors)
        if (!t->shaped || t->alias) throw ModelError("graph output '" + t->name + "' is not computed");
    for (auto &op : ops)
        for (Tensor *t : op->ins) materialise(t->root(), memory);  // Fill constants read at run time

    // Lifetimes of the storage roots, in operator steps.
    const int last = int(ops.size());
    for (int k = 0; k < last; ++k) {
        for (Tensor *t : ops[k]->ins) {
            Tensor *r = t->root();
            if (r->first_use < 0) r->first_use = k;
            r->last_use = k;
        }
        for (Tensor *t : ops[k]->outs) {
            Tensor *r = t->root();
            if (r->first_use < 0) r->first_use = k;
            r->last_use = std::max(r->last_use, k);
        }
    }

    // Inputs and outputs get storage of their own; the other values share one
    // arena, placed greedily by size so that tensors whose lifetimes overlap never overlap in memory.
    size_t io_floats = 0;
    auto slot = [](int64_t n) { return (size_t(n) + kAlign - 1) / kAlign * kAlign; };
    std::vector<Tensor *> values;
    for (auto &t : tensors) {
        if (t->kind == Tensor::Input || t->is_output)
            io_floats += slot(t->numel);  // never blocked
        else if (t->kind == Tensor::Value && !t->alias && t->shaped && t->first_use >= 0)
            values.push_back(t.get());
    }
    std::stable_sort(values.begin(), values.end(),
                     [](Tensor *a, Tensor *b) { return a->storage() > b->storage(); });
    struct Placed {
        size_t off, size;
        int first, last;
    };
    std::vector<Placed> placed;
    std::vector<size_t> offsets(values.size());
    size_t arena_floats = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        Tensor *t = values[i];
        size_t need = slot(t->storage());
        std::vector<std::pair<size_t, size_t>> busy;
        for (auto &p : placed)
            if (p.first <= t->last_use && t->first_use <= p.last) busy.emplace_back(p.off, p.off + p.size);
        std::sort(busy.begin(), busy.end());
        size_t off = 0;
        for (auto &b : busy) {
            if (off + need <= b.first) break;
            off = std::max(off, b.second);
        }
        placed.push_back({off, need, t->first_use, t->last_use});
        offsets[i] = off;
        arena_floats = std::max(arena_floats, off + need);
    }
    memory.allocated(uint64_t(arena_floats + io_floats) * 4);
    check_budget(memory);
    arena.assign(arena_floats);
    io.assign(io_floats);
    for (size_t i = 0; i < values.size(); ++i) values[i]->data = arena.data() + offsets[i];
    size_t io_off = 0;
    for (auto &t : tensors)
        if (t->kind == Tensor::Input || t->is_output) {
            t->data = io.data() + io_off;
            io_off += slot(t->numel);
        }
    for (auto &t : tensors) {
        if (!t->alias) continue;
        int64_t offset = 0;
        for (const Tensor *a = t.get(); a->alias; a = a->alias) offset += a->alias_offset;
        t->data = t->root()->data + offset;
    }
    // Empty tensors still get a valid address, so that kernels may pass it to memcpy and friends.
    for (auto &t : tensors)
        if (!t->data) t->data = empty_;

    for (Tensor *t : input_tensors) input_info.push_back({t->name, t->shape, t->numel});
    for (Tensor *t : output_tensors) output_info.push_back({t->name, t->shape, t->numel});
    pool = std::make_unique<ThreadPool>(int(std::max(1u, std::thread::hardware_concurrency())));
    resize_scratch();
}

void Graph::resize_scratch() {
    size_t per_thread = 0;
    for (auto &op : ops) per_thread = std::max(per_thread, op->scratch_floats());
    if (per_thread > kMaxBytes / 4) throw ModelError("operator scratch too large");
    size_t want = per_thread * size_t(pool->size());
    if (want > scratch.size()) {
        memory.allocated((want - scratch.size()) * 4);
        check_budget(memory);
        scratch.assign(want);
    }
}

// ---------------------------------------------------------------- Engine

Engine::Engine(const uint8_t *data, size_t size) {
    // The engine parallelises around its GEMM calls itself; OpenBLAS threads would compete with it.
    static std::once_flag single_threaded_blas;
    std::call_once(single_threaded_blas, [] { scipy_openblas_set_num_threads(1); });
    // Three stages: parse, rewrite passes, then planning (shapes, kernels, layouts, memory).
    graph_ = std::make_unique<Graph>(data, size);
    rewrite(*graph_);
    graph_->plan();
}
Engine::~Engine() = default;

const std::vector<TensorInfo> &Engine::inputs() const { return graph_->input_info; }
const std::vector<TensorInfo> &Engine::outputs() const { return graph_->output_info; }
float *Engine::input_data(size_t i) { return graph_->input_tensors.at(i)->data; }
const float *Engine::output_data(size_t i) const { return graph_->output_tensors.at(i)->data; }
const std::vector<LayerTime> &Engine::layer_times() const { return graph_->times; }
const MemoryStats &Engine::memory() const { return graph_->memory; }
int Engine::threads() const { return graph_->pool->size(); }

void Engine::set_threads(int n) {
    if (n == graph_->pool->size()) return;
    graph_->pool = std::make_unique<ThreadPool>(n);
    graph_->resize_scratch();
}

void Engine::run(bool profile) {
    Graph &g = *graph_;
    size_t per_thread = g.pool->size() ? g.scratch.size() / size_t(g.pool->size()) : 0;
    RunCtx ctx{*g.pool, g.scratch.data(), per_thread};
    g.times.clear();
    for (auto &op : g.ops) {
        if (!profile) {
            op->run(ctx);
            continue;
        }
        auto t0 = std::chrono::steady_clock::now();
        op->run(ctx);
        auto t1 = std::chrono::steady_clock::now();
        g.times.push_back({op->op_type, op->name, op->outs.empty() ? Shape{} : op->outs[0]->shape,
                           std::chrono::duration<double, std::micro>(t1 - t0).count()});
    }
}

}  // namespace zelt::engine
