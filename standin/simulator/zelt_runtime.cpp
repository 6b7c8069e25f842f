// Simulator runtime library: the runtime C ABI over the CPU engine.
//
// Contexts are small integers handed out once and never reused, kept in a
// registry; each call takes a shared reference to its context and then the
// context's own lock, so different contexts run concurrently and a context
// destroyed while another thread uses it stays alive until that call ends.
//
// Input layout: 4-D image inputs are reported in NHWC order (fmt NHWC) and
// accepted as NHWC (fmt 1, what the session sends by default) or as NCHW
// (fmt 0, the model's own order).  With pass_through the bytes must already be
// the model's own float32 NCHW tensor.  Outputs are float32 in the model's order.
#include <zeltrt/zelt_container.h>
#include <zeltrt/zeltrt_api.h>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "context_table.hpp"
#include "engine.hpp"

namespace {

using zelt::engine::Engine;
using zelt::engine::ModelError;

constexpr char kApiVersion[] = "1.0.0 (zeltlite simulator)";
constexpr char kDrvVersion[] = "1.0.0 (cpu engine, OpenBLAS)";

struct Context {
    std::mutex m;
    uint32_t flag = 0;
    std::unique_ptr<Engine> engine;
    std::vector<bool> input_set;
    zelt_handle frame_id = 0;
    bool has_run = false;
    long long run_us = 0;
    // Texts lent through zelt_query: each stays as it is until the next query of its kind replaces it (a
    // run only marks the per-layer report stale), and a query whose text has not changed keeps the buffer.
    std::string perf_text, mem_text;
    bool perf_stale = true;
    // Host-side bytes of this context: the model copy, input staging and output copies.
    zelt::engine::MemoryStats host;
    std::map<const void *, std::vector<float>> lent;  // output buffers held by the caller
};

zelt::ContextTable<Context> g_contexts;

int read_file(const std::string &path, std::vector<uint8_t> &out) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) return ZELT_ERR_MODEL_INVALID;
    std::streamoff n = f.tellg();
    if (n < 0) return ZELT_ERR_MODEL_INVALID;
    out.resize(size_t(n));
    f.seekg(0);
    if (!f.read(reinterpret_cast<char *>(out.data()), n)) return ZELT_ERR_MODEL_INVALID;
    return ZELT_SUCC;
}

// Locates the export section inside container bytes; false when the container is malformed.
bool export_section(const std::vector<uint8_t> &c, const uint8_t *&data, size_t &size) {
    ZELTContainerSections s;
    if (zelt_container_sections(c.data(), c.size(), &s) != 0) return false;
    data = s.export_data;
    size = size_t(s.export_size);
    return true;
}

size_t type_size(int type) {
    switch (type) {
        case ZELT_TENSOR_FLOAT32:
            return 4;
        case ZELT_TENSOR_FLOAT16:
            return 2;
        case ZELT_TENSOR_INT8:
            return 1;
        case ZELT_TENSOR_UINT8:
            return 1;
        case ZELT_TENSOR_INT16:
            return 2;
        case ZELT_TENSOR_UINT16:
            return 2;
        case ZELT_TENSOR_INT32:
            return 4;
        case ZELT_TENSOR_UINT32:
            return 4;
        case ZELT_TENSOR_INT64:
            return 8;
        case ZELT_TENSOR_BOOL:
            return 1;
        default:
            return 0;
    }
}

float half_to_float(uint16_t h) {
    int sign = h >> 15, exp = (h >> 10) & 0x1f, man = h & 0x3ff;
    float v;
    if (exp == 0)
        v = std::ldexp(float(man), -24);
    else if (exp == 31)
        v = man ? NAN : INFINITY;
    else
        v = std::ldexp(float(man | 0x400), exp - 25);
    return sign ? -v : v;
}

template <typename T>
float load_as_float(const uint8_t *p, size_t i) {
    T v;
    std::memcpy(&v, p + i * sizeof(T), sizeof(T));
    return float(v);
}

