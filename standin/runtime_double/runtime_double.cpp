// A scriptable runtime library for the tests: it exports the runtime's C ABI,
// records what it is given, returns scripted status codes and produces
// outputs derived from the inputs.
//
// The "model" handed to zelt_init/zelt_init2 is a small text script (with
// ZELT_FLAG_LOAD_MODEL_IN_NPU: the path of a file holding it), one line each:
//   input <type code> <fmt code> <d0>,<d1>,...   an input tensor
//   output <d0>,<d1>,...                         a float32 output tensor
//   family talun                                 zelt_init receives a ZELTRtInitExtend
//   static                                       outputs are computed once, not per run
// Output k, element j, is float(byte j % n of input 0) + k.
//
// Control functions (zd_*) script status codes and values and return the
// record of calls as JSON.
#include <zeltrt/zeltrt_api.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Tensor {
    std::vector<uint32_t> dims;
    int type = ZELT_TENSOR_FLOAT32;
    int fmt = ZELT_TENSOR_NHWC;
    uint64_t elems() const {
        uint64_t n = 1;
        for (uint32_t d : dims) n *= d;
        return n;
    }
};

uint32_t element_size(int type) {
    switch (type) {
        case ZELT_TENSOR_FLOAT16:
        case ZELT_TENSOR_INT16:
        case ZELT_TENSOR_UINT16:
            return 2;
        case ZELT_TENSOR_INT8:
        case ZELT_TENSOR_UINT8:
        case ZELT_TENSOR_BOOL:
            return 1;
        case ZELT_TENSOR_INT64:
            return 8;
        default:
            return 4;
    }
}

struct Context {
    std::vector<Tensor> inputs, outputs;
    bool talun = false, static_outputs = false, computed = false, outstanding = false;
    std::vector<std::vector<uint8_t>> input_data;
    std::vector<std::vector<float>> output_data;
    std::string perf_text;
    unsigned long long frame = 0;
};

std::mutex mutex;
std::map<zelt_handle, Context> contexts;
zelt_handle next_handle = 1;
std::map<std::string, long long> numbers;
std::map<std::string, std::string> texts;
std::deque<std::string> events;
std::string log_text;
// Off for benchmarks: recording would dominate the cost of a call.
bool recording = true;
// A scripted slow zelt_run is in progress (read without the lock).
std::atomic<bool> sleeping_run{false};

// One recorded call, built only while recording.
class Event {
public:
    Event &operator<<(const std::string &v) {
        if (recording) text_ += v;
        return *this;
    }
    Event &operator<<(const char *v) {
        if (recording) text_ += v;
        return *this;
    }
    template <typename T>
    Event &operator<<(T v) {
        if (recording) text_ += std::to_string(v);
        return *this;
    }
    const std::string &str() const { return text_; }

private:
    std::string text_;
};

long long number(const std::string &key, long long fallback) {
    if (numbers.empty()) return fallback;
    auto it = numbers.find(key);
    return it == numbers.end() ? fallback : it->second;
}

std::string text(const std::string &key, const std::string &fallback) {
    auto it = texts.find(key);
    return it == texts.end() ? fallback : it->second;
}

// The scripted status of `fn`, or 0.
int scripted(const char *fn) { return numbers.empty() ? 0 : (int)number(std::string("ret.") + fn, 0); }

std::string hex(const void *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    const uint8_t *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

std::string quoted(const std::string &s) {
    std::string q = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            q += '\\';
            q += (char)c;
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            q += buf;
        } else {
            q += (char)c;
        }
    }
    return q + "\"";
}

// Keeps the most recent calls.
void record(const std::string &event) {
    if (!recording) return;
    events.push_back(event);
    if (events.size() > 256) events.pop_front();
}

std::vector<uint32_t> parse_dims(const std::string &s) {
    std::vector<uint32_t> dims;
    std::stringstream in(s);
    std::string part;
    while (std::getline(in, part, ','))
        if (!part.empty()) dims.push_back((uint32_t)std::stoul(part));
    return dims;
}

