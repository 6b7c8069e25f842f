// Internal structures of the engine: tensors, nodes, operators, thread pool.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine.hpp"

namespace zelt::engine {

enum class DType : uint8_t { F32 = 0, I64 = 1 };

struct Tensor {
    enum Kind : uint8_t { Input = 0, Data = 1, Fill = 2, Value = 3 };
    std::string name;
    Kind kind = Value;
    DType dtype = DType::F32;
    Shape shape;
    int64_t numel = 0;
    bool shaped = false;  // shape known: inputs, constants, and values once produced
    bool is_output = false;
    bool blocked = false;  // stored channel-blocked: [N][C/8][H][W][8], channels padded to a multiple of 8
    std::vector<float> fdata;    // float constants
    std::vector<int64_t> idata;  // int64 constants (shape parameters)
    // The value of a Fill constant, whose elements exist only once something needs them (materialise):
    // a tiny model may declare a huge one.
    float fill_f = 0;
    int64_t fill_i = 0;
    Tensor *alias = nullptr;   // a view, or a part of a concatenation, shares the storage of this tensor
    int64_t alias_offset = 0;  // floats into the storage of `alias`
    // A product scaled_of x channel_scale (one value per channel) that is never stored: the pointwise
    // convolution reading it scales its weights instead.
    Tensor *scaled_of = nullptr, *channel_scale = nullptr;
    // A channels-first [N, C, ...] value that a Transpose (and views) made of channels-last x, [N, ..., C],
    // never stored: the depthwise convolution reading it gathers its rows from x (make_transpose).
    Tensor *channels_last_of = nullptr;
    float *data = nullptr;     // float storage at run time
    int first_use = -1, last_use = -1;

    bool is_const() const { return kind == Data || kind == Fill; }
    // Floats of storage: the padded channel blocks of a blocked tensor.
    int64_t storage() const {
        return blocked ? shape[0] * ((shape[1] + 7) / 8 * 8) * shape[2] * shape[3] : numel;
    }
    Tensor *root() { return alias ? alias->root() : this; }
};

struct Attr {
    enum Type : uint8_t { Int = 0, Float = 1, Ints = 2, Floats = 3, String = 4 };
    Type type = Int;
    int64_t i = 0;
    float f = 0;
    std::vector<int64_t> ints;
    std::vector<float> floats;
    std::string s;
};

struct Node {
    std::string op_type, name;
    std::vector<Tensor *> in;  // nullptr for an absent optional input
    std::vector<Tensor *> out;
    std::map<std::string, Attr> attrs;