// Element i of a buffer of the given tensor type, as float.
float element(const uint8_t *p, int type, size_t i) {
    switch (type) {
        case ZELT_TENSOR_FLOAT32:
            return load_as_float<float>(p, i);
        case ZELT_TENSOR_FLOAT16:
            return half_to_float(uint16_t(load_as_float<uint16_t>(p, i)));
        case ZELT_TENSOR_INT8:
            return load_as_float<int8_t>(p, i);
        case ZELT_TENSOR_UINT8:
            return load_as_float<uint8_t>(p, i);
        case ZELT_TENSOR_INT16:
            return load_as_float<int16_t>(p, i);
        case ZELT_TENSOR_UINT16:
            return load_as_float<uint16_t>(p, i);
        case ZELT_TENSOR_INT32:
            return load_as_float<int32_t>(p, i);
        case ZELT_TENSOR_UINT32:
            return load_as_float<uint32_t>(p, i);
        case ZELT_TENSOR_INT64:
            return load_as_float<int64_t>(p, i);
        default:
            return p[i] ? 1.f : 0.f;
    }
}

bool is_image(const zelt::engine::TensorInfo &t) { return t.shape.size() == 4; }

template <typename Attr>
int fill_attr(const zelt::engine::TensorInfo &t, bool input, Attr *a) {
    uint32_t index = a->index;
    std::memset(a, 0, sizeof(*a));
    a->index = index;
    zelt::engine::Shape dims = t.shape;
    if (input && is_image(t)) dims = {t.shape[0], t.shape[2], t.shape[3], t.shape[1]};
    if (dims.size() > ZELT_MAX_DIMS) return ZELT_ERR_FAIL;
    a->n_dims = uint32_t(dims.size());
    for (size_t i = 0; i < dims.size(); ++i) a->dims[i] = uint32_t(dims[i]);
    std::strncpy(a->name, t.name.c_str(), ZELT_MAX_NAME_LEN - 1);
    a->n_elems = uint32_t(t.numel);
    a->size = uint32_t(t.numel * 4);
    a->fmt = input && is_image(t) ? ZELT_TENSOR_NHWC : ZELT_TENSOR_NCHW;
    a->type = ZELT_TENSOR_FLOAT32;
    a->qnt_type = ZELT_TENSOR_QNT_NONE;
    a->scale = 1.f;
    return ZELT_SUCC;
}

std::string perf_report(const Context &c) {
    std::ostringstream s;
    s << "ID   OpType            Name                                      OutputShape           Time(us)\n";
    double total = 0;
    const auto &times = c.engine->layer_times();
    for (size_t i = 0; i < times.size(); ++i) {
        const auto &t = times[i];
        std::string shape = "[";
        for (size_t k = 0; k < t.out_shape.size(); ++k)
            shape += (k ? "," : "") + std::to_string(t.out_shape[k]);
        shape += "]";
        char line[512];
        std::snprintf(line, sizeof line, "%-4zu %-17.17s %-41.41s %-21.21s %10.1f\n", i, t.op_type.c_str(),
                      t.name.c_str(), shape.c_str(), t.micros);
        s << line;
        total += t.micros;
    }
    char line[128];
    std::snprintf(line, sizeof line, "Total operator time (us): %.1f\nRun duration (us): %lld\n", total,
                  c.run_us);
    s << line;
    return s.str();
}

std::string memory_report(const Context &c) {
    const auto &npu = c.engine->memory();
    std::ostringstream s;
    s << "System memory:\n"
      << "    maximum allocation : " << c.host.peak << "\n"
      << "    total allocation   : " << c.host.total << "\n"
      << "NPU memory:\n"
      << "    maximum allocation : " << npu.peak << "\n"
      << "    total allocation   : " << npu.total << "\n";
    return s.str();
}

// A caller may still be reading the text it was lent: an unchanged text keeps its buffer.
void replace_text(std::string &lent, std::string fresh) {
    if (fresh != lent) lent = std::move(fresh);
}