bool parse_model(const std::string &script, Context &ctx) {
    std::stringstream in(script);
    std::string line;
    try {
        while (std::getline(in, line)) {
            std::stringstream words(line);
            std::string kind;
            if (!(words >> kind)) continue;
            if (kind == "input") {
                Tensor t;
                std::string dims;
                if (!(words >> t.type >> t.fmt >> dims)) return false;
                t.dims = parse_dims(dims);
                ctx.inputs.push_back(t);
            } else if (kind == "output") {
                Tensor t;
                std::string dims;
                if (!(words >> dims)) return false;
                t.dims = parse_dims(dims);
                ctx.outputs.push_back(t);
            } else if (kind == "family") {
                std::string f;
                words >> f;
                ctx.talun = f == "talun";
            } else if (kind == "static") {
                ctx.static_outputs = true;
            } else {
                return false;
            }
        }
    } catch (const std::exception &) {
        return false;
    }
    for (const Tensor &t : ctx.inputs)
        if (t.dims.size() > ZELT_MAX_DIMS) return false;
    for (const Tensor &t : ctx.outputs)
        if (t.dims.size() > ZELT_MAX_DIMS) return false;
    ctx.input_data.resize(ctx.inputs.size());
    ctx.output_data.resize(ctx.outputs.size());
    return true;
}

Context *find(zelt_handle h) {
    auto it = contexts.find(h);
    return it == contexts.end() ? nullptr : &it->second;
}

int create(const char *fn, zelt_handle *context, const void *model, uint32_t size, uint32_t flag,
           std::string ext_json, const ZELTRtInitExtend *rt_extend) {
    Event ev;
    ev << "{\"fn\":\"" << fn << "\",\"size\":" << size << ",\"flag\":" << flag << ",\"ext\":" << ext_json;
    std::string script(static_cast<const char *>(model ? model : ""), model ? size : 0);
    if (recording) ev << ",\"model\":" << quoted(script);
    int ret = scripted(fn);
    Context ctx;
    if (ret == 0 && (flag & ZELT_FLAG_LOAD_MODEL_IN_NPU)) {
        std::ifstream f(script, std::ios::binary);
        std::stringstream content;
        content << f.rdbuf();
        if (!f) ret = ZELT_ERR_MODEL_INVALID;
        script = content.str();
    }
    if (ret == 0 && (!model || !parse_model(script, ctx))) ret = ZELT_ERR_MODEL_INVALID;
    if (ret == 0 && ctx.talun && rt_extend) {
        bool zero = rt_extend->zelt_context == 0 && rt_extend->real_model_offset == 0 &&
                    rt_extend->real_model_size == 0;
        for (uint8_t b : rt_extend->reserved) zero = zero && b == 0;
        ev << ",\"ext_zero\":" << (zero ? "true" : "false");
    }
    if (ret == 0) {
        zelt_handle h = next_handle++;
        contexts[h] = std::move(ctx);
        *context = h;
        ev << ",\"ctx\":" << h;
    }
    ev << ",\"ret\":" << ret << "}";
    record(ev.str());
    return ret;
}

void compute_outputs(Context &c) {
    if (c.static_outputs && c.computed) return;
    const std::vector<uint8_t> *in = c.input_data.empty() ? nullptr : &c.input_data[0];
    for (size_t k = 0; k < c.outputs.size(); ++k) {
        std::vector<float> &out = c.output_data[k];
        out.resize(c.outputs[k].elems());
        for (size_t j = 0; j < out.size(); ++j)
            out[j] = (in && !in->empty() ? (float)(*in)[j % in->size()] : 0.0f) + (float)k;
    }
    c.computed = true;
}

void fill_attr(const Tensor &t, uint32_t index, bool is_output, uint32_t size, void *info) {
    ZELTTensorAttr *a = static_cast<ZELTTensorAttr *>(info);
    a->n_dims = (uint32_t)t.dims.size();
    for (size_t i = 0; i < t.dims.size(); ++i) a->dims[i] = t.dims[i];
    std::string name = (is_output ? "output" : "input") + std::to_string(index);
    std::memset(a->name, 0, sizeof a->name);
    std::memcpy(a->name, name.data(), std::min(name.size(), sizeof a->name - 1));
    a->n_elems = (uint32_t)t.elems();
    a->size = (uint32_t)(t.elems() * element_size(t.type));
    a->fmt = t.fmt;
    a->type = t.type;
    a->qnt_type = ZELT_TENSOR_QNT_NONE;
    a->fl = 0;
    a->zp = 0;
    a->scale = 1.0f;
    if (size >= sizeof(ZELTRtTensorAttr)) {
        ZELTRtTensorAttr *r = static_cast<ZELTRtTensorAttr *>(info);
        r->w_stride = t.dims.empty() ? 0 : t.dims.back();
        r->stride_with_stride = 0;
        r->pass_through = 0;
        r->h_stride = 0;
    }
}

