// CPU inference engine of the simulator runtime.
//
// Loads a compiled graph (the export section of a model container, format
// described in docs/export-format.md), infers and checks every tensor shape
// once at load, plans the activation memory, and runs the graph in float32 on
// a pool of worker threads.  All shapes are static: after a successful load a
// run can only fail on a missing input, never on a malformed graph.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelt::engine {

using Shape = std::vector<int64_t>;

// A malformed or unsupported graph.
class ModelError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Byte counters of one engine: `current` and `peak` live bytes, `total` ever allocated.
struct MemoryStats {
    uint64_t current = 0;
    uint64_t peak = 0;
    uint64_t total = 0;
    void allocated(uint64_t n);
    void freed(uint64_t n);
};

struct TensorInfo {
    std::string name;
    Shape shape;
    int64_t numel = 0;
};

struct LayerTime {
    std::string op_type;
    std::string name;
    Shape out_shape;
    double micros = 0;
};

class Graph;

class Engine {
public:
    // Parses and plans `size` bytes of an export section; throws ModelError.
    Engine(const uint8_t *data, size_t size);
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    const std::vector<TensorInfo> &inputs() const;
    const std::vector<TensorInfo> &outputs() const;

    // float32 storage of input `i`, NCHW (the model's own layout), inputs()[i].numel elements.
    float *input_data(size_t i);
    const float *output_data(size_t i) const;

    void set_threads(int n);
    int threads() const;

    // Runs the graph once; with `profile` the per-layer times of this run are kept.
    void run(bool profile);
    const std::vector<LayerTime> &layer_times() const;

    const MemoryStats &memory() const;

private:
    std::unique_ptr<Graph> graph_;
};

}  // namespace zelt::engine
