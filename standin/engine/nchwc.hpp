// Pieces shared by the channel-blocked (NCHW8c) operator sources: the block, the work claiming of the
// convolution kernels and the scatter to a plain output.
#pragma once

#include <immintrin.h>

#include <atomic>

#include "ops_util.hpp"

#define ZELT_AVX2 __attribute__((target("avx2,fma")))

namespace zelt::engine {

constexpr int64_t kBlock = 8;

inline int64_t blocks_of(int64_t c) { return (c + kBlock - 1) / kBlock; }

// Calls fn(task, i) for every i in [0, n).  Each task runs its own contiguous share first (consecutive
// items share their input), then helps with what is left of the others' shares: a thread that other work
// on the machine holds up hands part of its share over instead of the whole operator waiting for it.
template <typename Fn>
inline void claim_items(ThreadPool &pool, int64_t n, Fn &&fn) {
    struct alignas(64) Share {  // one cache line each: the owner's claims do not disturb the others'
        std::atomic<int64_t> next;
        int64_t end;
    };
    const int tasks = int(std::min<int64_t>(pool.size(), n));
    std::vector<Share> shares(size_t(std::max(tasks, 1)));
    for (int t = 0; t < tasks; ++t) {
        shares[size_t(t)].next.store(n * t / tasks, std::memory_order_relaxed);
        shares[size_t(t)].end = n * (t + 1) / tasks;
    }
    pool.run_tasks(tasks, [&](int task) {
        for (int k = 0; k < tasks; ++k) {
            Share &sh = shares[size_t((task + k) % tasks)];
            for (int64_t i; (i = sh.next.fetch_add(1, std::memory_order_relaxed)) < sh.end;) fn(task, i);
        }
    });
}

// Writes vector `v` of channel block `cb`, position `pos` of image `n` to plain NCHW `y`.
ZELT_AVX2 inline void scatter(__m256 v, float *y, int64_t C, int64_t plane, int64_t n, int64_t cb,
                              int64_t pos) {
    alignas(32) float lane[8];
    _mm256_store_ps(lane, v);
    const int64_t c0 = cb * kBlock, lanes = std::min<int64_t>(kBlock, C - c0);
    float *dst = y + (n * C + c0) * plane + pos;
    for (int64_t c = 0; c < lanes; ++c) dst[c * plane] = lane[c];
}

// A Winograd F(4x4, 3x3) convolution of node `n` (ops_winograd.cpp), where it runs faster than the direct
// kernels: a 3x3 window of stride and dilation 1, ungrouped, pads of at most 1, blocked input `x`.  It
// writes `y` (blocked or plain) as act(conv + bias + res), `res` blocked or nullptr, and may share y's
// storage.  nullptr, with nothing charged, where the direct kernels run.
std::unique_ptr<Op> make_winograd_conv(const Node &n, Planner &p, Tensor *x, Tensor *y, Tensor *res,
                                       const Activation &act, const Axis &ah, const Axis &aw);

}  // namespace zelt::engine