int query(Context &c, int cmd, void *info, uint32_t size) {
    switch (cmd) {
        case ZELT_QUERY_IN_OUT_NUM: {
            if (size != sizeof(ZELTInputOutputNum)) return ZELT_ERR_PARAM_INVALID;
            auto *n = static_cast<ZELTInputOutputNum *>(info);
            n->n_input = uint32_t(c.engine->inputs().size());
            n->n_output = uint32_t(c.engine->outputs().size());
            return ZELT_SUCC;
        }
        case ZELT_QUERY_INPUT_ATTR:
        case ZELT_QUERY_OUTPUT_ATTR: {
            bool input = cmd == ZELT_QUERY_INPUT_ATTR;
            const auto &list = input ? c.engine->inputs() : c.engine->outputs();
            if (size != sizeof(ZELTTensorAttr) && size != sizeof(ZELTRtTensorAttr))
                return ZELT_ERR_PARAM_INVALID;
            uint32_t index = static_cast<ZELTTensorAttr *>(info)->index;
            if (index >= list.size()) return ZELT_ERR_PARAM_INVALID;
            if (size == sizeof(ZELTTensorAttr))
                return fill_attr(list[index], input, static_cast<ZELTTensorAttr *>(info));
            auto *rt = static_cast<ZELTRtTensorAttr *>(info);
            int ret = fill_attr(list[index], input, rt);
            if (ret == ZELT_SUCC && rt->n_dims >= 2) {
                rt->w_stride = rt->dims[rt->n_dims - (input && is_image(list[index]) ? 2 : 1)];
                rt->h_stride =
                    rt->n_dims >= 3 ? rt->dims[rt->n_dims - (input && is_image(list[index]) ? 3 : 2)] : 1;
            }
            return ret;
        }
        case ZELT_QUERY_PERF_RUN: {
            if (size != sizeof(ZELTPerfRun)) return ZELT_ERR_PARAM_INVALID;
            static_cast<ZELTPerfRun *>(info)->run_duration = c.run_us;
            return ZELT_SUCC;
        }
        case ZELT_QUERY_PERF_DETAIL:
        case ZELT_QUERY_MEM_SIZE: {
            // Both texts come in a ZELTPerfDetail whose pointer stays valid until the next query of its kind.
            if (size != sizeof(ZELTPerfDetail)) return ZELT_ERR_PARAM_INVALID;
            std::string *text;
            if (cmd == ZELT_QUERY_PERF_DETAIL) {
                if (!(c.flag & ZELT_FLAG_COLLECT_PERF_MASK)) return ZELT_ERR_FAIL;
                if (c.perf_stale) replace_text(c.perf_text, perf_report(c));
                c.perf_stale = false;
                text = &c.perf_text;
            } else {
                if (!(c.flag & ZELT_FLAG_PRIV_COLLECT_MEMPROFILE_MASK)) return ZELT_ERR_FAIL;
                replace_text(c.mem_text, memory_report(c));
                text = &c.mem_text;
            }
            auto *d = static_cast<ZELTPerfDetail *>(info);
            d->perf_data = text->data();
            d->data_len = text->size();
            return ZELT_SUCC;
        }
        case ZELT_QUERY_SDK_VERSION: {
            if (size != sizeof(ZELTSDKVersion)) return ZELT_ERR_PARAM_INVALID;
            auto *v = static_cast<ZELTSDKVersion *>(info);
            std::memset(v, 0, sizeof(*v));
            std::strncpy(v->api_version, kApiVersion, ZELT_MAX_VERSION_LEN - 1);
            std::strncpy(v->drv_version, kDrvVersion, ZELT_MAX_VERSION_LEN - 1);
            return ZELT_SUCC;
        }
        default:
            return ZELT_ERR_PARAM_INVALID;
    }
}

// Checks one input descriptor against the model; returns the byte count the data must have.
int check_input(const Context &c, const ZELTInput &in) {
    if (in.index >= c.engine->inputs().size() || !in.buf) return ZELT_ERR_INPUT_INVALID;
    const auto &info = c.engine->inputs()[in.index];
    size_t es = in.pass_through ? 4 : type_size(in.type);
    if (es == 0) return ZELT_ERR_INPUT_INVALID;
    if (!in.pass_through && in.fmt != ZELT_TENSOR_NCHW && in.fmt != ZELT_TENSOR_NHWC)
        return ZELT_ERR_INPUT_INVALID;
    if (uint64_t(in.size) != uint64_t(info.numel) * es) return ZELT_ERR_INPUT_INVALID;
    return ZELT_SUCC;
}

void bind_input(Context &c, const ZELTInput &in) {
    const auto &info = c.engine->inputs()[in.index];
    float *dst = c.engine->input_data(in.index);
    const auto *src = static_cast<const uint8_t *>(in.buf);
    const size_t n = size_t(info.numel);
    const bool same_type = in.pass_through || in.type == ZELT_TENSOR_FLOAT32;
    if (same_type && (in.pass_through || in.fmt != ZELT_TENSOR_NHWC || !is_image(info))) {
        std::memcpy(dst, src, n * 4);
        return;
    }
    if (in.fmt == ZELT_TENSOR_NHWC && is_image(info)) {
        const int64_t N = info.shape[0], C = info.shape[1], HW = info.shape[2] * info.shape[3];
        for (int64_t b = 0; b < N; ++b)
            for (int64_t p = 0; p < HW; ++p)
                for (int64_t ch = 0; ch < C; ++ch) {
                    const size_t i = size_t((b * HW + p) * C + ch);
                    float &d = dst[(b * C + ch) * HW + p];
                    if (same_type)  // the common case, without the per-element type switch
                        std::memcpy(&d, src + i * 4, 4);
                    else
                        d = element(src, in.type, i);
                }
        return;
    }
    for (size_t i = 0; i < n; ++i) dst[i] = element(src, in.type, i);
}

}  // namespace