int query(Context &c, int cmd, void *info, uint32_t size) {
    switch (cmd) {
        case ZELT_QUERY_IN_OUT_NUM: {
            if (size < sizeof(ZELTInputOutputNum)) return ZELT_ERR_PARAM_INVALID;
            ZELTInputOutputNum *n = static_cast<ZELTInputOutputNum *>(info);
            n->n_input = (uint32_t)number("n_input", (long long)c.inputs.size());
            n->n_output = (uint32_t)number("n_output", (long long)c.outputs.size());
            return 0;
        }
        case ZELT_QUERY_INPUT_ATTR:
        case ZELT_QUERY_OUTPUT_ATTR: {
            if (size < sizeof(ZELTTensorAttr)) return ZELT_ERR_PARAM_INVALID;
            bool out = cmd == ZELT_QUERY_OUTPUT_ATTR;
            const std::vector<Tensor> &ts = out ? c.outputs : c.inputs;
            uint32_t index = static_cast<ZELTTensorAttr *>(info)->index;
            if (index >= ts.size()) return ZELT_ERR_PARAM_INVALID;
            fill_attr(ts[index], index, out, size, info);
            if (out && number("n_dims", -1) >= 0)
                static_cast<ZELTTensorAttr *>(info)->n_dims = (uint32_t)number("n_dims", 0);
            return 0;
        }
        case ZELT_QUERY_PERF_DETAIL: {
            if (size < sizeof(ZELTPerfDetail)) return ZELT_ERR_PARAM_INVALID;
            ZELTPerfDetail *p = static_cast<ZELTPerfDetail *>(info);
            c.perf_text = text("perf_data", "layer0: 1us\n");
            p->perf_data = number("perf_null", 0) ? nullptr : &c.perf_text[0];
            p->data_len = (unsigned long long)number("perf_len", (long long)c.perf_text.size());
            return 0;
        }
        case ZELT_QUERY_PERF_RUN: {
            if (size < sizeof(ZELTPerfRun)) return ZELT_ERR_PARAM_INVALID;
            static_cast<ZELTPerfRun *>(info)->run_duration = number("run_duration", 1234);
            return 0;
        }
        case ZELT_QUERY_SDK_VERSION: {
            if (size < sizeof(ZELTSDKVersion)) return ZELT_ERR_PARAM_INVALID;
            ZELTSDKVersion *v = static_cast<ZELTSDKVersion *>(info);
            std::string api = text("api_version", "1.4.0 (double)"), drv = text("drv_version", "0.9.8");
            std::memset(v, 0, sizeof *v);
            std::memcpy(v->api_version, api.data(), std::min(api.size(), sizeof v->api_version));
            std::memcpy(v->drv_version, drv.data(), std::min(drv.size(), sizeof v->drv_version));
            return 0;
        }
        default:
            return ZELT_ERR_PARAM_INVALID;
    }
}

}  // namespace

