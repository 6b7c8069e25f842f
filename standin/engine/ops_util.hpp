// Helpers shared by the operator implementations.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>

#include "graph.hpp"

namespace zelt::engine {

// Row-major single-precision GEMM through OpenBLAS: C = alpha*op(A)*op(B) + beta*C.
void sgemm(bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha, const float *a,
           int64_t lda, const float *b, int64_t ldb, float beta, float *c, int64_t ldc);

// The same product split by columns (or by rows when there are few columns) over the pool.
void sgemm_parallel(ThreadPool &pool, bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k,
                    float alpha, const float *a, int64_t lda, const float *b, int64_t ldb, float beta,
                    float *c, int64_t ldc);

// Activation that a Conv or Gemm applies to its own output.
struct Activation {
    enum Kind { None, Relu, Clip, Leaky } kind = None;
    float lo = 0, hi = 0, alpha = 0;
    void apply(float *p, int64_t n) const {
        switch (kind) {
            case None:
                break;
            case Relu:
                for (int64_t i = 0; i < n; ++i) p[i] = std::max(p[i], 0.f);
                break;
            case Clip:
                for (int64_t i = 0; i < n; ++i) p[i] = std::min(std::max(p[i], lo), hi);
                break;
            case Leaky:
                for (int64_t i = 0; i < n; ++i) p[i] = p[i] < 0 ? p[i] * alpha : p[i];
                break;
        }
    }
};

// Reads the activation of `node` when it is one that can be fused; false otherwise.
bool fusable_activation(const Node &node, Activation &act);

// Takes the activation that directly follows the output of `node`, if any:
// returns the tensor the fused operator writes to and fills `act`.
Tensor *fuse_activation(const Node &node, Planner &p, Activation &act);

// Constant parameters read at load time.
std::vector<int64_t> const_ints(const Node &node, const Tensor *t, const char *what);
std::vector<float> const_floats(const Node &node, const Tensor *t, const char *what);
void need_float(const Node &node, const Tensor *t);
int64_t norm_axis(const Node &node, int64_t axis, size_t rank);
std::vector<int64_t> strides_of(const Shape &s);

}  // namespace zelt::engine