extern "C" {

ZELTRT_EXPORT int zelt_init(zelt_handle *context, void *model, uint32_t size, uint32_t flag,
                            ZELTRtInitExtend *) {
    // `extend` is never read: KESTA/VORIN callers do not pass it.
    if (!context || !model || size == 0) return ZELT_ERR_PARAM_INVALID;
    try {
        auto ctx = std::make_shared<Context>();
        ctx->flag = flag;
        std::vector<uint8_t> bytes;
        if (flag & ZELT_FLAG_LOAD_MODEL_IN_NPU) {
            std::string path(static_cast<const char *>(model), size);
            path = path.substr(0, path.find('\0'));
            if (int r = read_file(path, bytes)) return r;
        } else {
            const auto *p = static_cast<const uint8_t *>(model);
            bytes.assign(p, p + size);
        }
        ctx->host.allocated(bytes.size());
        const uint8_t *data;
        size_t len;
        if (!export_section(bytes, data, len)) return ZELT_ERR_MODEL_INVALID;
        ctx->engine = std::make_unique<Engine>(data, len);
        // Every tensor's byte count must fit the 32-bit size fields of the attributes and buffers.
        for (const auto *list : {&ctx->engine->inputs(), &ctx->engine->outputs()})
            for (const auto &t : *list)
                if (uint64_t(t.numel) * 4 > UINT32_MAX) return ZELT_ERR_MODEL_INVALID;
        ctx->input_set.assign(ctx->engine->inputs().size(), false);
        *context = g_contexts.add(std::move(ctx));
        return ZELT_SUCC;
    } catch (const ModelError &) {
        return ZELT_ERR_MODEL_INVALID;
    } catch (const std::bad_alloc &) {
        return ZELT_ERR_MALLOC_FAIL;
    } catch (...) {
        return ZELT_ERR_FAIL;
    }
}

ZELTRT_EXPORT int zelt_init2(unsigned long long *context, void *model, uint32_t size, uint32_t flag,
                             ZELTInitExtend *) {
    // The simulator has no devices: a named device is accepted and ignored.
    zelt_handle h = 0;
    if (!context) return ZELT_ERR_PARAM_INVALID;
    int ret = zelt_init(&h, model, size, flag, nullptr);
    if (ret == ZELT_SUCC) *context = h;
    return ret;
}

ZELTRT_EXPORT int zelt_destroy(zelt_handle context) {
    std::shared_ptr<Context> ctx = g_contexts.take(context);
    if (!ctx) return ZELT_ERR_CTX_INVALID;
    // Wait for a call still running on this context before freeing it here.
    std::lock_guard<std::mutex> lk(ctx->m);
    return ZELT_SUCC;
}

ZELTRT_EXPORT int zelt_query(zelt_handle context, int cmd, void *info, uint32_t size) {
    if (!info) return g_contexts.find(context) ? ZELT_ERR_PARAM_INVALID : ZELT_ERR_CTX_INVALID;
    return g_contexts.with(context, [&](Context &c) { return query(c, cmd, info, size); });
}

ZELTRT_EXPORT int zelt_inputs_set(zelt_handle context, uint32_t n_inputs, ZELTInput inputs[]) {
    return g_contexts.with(context, [&](Context &c) {
        if (!inputs || n_inputs == 0 || n_inputs > c.engine->inputs().size())
            return int(ZELT_ERR_PARAM_INVALID);
        // Validate everything first so that a bad descriptor changes nothing.
        std::vector<bool> seen(c.engine->inputs().size(), false);
        for (uint32_t i = 0; i < n_inputs; ++i) {
            if (int r = check_input(c, inputs[i])) return r;
            if (seen[inputs[i].index]) return int(ZELT_ERR_INPUT_INVALID);
            seen[inputs[i].index] = true;
        }
        for (uint32_t i = 0; i < n_inputs; ++i) {
            bind_input(c, inputs[i]);
            c.host.allocated(inputs[i].size);
            c.host.freed(inputs[i].size);
            c.input_set[inputs[i].index] = true;
        }
        return int(ZELT_SUCC);
    });
}

ZELTRT_EXPORT int zelt_run(zelt_handle context, ZELTRunExtend *extend) {
    return g_contexts.with(context, [&](Context &c) {
        if (std::count(c.input_set.begin(), c.input_set.end(), false)) return int(ZELT_ERR_INPUT_INVALID);
        bool profile = c.flag & ZELT_FLAG_COLLECT_PERF_MASK;
        auto t0 = std::chrono::steady_clock::now();
        c.engine->run(profile);
        auto t1 = std::chrono::steady_clock::now();
        c.run_us = std::chrono::duration_cast<std::chrono::microseconds>(t1 - t0).count();
        c.perf_stale = true;
        c.has_run = true;
        ++c.frame_id;
        if (extend) extend->frame_id = c.frame_id;
        return int(ZELT_SUCC);
    });
}

ZELTRT_EXPORT int zelt_outputs_get(zelt_handle context, uint32_t n_outputs, ZELTOutput outputs[],
                                   ZELTOutputExtend *extend) {
    return g_contexts.with(context, [&](Context &c) {
        const auto &info = c.engine->outputs();
        if (!outputs || n_outputs == 0 || n_outputs > info.size()) return int(ZELT_ERR_PARAM_INVALID);
        if (!c.has_run) return int(ZELT_ERR_OUTPUT_INVALID);
        for (uint32_t i = 0; i < n_outputs; ++i) {
            const ZELTOutput &o = outputs[i];
            if (o.index >= info.size()) return int(ZELT_ERR_OUTPUT_INVALID);
            const uint64_t bytes = uint64_t(info[o.index].numel) * 4;  // fits 32 bits: checked at load
            if (o.is_prealloc && (!o.buf || o.size < bytes)) return int(ZELT_ERR_OUTPUT_INVALID);
        }
        for (uint32_t i = 0; i < n_outputs; ++i) {
            ZELTOutput &o = outputs[i];
            const size_t n = size_t(info[o.index].numel);
            const float *src = c.engine->output_data(o.index);
            if (o.is_prealloc) {
                std::memcpy(o.buf, src, n * 4);
            } else {
                // A copy the caller holds until zelt_outputs_release; later runs leave it alone.
                std::vector<float> copy(src, src + n);
                copy.reserve(std::max<size_t>(n, 1));
                o.buf = copy.data();
                c.host.allocated(copy.capacity() * 4);
                c.lent[o.buf] = std::move(copy);
            }
            o.size = uint32_t(n * 4);
        }
        if (extend) extend->frame_id = c.frame_id;
        return int(ZELT_SUCC);
    });
}

ZELTRT_EXPORT int zelt_outputs_release(zelt_handle context, uint32_t n_outputs, ZELTOutput outputs[]) {
    return g_contexts.with(context, [&](Context &c) {
        if (!outputs && n_outputs) return int(ZELT_ERR_PARAM_INVALID);
        int ret = ZELT_SUCC;
        for (uint32_t i = 0; i < n_outputs; ++i) {
            ZELTOutput &o = outputs[i];
            if (o.is_prealloc) continue;
            auto it = c.lent.find(o.buf);
            if (it == c.lent.end()) {
                ret = ZELT_ERR_OUTPUT_INVALID;
                continue;
            }
            c.host.freed(it->second.capacity() * 4);
            c.lent.erase(it);
            o.buf = nullptr;
        }
        return ret;
    });
}

ZELTRT_EXPORT int zelt_set_core_mask(unsigned long long context, uint32_t core_mask) {
    // The mask picks the worker threads: one per set bit, all cores for automatic mode.
    static const uint32_t valid[] = {0, 1, 2, 4, 3, 7};
    if (std::find(std::begin(valid), std::end(valid), core_mask) == std::end(valid)) {
        return g_contexts.find(context) ? ZELT_ERR_PARAM_INVALID : ZELT_ERR_CTX_INVALID;
    }
    return g_contexts.with(context, [&](Context &c) {
        int threads = core_mask ? int(std::bitset<32>(core_mask).count())
                                : int(std::max(1u, std::thread::hardware_concurrency()));
        c.engine->set_threads(threads);
        return int(ZELT_SUCC);
    });
}

}  // extern "C"
