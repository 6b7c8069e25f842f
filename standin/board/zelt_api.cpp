// Host-side runtime library libzelt_api.so: the runtime C ABI as a client of
// the transfer proxy npu_tetherd.  One source, built once per library family
// (ZELT_BOARD_FAMILY_TALUN or ZELT_BOARD_FAMILY_KESTA_VORIN); the board
// refuses a library of the other family.
//
// Each context has its own connection to the proxy and shares one memory file
// with the board: zelt_inputs_set copies the inputs into it and zelt_run sends
// only their descriptors; the board leaves the outputs there, so a cycle of
// set_inputs, run and get_outputs costs one round trip, and the run goes by
// the context's doorbell (futexes on a control block in that file) rather than
// through the socket.  Tensor counts,
// attributes, the run duration and the SDK versions are answered here from
// what the board reported.  A proxy that is gone or dies during a call gives
// ZELT_ERR_DEVICE_UNAVAILABLE, and every later call on that context does too.
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <zeltrt/zeltrt_api.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "context_table.hpp"
#include "tetherd_protocol.hpp"

namespace {

using namespace tetherd;

#if defined(ZELT_BOARD_FAMILY_TALUN)
constexpr Family kFamily = kFamilyTalun;
#define ZELT_FAMILY_NAME "TALUN"
#elif defined(ZELT_BOARD_FAMILY_KESTA_VORIN)
constexpr Family kFamily = kFamilyKestaVorin;
#define ZELT_FAMILY_NAME "KESTA_VORIN"
#else
#error "define ZELT_BOARD_FAMILY_TALUN or ZELT_BOARD_FAMILY_KESTA_VORIN"
#endif

constexpr char kApiVersion[] = ZELTRT_API_VERSION_STRING " (zeltlite host library " ZELT_FAMILY_NAME ")";
constexpr auto kConnectWindow = std::chrono::seconds(2);  // a proxy just started may not listen yet
constexpr auto kInitTimeout = std::chrono::seconds(120);
constexpr auto kRunTimeout = std::chrono::seconds(120);
constexpr auto kCallTimeout = std::chrono::seconds(30);
// How long a run waits on its reply word before it checks that the proxy is still there.
constexpr auto kLivenessSlice = std::chrono::milliseconds(100);
constexpr size_t kMaxDeviceId = 256;

struct Mapping {
    uint8_t *base = nullptr;
    size_t size = 0;
    Mapping() = default;
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    ~Mapping() {
        if (base) munmap(base, size);
    }
};

struct Staged {
    uint32_t index, size;
    uint8_t pass_through;
    int32_t type, fmt;
};

struct Context {
    std::mutex m;
    UniqueFd sock;
    Mapping memory;
    RunControl *control = nullptr;  // the doorbell, inside `memory`
    uint32_t run_seq = 0;           // sequence number of the last run posted
    std::vector<ZELTRtTensorAttr> inputs, outputs;
    std::vector<TensorSlot> in_slots, out_slots;
    std::vector<Staged> staged;  // inputs copied in since the last run
    std::vector<uint32_t> out_sizes;
    bool has_output = false;
    zelt_handle frame_id = 0;
    long long run_us = 0;
    std::string drv_version;
    std::string text;  // the last perf or memory-profile text, valid until the next query or run
    std::map<const void *, std::vector<uint8_t>> lent;  // output copies held by the caller
};

zelt::ContextTable<Context> g_contexts;

// A blocking socket whose calls give up after a second, so that a reply is read as soon as it
// arrives and the deadlines of the calls are still checked every second.
UniqueFd connect_proxy() {
    sockaddr_un addr;
    socklen_t len = socket_address(addr);
    auto deadline = Clock::now() + kConnectWindow;
    const timeval slice{1, 0};
    for (;;) {
        UniqueFd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!s) return s;
        // Set first: a connect to a proxy whose backlog is full waits no longer than a send.
        setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
        setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
        if (connect(s.get(), reinterpret_cast<sockaddr *>(&addr), len) == 0) return s;
        if ((errno != ECONNREFUSED && errno != EAGAIN && errno != EINTR) || Clock::now() >= deadline)
            return UniqueFd();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// One request and its reply.  Returns the reply's status; a failed exchange drops the
// connection and gives ZELT_ERR_DEVICE_UNAVAILABLE.
// With a doorbell, it is rung after the frame is sent, for the board's thread sleeps on it.
int call(UniqueFd &sock, Op op, const Writer &req, const std::vector<int> &fds, Clock::duration timeout,
         Frame &reply, RunControl *doorbell = nullptr) {
    if (!sock) return ZELT_ERR_DEVICE_UNAVAILABLE;
    auto deadline = Clock::now() + timeout;
    bool ok = send_frame(sock.get(), op, req.bytes, fds, deadline);
    if (ok && doorbell) ring(&doorbell->bell);
    if (ok) {
        ok = recv_reply(sock.get(), reply, deadline) == RecvStatus::kOk &&
             reply.header.op == (op | kReplyBit) && reply.payload.size() >= sizeof(int32_t);
    }
    if (!ok) {
        sock.reset();
        return ZELT_ERR_DEVICE_UNAVAILABLE;
    }
    int32_t status;
    std::memcpy(&status, reply.payload.data(), sizeof status);
    return status;
}

size_t type_size(int type) {
    switch (type) {
        case ZELT_TENSOR_FLOAT32:
        case ZELT_TENSOR_INT32:
        case ZELT_TENSOR_UINT32:
            return 4;
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
            return 0;
    }
}

// Reads the tensor table of an Init reply; false when it does not fit the tensor memory.
bool read_tensors(Reader &in, uint32_t n, uint64_t memory_size, std::vector<ZELTRtTensorAttr> &attrs,
                  std::vector<TensorSlot> &slots) {
    for (uint32_t i = 0; i < n; ++i) {
        ZELTRtTensorAttr a;
        TensorSlot s;
        if (!in.take(&a, sizeof a) || !in.take(&s, sizeof s)) return false;
        if (s.offset > memory_size || s.capacity > memory_size - s.offset) return false;
        a.name[ZELT_MAX_NAME_LEN - 1] = '\0';
        attrs.push_back(a);
        slots.push_back(s);
    }
    return true;
}

int init(zelt_handle *context, const void *model, uint32_t size, uint32_t flag, const char *device_id,
         Select select) {
    if (!context || !model || size == 0) return ZELT_ERR_PARAM_INVALID;
    std::string id = device_id ? std::string(device_id, strnlen(device_id, kMaxDeviceId + 1)) : std::string();
    if (id.size() > kMaxDeviceId) return ZELT_ERR_PARAM_INVALID;
    try {
        auto ctx = std::make_shared<Context>();
        Writer req;
        req.put<uint32_t>(kFamily).put<uint32_t>(flag).put<uint32_t>(select).str(id);
        UniqueFd model_fd;
        if (flag & ZELT_FLAG_LOAD_MODEL_IN_NPU) {
            // The bytes are the UTF-8 path of the model file on the board.
            std::string path(static_cast<const char *>(model), size);
            path = path.substr(0, path.find('\0'));
            if (path.empty() || path.size() > kMaxString) return ZELT_ERR_PARAM_INVALID;
            req.str(path);
        } else {
            req.str(std::string());
            model_fd.reset(memfd_create("zelt-model", MFD_CLOEXEC));
            if (!model_fd) return ZELT_ERR_MALLOC_FAIL;
            const auto *p = static_cast<const uint8_t *>(model);
            for (size_t done = 0; done < size;) {
                ssize_t n = write(model_fd.get(), p + done, size - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return ZELT_ERR_MALLOC_FAIL;
                done += size_t(n);
            }
        }
        ctx->sock = connect_proxy();
        if (!ctx->sock) return ZELT_ERR_DEVICE_UNAVAILABLE;
        Frame reply;
        std::vector<int> fds;
        if (model_fd) fds.push_back(model_fd.get());
        int status = call(ctx->sock, kOpInit, req, fds, kInitTimeout, reply);
        if (status != ZELT_SUCC) return status;
        model_fd.reset();

        Reader in(reply.payload.data() + 4, reply.payload.size() - 4);
        in.str(256);  // board id
        in.str(256);  // SoC
        std::string drv = in.str();
        in.get<uint32_t>();  // cores
        uint32_t n_in = in.get<uint32_t>(), n_out = in.get<uint32_t>();
        uint64_t memory_size = in.get<uint64_t>();
        uint64_t control_offset = in.get<uint64_t>();
        // The slots lie before the control block, which fits the file.
        if (!in.ok() || uint64_t(n_in) + n_out > kMaxTensors || control_offset % 8 != 0 ||
            control_offset > memory_size || memory_size - control_offset < sizeof(RunControl) ||
            !read_tensors(in, n_in, control_offset, ctx->inputs, ctx->in_slots) ||
            !read_tensors(in, n_out, control_offset, ctx->outputs, ctx->out_slots) || !in.at_end() ||
            reply.fds.size() != 1 || memory_size > SIZE_MAX)
            return ZELT_ERR_DEVICE_UNAVAILABLE;
        struct stat st;
        if (fstat(reply.fds[0].get(), &st) != 0 || uint64_t(st.st_size) < memory_size)
            return ZELT_ERR_DEVICE_UNAVAILABLE;
        void *p =
            mmap(nullptr, size_t(memory_size), PROT_READ | PROT_WRITE, MAP_SHARED, reply.fds[0].get(), 0);
        if (p == MAP_FAILED) return ZELT_ERR_MALLOC_FAIL;
        ctx->memory.base = static_cast<uint8_t *>(p);
        ctx->memory.size = size_t(memory_size);
        ctx->control = reinterpret_cast<RunControl *>(ctx->memory.base + control_offset);
        ctx->run_seq = load_word(&ctx->control->request);
        status =
            call(ctx->sock, kOpDoorbell, Writer().put<uint64_t>(control_offset), {}, kCallTimeout, reply);
        if (status != ZELT_SUCC) return ZELT_ERR_DEVICE_UNAVAILABLE;
        ctx->drv_version = drv;
        ctx->out_sizes.assign(n_out, 0);

        *context = g_contexts.add(std::move(ctx));
        return ZELT_SUCC;
    } catch (const std::bad_alloc &) {
        return ZELT_ERR_MALLOC_FAIL;
    } catch (...) {
        return ZELT_ERR_FAIL;
    }
}

template <typename Attr>
int copy_attr(const std::vector<ZELTRtTensorAttr> &list, void *info) {
    auto *a = static_cast<Attr *>(info);
    if (a->index >= list.size()) return ZELT_ERR_PARAM_INVALID;
    // ZELTTensorAttr is the leading part of ZELTRtTensorAttr (asserted in the ABI header).
    std::memcpy(a, &list[a->index], sizeof(Attr));
    return ZELT_SUCC;
}

int remote_text(Context &c, int cmd, void *info, uint32_t size) {
    if (size != sizeof(ZELTPerfDetail)) return ZELT_ERR_PARAM_INVALID;
    Frame reply;
    int status = call(c.sock, kOpQuery, Writer().put<int32_t>(cmd), {}, kCallTimeout, reply, c.control);
    if (status != ZELT_SUCC) return status;
    Reader in(reply.payload.data() + 4, reply.payload.size() - 4);
    std::string text = in.str(kMaxReplyPayload);
    if (!in.at_end()) return ZELT_ERR_DEVICE_UNAVAILABLE;
    c.text = std::move(text);
    auto *d = static_cast<ZELTPerfDetail *>(info);
    d->perf_data = &c.text[0];
    d->data_len = c.text.size();
    return ZELT_SUCC;
}

int query(Context &c, int cmd, void *info, uint32_t size) {
    switch (cmd) {
        case ZELT_QUERY_IN_OUT_NUM: {
            if (size != sizeof(ZELTInputOutputNum)) return ZELT_ERR_PARAM_INVALID;
            auto *n = static_cast<ZELTInputOutputNum *>(info);
            n->n_input = uint32_t(c.inputs.size());
            n->n_output = uint32_t(c.outputs.size());
            return ZELT_SUCC;
        }
        case ZELT_QUERY_INPUT_ATTR:
        case ZELT_QUERY_OUTPUT_ATTR: {
            const auto &list = cmd == ZELT_QUERY_INPUT_ATTR ? c.inputs : c.outputs;
            if (size == sizeof(ZELTTensorAttr)) return copy_attr<ZELTTensorAttr>(list, info);
            if (size == sizeof(ZELTRtTensorAttr)) return copy_attr<ZELTRtTensorAttr>(list, info);
            return ZELT_ERR_PARAM_INVALID;
        }
        case ZELT_QUERY_PERF_RUN:
            if (size != sizeof(ZELTPerfRun)) return ZELT_ERR_PARAM_INVALID;
            static_cast<ZELTPerfRun *>(info)->run_duration = c.run_us;
            return ZELT_SUCC;
        case ZELT_QUERY_SDK_VERSION: {
            if (size != sizeof(ZELTSDKVersion)) return ZELT_ERR_PARAM_INVALID;
            auto *v = static_cast<ZELTSDKVersion *>(info);
            std::memset(v, 0, sizeof *v);
            std::strncpy(v->api_version, kApiVersion, ZELT_MAX_VERSION_LEN - 1);
            std::strncpy(v->drv_version, c.drv_version.c_str(), ZELT_MAX_VERSION_LEN - 1);
            return ZELT_SUCC;
        }
        case ZELT_QUERY_PERF_DETAIL:
        case ZELT_QUERY_MEM_SIZE:
            return remote_text(c, cmd, info, size);
        default:
            return ZELT_ERR_PARAM_INVALID;
    }
}

}  // namespace

extern "C" {

#if defined(ZELT_BOARD_FAMILY_TALUN)
// A non-zero real_model_size in the extension names the model inside the buffer; the
// extension gets the new context handle.
ZELTRT_EXPORT int zelt_init(zelt_handle *context, void *model, uint32_t size, uint32_t flag,
                            ZELTRtInitExtend *extend) {
    if (extend && extend->real_model_size && !(flag & ZELT_FLAG_LOAD_MODEL_IN_NPU)) {
        if (extend->real_model_offset < 0 || uint64_t(extend->real_model_offset) > size ||
            extend->real_model_size > size - uint32_t(extend->real_model_offset) || !model)
            return ZELT_ERR_PARAM_INVALID;
        model = static_cast<uint8_t *>(model) + extend->real_model_offset;
        size = extend->real_model_size;
    }
    int ret = init(context, model, size, flag, nullptr, kSelectByFamily);
    if (ret == ZELT_SUCC && extend) extend->zelt_context = *context;
    return ret;
}
#else
ZELTRT_EXPORT int zelt_init(zelt_handle *context, void *model, uint32_t size, uint32_t flag,
                            ZELTRtInitExtend *) {
    // KESTA/VORIN callers pass no extension: the fifth argument is never read.
    return init(context, model, size, flag, nullptr, kSelectByFamily);
}
#endif

ZELTRT_EXPORT int zelt_init2(unsigned long long *context, void *model, uint32_t size, uint32_t flag,
                             ZELTInitExtend *extend) {
    if (!context) return ZELT_ERR_PARAM_INVALID;
    zelt_handle h = 0;
    int ret = init(&h, model, size, flag, extend ? extend->device_id : nullptr, kSelectOnly);
    if (ret == ZELT_SUCC) *context = h;
    return ret;
}

ZELTRT_EXPORT int zelt_destroy(zelt_handle context) {
    std::shared_ptr<Context> ctx = g_contexts.take(context);
    if (!ctx) return ZELT_ERR_CTX_INVALID;
    std::lock_guard<std::mutex> lk(ctx->m);
    Frame reply;
    return call(ctx->sock, kOpDestroy, Writer(), {}, kCallTimeout, reply, ctx->control);
}

ZELTRT_EXPORT int zelt_query(zelt_handle context, int cmd, void *info, uint32_t size) {
    if (!info) return g_contexts.find(context) ? ZELT_ERR_PARAM_INVALID : ZELT_ERR_CTX_INVALID;
    return g_contexts.with(context, [&](Context &c) { return query(c, cmd, info, size); });
}

ZELTRT_EXPORT int zelt_inputs_set(zelt_handle context, uint32_t n_inputs, ZELTInput inputs[]) {
    return g_contexts.with(context, [&](Context &c) {
        if (!c.sock) return int(ZELT_ERR_DEVICE_UNAVAILABLE);
        if (!inputs || n_inputs == 0 || n_inputs > c.inputs.size()) return int(ZELT_ERR_PARAM_INVALID);
        // Everything is checked before anything is copied, so a bad descriptor changes nothing.
        std::vector<bool> seen(c.inputs.size(), false);
        for (uint32_t i = 0; i < n_inputs; ++i) {
            const ZELTInput &in = inputs[i];
            if (in.index >= c.inputs.size() || !in.buf || seen[in.index]) return int(ZELT_ERR_INPUT_INVALID);
            seen[in.index] = true;
            size_t es = in.pass_through ? 4 : type_size(in.type);
            if (es == 0) return int(ZELT_ERR_INPUT_INVALID);
            if (!in.pass_through && in.fmt != ZELT_TENSOR_NCHW && in.fmt != ZELT_TENSOR_NHWC)
                return int(ZELT_ERR_INPUT_INVALID);
            if (uint64_t(in.size) != uint64_t(c.inputs[in.index].n_elems) * es ||
                in.size > c.in_slots[in.index].capacity)
                return int(ZELT_ERR_INPUT_INVALID);
        }
        for (uint32_t i = 0; i < n_inputs; ++i) {
            const ZELTInput &in = inputs[i];
            std::memcpy(c.memory.base + c.in_slots[in.index].offset, in.buf, in.size);
            Staged s{in.index, in.size, in.pass_through, in.type, in.fmt};
            auto it = std::find_if(c.staged.begin(), c.staged.end(),
                                   [&](const Staged &x) { return x.index == in.index; });
            if (it == c.staged.end())
                c.staged.push_back(s);
            else
                *it = s;
        }
        return int(ZELT_SUCC);
    });
}

// Posts the staged inputs on the doorbell and waits for the board's reply word, checking
// every slice that the proxy still holds the connection.
int run_doorbell(Context &c) {
    RunControl &rc = *c.control;
    rc.n_inputs = uint32_t(c.staged.size());
    for (size_t i = 0; i < c.staged.size(); ++i) {
        const Staged &s = c.staged[i];
        rc.inputs[i] = RunInput{s.index, s.size, s.pass_through, s.type, s.fmt};
    }
    const uint32_t seq = ++c.run_seq;
    store_word(&rc.request, seq);
    ring(&rc.bell);
    const auto deadline = Clock::now() + kRunTimeout;
    for (;;) {
        uint32_t seen = load_word(&rc.reply);
        if (seen == seq) break;
        if (!watch_word(&rc.reply, seen, kWatchSpin)) wait_word(&rc.reply, seen, kLivenessSlice);
        if (load_word(&rc.reply) == seq) break;
        // The proxy sends nothing unasked: anything readable is a hang-up or a closed socket.
        pollfd p{c.sock.get(), POLLIN, 0};
        if (poll(&p, 1, 0) != 0 || Clock::now() >= deadline) {
            c.sock.reset();
            return ZELT_ERR_DEVICE_UNAVAILABLE;
        }
    }
    return rc.status;
}

ZELTRT_EXPORT int zelt_run(zelt_handle context, ZELTRunExtend *extend) {
    // TALUN callers pass a ZELTRtRunExtend; only its leading frame_id is used, runs are synchronous.
    return g_contexts.with(context, [&](Context &c) {
        if (!c.sock) return int(ZELT_ERR_DEVICE_UNAVAILABLE);
        // Until this run succeeds there are no outputs to hand out.
        c.has_output = false;
        int status = run_doorbell(c);
        if (status == ZELT_ERR_DEVICE_UNAVAILABLE && !c.sock) return status;
        c.staged.clear();  // the board has bound (or refused) them
        c.text.clear();
        if (status != ZELT_SUCC) return status;
        // Copied out once, then checked: the block is shared with the board.
        const RunControl &rc = *c.control;
        const uint64_t frame = rc.frame_id;
        const int64_t run_us = rc.run_us;
        const uint32_t n = rc.n_outputs;
        if (n != c.outputs.size()) {
            c.sock.reset();
            return int(ZELT_ERR_DEVICE_UNAVAILABLE);
        }
        std::vector<uint32_t> sizes(rc.output_sizes, rc.output_sizes + n);
        bool fits = true;
        for (uint32_t i = 0; i < n; ++i) fits = fits && sizes[i] <= c.out_slots[i].capacity;
        if (!fits) {
            c.sock.reset();
            return int(ZELT_ERR_DEVICE_UNAVAILABLE);
        }
        c.out_sizes = std::move(sizes);
        c.frame_id = zelt_handle(frame);
        c.run_us = run_us;
        c.has_output = true;
        if (extend) extend->frame_id = c.frame_id;
        return int(ZELT_SUCC);
    });
}

ZELTRT_EXPORT int zelt_outputs_get(zelt_handle context, uint32_t n_outputs, ZELTOutput outputs[],
                                   ZELTOutputExtend *extend) {
    return g_contexts.with(context, [&](Context &c) {
        if (!c.sock) return int(ZELT_ERR_DEVICE_UNAVAILABLE);
        if (!outputs || n_outputs == 0 || n_outputs > c.outputs.size()) return int(ZELT_ERR_PARAM_INVALID);
        if (!c.has_output) return int(ZELT_ERR_OUTPUT_INVALID);
        for (uint32_t i = 0; i < n_outputs; ++i) {
            const ZELTOutput &o = outputs[i];
            if (o.index >= c.outputs.size()) return int(ZELT_ERR_OUTPUT_INVALID);
            if (o.is_prealloc && (!o.buf || o.size < c.out_sizes[o.index]))
                return int(ZELT_ERR_OUTPUT_INVALID);
        }
        for (uint32_t i = 0; i < n_outputs; ++i) {
            ZELTOutput &o = outputs[i];
            const uint8_t *src = c.memory.base + c.out_slots[o.index].offset;
            const uint32_t n = c.out_sizes[o.index];
            if (o.is_prealloc) {
                std::memcpy(o.buf, src, n);
            } else {
                // A copy the caller holds until zelt_outputs_release; later runs leave it alone.
                std::vector<uint8_t> copy(src, src + n);
                copy.reserve(std::max<size_t>(n, 1));
                o.buf = copy.data();
                c.lent[o.buf] = std::move(copy);
            }
            o.size = n;
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
            c.lent.erase(it);
            o.buf = nullptr;
        }
        return ret;
    });
}

ZELTRT_EXPORT int zelt_set_core_mask(unsigned long long context, uint32_t core_mask) {
    // Off the board the session calls this with ctypes' default conversions, which pass the
    // handle as a C int: only its low 32 bits are defined, and handles stay below 2**31.
    context &= 0xffffffffULL;
    static const uint32_t valid[] = {0, 1, 2, 4, 3, 7};
    if (std::find(std::begin(valid), std::end(valid), core_mask) == std::end(valid))
        return g_contexts.find(context) ? ZELT_ERR_PARAM_INVALID : ZELT_ERR_CTX_INVALID;
    return g_contexts.with(context, [&](Context &c) {
        Frame reply;
        return call(c.sock, kOpCoreMask, Writer().put<uint32_t>(core_mask), {}, kCallTimeout, reply,
                    c.control);
    });
}

}  // extern "C"