    Tensor *input(size_t i) const { return i < in.size() ? in[i] : nullptr; }
    bool has(const std::string &a) const { return attrs.count(a) != 0; }
    int64_t get_int(const std::string &a, int64_t dflt) const;
    float get_float(const std::string &a, float dflt) const;
    std::vector<int64_t> get_ints(const std::string &a, std::vector<int64_t> dflt = {}) const;
    std::string get_string(const std::string &a, const std::string &dflt) const;
};

// The estimated time of one item of a parallel loop on one thread, in nanoseconds, and the fewest items a
// piece may hold (a GEMM on too few columns runs slowly).  From it the pool decides whether a loop is worth
// waking a worker for at all and how finely to split it.
struct Cost {
    double ns;
    int64_t min_items = 1;
};

// Worker threads for the operators of one engine.  Jobs are split into tasks that go to whichever thread
// claims them first, the caller included, so a thread the machine holds up (descheduled by other work, slow
// to wake) never holds back the start of the others' work; idle threads spin briefly, then yield, then sleep.
class ThreadPool {
public:
    explicit ThreadPool(int n);
    ~ThreadPool();
    int size() const { return n_; }
    // Calls fn(t) once for every t in [0, tasks), tasks <= size(), on the caller and the workers; returns
    // when all have returned.  No two calls run with the same t at once: fn may use resources of task t.
    void run_tasks(int tasks, const std::function<void(int)> &fn);
    // Calls fn(task, begin, end) on ranges that cover [0, n) once, task < size() naming the thread's own
    // resources (scratch) as in run_tasks.  Each thread starts on a contiguous share of its own, then takes
    // what is left of the others' shares piece by piece: a thread held up by the machine hands most of its
    // share over instead of the whole loop waiting for it.  A loop whose cost is below what waking a worker
    // costs runs on the caller alone.
    void parallel_for(int64_t n, Cost cost, const std::function<void(int, int64_t, int64_t)> &fn);
    void parallel_for(int64_t n, Cost cost, const std::function<void(int64_t, int64_t)> &fn);

private:
    static constexpr int kMaxThreads = 1024;
    void split(int64_t n, int64_t grain, const std::function<void(int, int64_t, int64_t)> &fn);
    bool run_claimed();
    void worker();
    void wait_for_workers();
    int n_;
    std::vector<std::thread> workers_;
    // The current job: generation (bits 32-63), task count (16-31) and the next unclaimed task (0-15) in one
    // word, so that a claim (compare-and-swap) only succeeds for the job whose task count it read.
    std::atomic<uint64_t> state_{0};
    std::atomic<const std::function<void(int)> *> job_{nullptr};
    std::atomic<int> unfinished_{0};  // tasks of the current job not yet returned
    uint64_t generation_ = 0;         // the caller's own count
    // Sleeping sides: workers wait on wake_ for a job, the caller on done_ for the last task.
    std::mutex m_;
    std::condition_variable wake_, done_;
    std::atomic<int> sleepers_{0};
    std::atomic<bool> caller_sleeps_{false};
    std::atomic<bool> stop_{false};
};

struct RunCtx {
    ThreadPool &pool;
    float *scratch;  // shared by all operators, scratch_floats() of the largest per thread times threads
    size_t scratch_per_thread;
};

class Op {
public:
    virtual ~Op() = default;
    virtual void run(RunCtx &ctx) = 0;
    // Scratch floats one thread needs.
    virtual size_t scratch_floats() const { return 0; }
    std::string op_type, name;
    std::vector<Tensor *> ins, outs;
};

// Builds the operator for `node`: checks the inputs and attributes, sets the
// output shapes, and may fuse a following activation (marking that node in
// `fused`).  `consumers` counts the readers of each tensor.  Throws ModelError.
struct Planner {
    const std::vector<Node> &nodes;
    size_t index;
    const std::map<const Tensor *, int> &consumers;
    std::vector<bool> &fused;
    std::vector<std::unique_ptr<Tensor>> &tensors;
    MemoryStats &memory;
    const Node *single_consumer(const Tensor *t) const;
    // Counts `count` items of `item_bytes` that the operator is about to allocate for itself (index maps,
    // coordinate tables, repacked weights) against the model's memory budget; throws ModelError, before
    // anything is allocated, when they do not fit.
    void charge(uint64_t count, uint64_t item_bytes);
    // Gives a Fill constant its elements, charged to the budget; nothing for any other tensor.
    void materialise(Tensor *t);
    // A value of `numel` floats that only the current operator uses (padded copies of its input).
    Tensor *temporary(const std::string &name, int64_t numel);
};

std::unique_ptr<Op> make_op(const Node &node, Planner &planner);
bool op_supported(const std::string &op_type);
// The operators of the registry, sorted by name.
std::vector<std::string> operator_names();

// Gives a Fill constant its elements (float storage and `data`, or int64 `idata`), counted in `m` first.
void materialise(Tensor *t, MemoryStats &m);

// Helpers shared by the operator sources.
[[noreturn]] void fail(const Node &node, const std::string &what);
int64_t numel_of(const Shape &s);
void set_shape(Tensor *t, Shape s);
std::string shape_str(const Shape &s);

// Zero-filled float storage that costs no resident memory until it is written: large blocks come as fresh
// pages from the system (calloc does not clear those), so that a plan that is never run costs nothing.
class ZeroedFloats {
public:
    void assign(size_t n);
    float *data() { return data_; }
    size_t size() const { return n_; }

private:
    struct Free {
        void operator()(float *p) const;
    };
    std::unique_ptr<float, Free> p_;
    float *data_ = nullptr;  // p_ rounded up to a cache line
    size_t n_ = 0;
};

class Graph {
public:
    Graph(const uint8_t *data, size_t size);
    std::vector<std::unique_ptr<Tensor>> tensors;
    std::vector<Node> nodes;
    std::vector<Tensor *> input_tensors, output_tensors;
    std::vector<TensorInfo> input_info, output_info;
    std::vector<std::unique_ptr<Op>> ops;
    ZeroedFloats arena, scratch, io;
    std::vector<LayerTime> times;
    MemoryStats memory;
    std::unique_ptr<ThreadPool> pool;

    void plan();
    void resize_scratch();

private:
    float empty_[16] = {};
};

// The rewrite stage: runs the rewrite passes (passes.cpp) over the parsed nodes of `g`.
void rewrite(Graph &g);

// What a rewrite pass sees of the graph: who produces and who reads each tensor, as parsed when the pass
// began.  Passes edit nodes in place and remove() the ones they replace; commit() drops those.
class Rewriter {
public:
    explicit Rewriter(Graph &g);
    Graph &g;
    const Node *producer(const Tensor *t) const;  // nullptr for inputs, constants and removed producers
    size_t reader_count(const Tensor *t) const;
    // Whether `t` is a value inside a pattern: read by exactly `readers` nodes and not a graph output.
    bool inner(const Tensor *t, size_t readers) const;
    // The one node that reads `t`, where `t` is inner(t, 1); nullptr otherwise.
    Node *sole_reader(const Tensor *t);
    void remove(const Node &n);
    void commit();

private:
    size_t index(const Node &n) const;
    std::map<const Tensor *, std::vector<size_t>> readers_;
    std::map<const Tensor *, size_t> producer_;
    std::set<size_t> dead_;
};

// Whether `t` is a float constant holding the one value `value`.
bool const_scalar(const Tensor *t, float value);

}  // namespace zelt::engine