extern "C" {

int zelt_init(zelt_handle *context, void *model, uint32_t size, uint32_t flag, ZELTRtInitExtend *extend) {
    std::lock_guard<std::mutex> lock(mutex);
    // KESTA/VORIN callers pass no extension: `extend` is read only for a TALUN model.
    std::string script(static_cast<const char *>(model ? model : ""), model ? size : 0);
    bool talun = script.find("family talun") != std::string::npos;
    return create("zelt_init", context, model, size, flag, "null", talun ? extend : nullptr);
}

int zelt_init2(unsigned long long *context, void *model, uint32_t size, uint32_t flag,
               ZELTInitExtend *extend) {
    std::lock_guard<std::mutex> lock(mutex);
    std::string ext = "null";
    if (extend) ext = "{\"device_id\":" + (extend->device_id ? quoted(extend->device_id) : "null") + "}";
    zelt_handle h = 0;
    int ret = create("zelt_init2", &h, model, size, flag, ext, nullptr);
    if (ret == 0) *context = h;
    return ret;
}

int zelt_destroy(zelt_handle context) {
    std::lock_guard<std::mutex> lock(mutex);
    bool known = contexts.erase(context) > 0;
    if (recording)
        record("{\"fn\":\"zelt_destroy\",\"ctx\":" + std::to_string(context) +
               ",\"known\":" + (known ? "true" : "false") + "}");
    return known ? scripted("zelt_destroy") : ZELT_ERR_CTX_INVALID;
}

int zelt_query(zelt_handle context, int cmd, void *info, uint32_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    Event ev;
    ev << "{\"fn\":\"zelt_query\",\"ctx\":" << context << ",\"cmd\":" << cmd << ",\"size\":" << size;
    if ((cmd == ZELT_QUERY_INPUT_ATTR || cmd == ZELT_QUERY_OUTPUT_ATTR) && info && size >= sizeof(uint32_t))
        ev << ",\"index\":" << static_cast<ZELTTensorAttr *>(info)->index;
    Context *c = find(context);
    int ret = !c ? ZELT_ERR_CTX_INVALID : !info ? ZELT_ERR_PARAM_INVALID : scripted("zelt_query");
    if (ret == 0) ret = query(*c, cmd, info, size);
    ev << ",\"ret\":" << ret << "}";
    record(ev.str());
    return ret;
}

int zelt_inputs_set(zelt_handle context, uint32_t n_inputs, ZELTInput inputs[]) {
    std::lock_guard<std::mutex> lock(mutex);
    Event ev;
    ev << "{\"fn\":\"zelt_inputs_set\",\"ctx\":" << context << ",\"n\":" << n_inputs << ",\"inputs\":[";
    Context *c = find(context);
    int ret = !c ? ZELT_ERR_CTX_INVALID : scripted("zelt_inputs_set");
    if (ret == 0 && (n_inputs != c->inputs.size() || !inputs)) ret = ZELT_ERR_INPUT_INVALID;
    for (uint32_t i = 0; ret == 0 && i < n_inputs; ++i) {
        const ZELTInput &in = inputs[i];
        if (in.index >= c->inputs.size() || (!in.buf && in.size)) {
            ret = ZELT_ERR_INPUT_INVALID;
            break;
        }
        // The caller frees its buffers on return: take a copy now.
        std::vector<uint8_t> &data = c->input_data[in.index];
        data.resize(in.size);
        if (in.size) std::memcpy(data.data(), in.buf, in.size);
        ev << (i ? "," : "") << "{\"index\":" << in.index << ",\"size\":" << in.size
           << ",\"addr\":" << (unsigned long long)(uintptr_t)in.buf
           << ",\"pass_through\":" << (unsigned)in.pass_through << ",\"type\":" << in.type
           << ",\"fmt\":" << in.fmt;
        if (recording && in.size <= 4096) ev << ",\"data\":\"" << hex(data.data(), data.size()) << "\"";
        ev << "}";
    }
    ev << "],\"ret\":" << ret << "}";
    record(ev.str());
    return ret;
}

int zelt_run(zelt_handle context, ZELTRunExtend *extend) {
    std::lock_guard<std::mutex> lock(mutex);
    // A slow run, to see whether the caller lets other threads go on meanwhile.
    if (long long ms = number("run_sleep_ms", 0)) {
        sleeping_run = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        sleeping_run = false;
    }
    Context *c = find(context);
    int ret = !c ? ZELT_ERR_CTX_INVALID : scripted("zelt_run");
    if (ret == 0) {
        compute_outputs(*c);
        ++c->frame;
        if (extend) extend->frame_id = c->frame;
    }
    if (recording)
        record("{\"fn\":\"zelt_run\",\"ctx\":" + std::to_string(context) + ",\"ret\":" + std::to_string(ret) +
               "}");
    return ret;
}

int zelt_outputs_get(zelt_handle context, uint32_t n_outputs, ZELTOutput outputs[],
                     ZELTOutputExtend *extend) {
    std::lock_guard<std::mutex> lock(mutex);
    Event ev;
    ev << "{\"fn\":\"zelt_outputs_get\",\"ctx\":" << context << ",\"n\":" << n_outputs << ",\"outputs\":[";
    Context *c = find(context);
    int ret = !c ? ZELT_ERR_CTX_INVALID : scripted("zelt_outputs_get");
    if (ret == 0 && (n_outputs != c->outputs.size() || !outputs)) ret = ZELT_ERR_OUTPUT_INVALID;
    if (ret == 0 && !c->computed) compute_outputs(*c);
    for (uint32_t i = 0; ret == 0 && i < n_outputs; ++i) {
        ZELTOutput &out = outputs[i];
        ev << (i ? "," : "") << "{\"want_float\":" << (unsigned)out.want_float
           << ",\"is_prealloc\":" << (unsigned)out.is_prealloc << ",\"index\":" << out.index
           << ",\"size\":" << out.size << ",\"addr\":" << (unsigned long long)(uintptr_t)out.buf << "}";
        std::vector<float> &data = c->output_data[i];
        out.buf = number("null_output", 0) ? nullptr : data.data();
        uint32_t bytes = (uint32_t)(data.size() * sizeof(float));
        out.size = numbers.empty() ? bytes : (uint32_t)number("out_size." + std::to_string(i), bytes);
    }
    if (ret == 0) {
        c->outstanding = true;
        if (extend) extend->frame_id = c->frame;
    }
    ev << "],\"ret\":" << ret << "}";
    record(ev.str());
    return ret;
}

int zelt_outputs_release(zelt_handle context, uint32_t n_outputs, ZELTOutput outputs[]) {
    std::lock_guard<std::mutex> lock(mutex);
    Context *c = find(context);
    int ret = !c ? ZELT_ERR_CTX_INVALID : scripted("zelt_outputs_release");
    bool outstanding = c && c->outstanding;
    if (c) c->outstanding = false;
    if (recording)
        record("{\"fn\":\"zelt_outputs_release\",\"ctx\":" + std::to_string(context) + ",\"n\":" +
               std::to_string(n_outputs) + ",\"outstanding\":" + (outstanding ? "true" : "false") +
               ",\"buffers\":" + (outputs ? "true" : "false") + ",\"ret\":" + std::to_string(ret) + "}");
    return ret;
}

int zelt_set_core_mask(unsigned long long context, uint32_t core_mask) {
    std::lock_guard<std::mutex> lock(mutex);
    int ret = find(context) ? scripted("zelt_set_core_mask") : ZELT_ERR_CTX_INVALID;
    if (recording)
        record("{\"fn\":\"zelt_set_core_mask\",\"ctx\":" + std::to_string(context) +
               ",\"mask\":" + std::to_string(core_mask) + ",\"ret\":" + std::to_string(ret) + "}");
    return ret;
}

// ------------------------------------------------------------------ control

ZELTRT_EXPORT void zd_set(const char *key, long long value) {
    std::lock_guard<std::mutex> lock(mutex);
    if (std::string(key) == "record")
        recording = value != 0;
    else
        numbers[key] = value;
}

ZELTRT_EXPORT void zd_set_text(const char *key, const char *value) {
    std::lock_guard<std::mutex> lock(mutex);
    texts[key] = value;
}

// Forgets scripted values and recorded calls.
ZELTRT_EXPORT void zd_reset(void) {
    std::lock_guard<std::mutex> lock(mutex);
    numbers.clear();
    texts.clear();
    events.clear();
    recording = true;
}

// The recorded calls, oldest first, as a JSON array.  Valid until the next call.
ZELTRT_EXPORT const char *zd_log(void) {
    std::lock_guard<std::mutex> lock(mutex);
    log_text = "[";
    for (size_t i = 0; i < events.size(); ++i) log_text += (i ? "," : "") + events[i];
    log_text += "]";
    return log_text.c_str();
}

// The C layout of the header's structures: sizeof(structure) for a null
// `field`, else offsetof(structure, field); -1 for an unknown name.
ZELTRT_EXPORT long long zd_layout(const char *structure, const char *field) {
    struct Entry {
        const char *structure, *field;
        size_t value;
    };
#define ZD_SIZE(S) {#S, nullptr, sizeof(S)}
#define ZD_FIELD(S, F)         \
    {                          \
        #S, #F, offsetof(S, F) \
    }
    static const Entry table[] = {
        ZD_SIZE(ZELTInitExtend),
        ZD_FIELD(ZELTInitExtend, device_id),
        ZD_SIZE(ZELTRtInitExtend),
        ZD_FIELD(ZELTRtInitExtend, zelt_context),
        ZD_FIELD(ZELTRtInitExtend, real_model_offset),
        ZD_FIELD(ZELTRtInitExtend, real_model_size),
        ZD_FIELD(ZELTRtInitExtend, reserved),
        ZD_SIZE(ZELTInput),
        ZD_FIELD(ZELTInput, index),
        ZD_FIELD(ZELTInput, buf),
        ZD_FIELD(ZELTInput, size),
        ZD_FIELD(ZELTInput, pass_through),
        ZD_FIELD(ZELTInput, type),
        ZD_FIELD(ZELTInput, fmt),
        ZD_SIZE(ZELTRunExtend),
        ZD_FIELD(ZELTRunExtend, frame_id),
        ZD_SIZE(ZELTRtRunExtend),
        ZD_FIELD(ZELTRtRunExtend, frame_id),
        ZD_FIELD(ZELTRtRunExtend, non_block),
        ZD_FIELD(ZELTRtRunExtend, timeout_ms),
        ZD_FIELD(ZELTRtRunExtend, fence_fd),
        ZD_SIZE(ZELTOutputExtend),
        ZD_FIELD(ZELTOutputExtend, frame_id),
        ZD_SIZE(ZELTOutput),
        ZD_FIELD(ZELTOutput, want_float),
        ZD_FIELD(ZELTOutput, is_prealloc),
        ZD_FIELD(ZELTOutput, index),
        ZD_FIELD(ZELTOutput, buf),
        ZD_FIELD(ZELTOutput, size),
        ZD_SIZE(ZELTInputOutputNum),
        ZD_FIELD(ZELTInputOutputNum, n_input),
        ZD_FIELD(ZELTInputOutputNum, n_output),
        ZD_SIZE(ZELTPerfDetail),
        ZD_FIELD(ZELTPerfDetail, perf_data),
        ZD_FIELD(ZELTPerfDetail, data_len),
        ZD_SIZE(ZELTPerfRun),
        ZD_FIELD(ZELTPerfRun, run_duration),
        ZD_SIZE(ZELTTensorAttr),
        ZD_FIELD(ZELTTensorAttr, index),
        ZD_FIELD(ZELTTensorAttr, n_dims),
        ZD_FIELD(ZELTTensorAttr, dims),
        ZD_FIELD(ZELTTensorAttr, name),
        ZD_FIELD(ZELTTensorAttr, n_elems),
        ZD_FIELD(ZELTTensorAttr, size),
        ZD_FIELD(ZELTTensorAttr, fmt),
        ZD_FIELD(ZELTTensorAttr, type),
        ZD_FIELD(ZELTTensorAttr, qnt_type),
        ZD_FIELD(ZELTTensorAttr, fl),
        ZD_FIELD(ZELTTensorAttr, zp),
        ZD_FIELD(ZELTTensorAttr, scale),
        ZD_SIZE(ZELTRtTensorAttr),
        ZD_FIELD(ZELTRtTensorAttr, index),
        ZD_FIELD(ZELTRtTensorAttr, n_dims),
        ZD_FIELD(ZELTRtTensorAttr, dims),
        ZD_FIELD(ZELTRtTensorAttr, name),
        ZD_FIELD(ZELTRtTensorAttr, n_elems),
        ZD_FIELD(ZELTRtTensorAttr, size),
        ZD_FIELD(ZELTRtTensorAttr, fmt),
        ZD_FIELD(ZELTRtTensorAttr, type),
        ZD_FIELD(ZELTRtTensorAttr, qnt_type),
        ZD_FIELD(ZELTRtTensorAttr, fl),
        ZD_FIELD(ZELTRtTensorAttr, zp),
        ZD_FIELD(ZELTRtTensorAttr, scale),
        ZD_FIELD(ZELTRtTensorAttr, w_stride),
        ZD_FIELD(ZELTRtTensorAttr, stride_with_stride),
        ZD_FIELD(ZELTRtTensorAttr, pass_through),
        ZD_FIELD(ZELTRtTensorAttr, h_stride),
        ZD_SIZE(ZELTSDKVersion),
        ZD_FIELD(ZELTSDKVersion, api_version),
        ZD_FIELD(ZELTSDKVersion, drv_version),
    };
#undef ZD_SIZE
#undef ZD_FIELD
    for (const Entry &e : table)
        if (std::strcmp(e.structure, structure) == 0 &&
            (field ? e.field && std::strcmp(e.field, field) == 0 : !e.field))
            return (long long)e.value;
    return -1;
}

ZELTRT_EXPORT int zd_in_slow_run(void) { return sleeping_run ? 1 : 0; }

ZELTRT_EXPORT int zd_live_contexts(void) {
    std::lock_guard<std::mutex> lock(mutex);
    return (int)contexts.size();
}

}  // extern "C"
