// The contexts of a runtime library: small handles, never reused, each naming a context whose calls hold its
// lock.  A destroyed or unknown handle is ZELT_ERR_CTX_INVALID, never a dangling pointer.
#pragma once

#include <zeltrt/zeltrt_api.h>

#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace zelt {

// `Context` has a std::mutex `m`, held by every call on it.
template <typename Context>
class ContextTable {
public:
    zelt_handle add(std::shared_ptr<Context> ctx) {
        std::lock_guard<std::mutex> lk(m_);
        zelt_handle h = next_++;
        contexts_[h] = std::move(ctx);
        return h;
    }

    std::shared_ptr<Context> find(zelt_handle h) const {
        std::lock_guard<std::mutex> lk(m_);
        auto it = contexts_.find(h);
        return it == contexts_.end() ? nullptr : it->second;
    }

    // Removes `h` and returns its context (null when unknown); a call still running on it keeps it alive.
    std::shared_ptr<Context> take(zelt_handle h) {
        std::lock_guard<std::mutex> lk(m_);
        auto it = contexts_.find(h);
        if (it == contexts_.end()) return nullptr;
        std::shared_ptr<Context> ctx = std::move(it->second);
        contexts_.erase(it);
        return ctx;
    }

    // Runs `fn` on a live context under its lock; any escaping exception becomes a status code.
    template <typename F>
    int with(zelt_handle h, F fn) const {
        auto ctx = find(h);
        if (!ctx) return ZELT_ERR_CTX_INVALID;
        std::lock_guard<std::mutex> lk(ctx->m);
        try {
            return fn(*ctx);
        } catch (const std::bad_alloc &) {
            return ZELT_ERR_MALLOC_FAIL;
        } catch (...) {
            return ZELT_ERR_FAIL;
        }
    }

private:
    mutable std::mutex m_;
    std::map<zelt_handle, std::shared_ptr<Context>> contexts_;
    zelt_handle next_ = 1;
};

}  // namespace zelt
