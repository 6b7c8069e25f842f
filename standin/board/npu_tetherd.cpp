// npu_tetherd: the transfer proxy of the virtual board.
//
//   npu_tetherd [options]           serve the boards on the abstract socket "tetherd"
//   npu_tetherd [options] devices   list the boards: "<id> device USB_DEVICE" per line
//
// Options:
//   --config FILE        board list (default: npu_tetherd.conf beside the executable, when it exists)
//   --board ID:SOC[:N]   one board of SoC SOC with N NPU cores; repeatable, replaces the file's boards
//   --root DIR           where the boards' file systems live (default: boards/ beside the executable);
//                        board ID reads model-in-NPU paths inside DIR/ID
//   --max-model-mb N     largest model accepted (default 1024)
//   --verbose            log connections and refusals to standard error
//
// Config file lines: "board ID SOC [CORES]", "root DIR", "max_model_mb N"; "#" starts a comment.
// Without any board the proxy serves one TX5100 board with id "vboard0".
//
// Each board runs its models on the simulator runtime library (linked in), so
// its outputs are those of the in-process simulator bit for bit.  One thread
// serves each connection; a connection owns at most one context, which is
// destroyed when the client closes the connection or disappears.  Once the
// client asks for the doorbell, that thread sleeps on the context's bell futex
// (runs come that way) and looks at the socket whenever it wakes.  SIGTERM stops
// accepting, lets every call in flight finish, and exits.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <zeltrt/zelt_container.h>
#include <zeltrt/zeltrt_api.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tetherd_protocol.hpp"

namespace {

using namespace tetherd;

constexpr int kMaxConnections = 128;
constexpr auto kFrameTimeout = std::chrono::seconds(10);  // a started frame must arrive whole within this
constexpr uint64_t kMaxTensorMemory = 4ULL << 30;
constexpr uint64_t kTensorAlign = 64;
// How long a doorbell thread sleeps before it looks again for a vanished client or a stop.
constexpr auto kBellTimeout = std::chrono::milliseconds(100);

struct SocInfo {
    const char *soc;
    Family family;
    uint32_t cores;
};

// The SoCs of the shipped chip map: TALUN* NPUs form one library family, KESTA and VORIN the other.
constexpr SocInfo kSocs[] = {
    {"TX1100", kFamilyKestaVorin, 1}, {"TX1200", kFamilyKestaVorin, 1}, {"TX3000", kFamilyKestaVorin, 1},
    {"TM2100", kFamilyKestaVorin, 1}, {"TX2100", kFamilyKestaVorin, 1}, {"TM2200", kFamilyKestaVorin, 1},
    {"TX2200", kFamilyKestaVorin, 1}, {"TX4100", kFamilyTalun, 1},      {"TX4200", kFamilyTalun, 1},
    {"TX5100", kFamilyTalun, 3},      {"TX4300", kFamilyTalun, 1},
};

struct Board {
    std::string id, soc;
    Family family;
    uint32_t cores;
};

struct Options {
    std::vector<Board> boards;
    std::string root;
    uint64_t max_model = 1024ULL << 20;
    bool verbose = false;
    bool devices = false;
};

Options g_opt;

void log(const std::string &msg) {
    if (g_opt.verbose) std::fprintf(stderr, "npu_tetherd: %s\n", msg.c_str());
}

std::string upper(std::string s) {
    for (char &c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string exe_dir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, size_t(n));
    return p.substr(0, p.rfind('/'));
}

bool add_board(Options &o, const std::string &id, const std::string &soc_name, const std::string &cores) {
    std::string soc = upper(soc_name);
    for (const SocInfo &s : kSocs) {
        if (soc != s.soc) continue;
        uint32_t n = s.cores;
        if (!cores.empty()) {
            char *end;
            unsigned long v = std::strtoul(cores.c_str(), &end, 10);
            if (*end || v < 1 || v > 3) return false;
            n = uint32_t(v);
        }
        if (id.empty() || id.size() > 64 || id.find_first_of(" \t/") != std::string::npos) return false;
        for (const Board &b : o.boards)
            if (b.id == id) return false;
        o.boards.push_back({id, soc, s.family, n});
        return true;
    }
    return false;
}

bool parse_uint(const std::string &s, uint64_t &out) {
    if (s.empty()) return false;
    char *end;
    out = std::strtoull(s.c_str(), &end, 10);
    return !*end && out > 0 && out < (1ULL << 20);
}

bool read_config(const std::string &path, Options &o, bool required) {
    std::ifstream f(path);
    if (!f) {
        if (required) std::fprintf(stderr, "npu_tetherd: cannot read %s\n", path.c_str());
        return !required;
    }
    std::string line;
    for (int lineno = 1; std::getline(f, line); ++lineno) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string key, a, b, c, extra;
        if (!(words >> key)) continue;
        words >> a >> b >> c >> extra;
        bool good = false;
        uint64_t v = 0;
        if (key == "board") {
            good = extra.empty() && add_board(o, a, b, c);
        } else if (key == "root") {
            good = !a.empty() && b.empty();
            o.root = a;
        } else if (key == "max_model_mb") {
            good = b.empty() && parse_uint(a, v);
            o.max_model = v << 20;
        }
        if (!good) {
            std::fprintf(stderr, "npu_tetherd: %s:%d: bad line\n", path.c_str(), lineno);
            return false;
        }
    }
    return true;
}

bool parse_options(int argc, char **argv, Options &o) {
    std::string config = exe_dir() + "/npu_tetherd.conf";
    bool config_given = false;
    std::vector<std::string> boards;
    uint64_t max_mb = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "devices") {
            o.devices = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--config" && value(v)) {
            config = v;
            config_given = true;
        } else if (a == "--board" && value(v)) {
            boards.push_back(v);
        } else if (a == "--root" && value(v)) {
            o.root = v;
        } else if (a == "--max-model-mb" && value(v) && parse_uint(v, max_mb)) {
        } else {
            std::fprintf(stderr, "npu_tetherd: bad argument: %s\n", a.c_str());
            return false;
        }
    }
    std::string root = o.root;
    if (!read_config(config, o, config_given)) return false;
    if (!root.empty()) o.root = root;  // the command line wins over the file
    if (max_mb) o.max_model = max_mb << 20;
    if (!boards.empty()) {
        o.boards.clear();
        for (const std::string &b : boards) {
            size_t c1 = b.find(':'), c2 = c1 == std::string::npos ? c1 : b.find(':', c1 + 1);
            std::string id = b.substr(0, c1),
                        soc = c1 == std::string::npos ? "" : b.substr(c1 + 1, c2 - c1 - 1);
            std::string cores = c2 == std::string::npos ? "" : b.substr(c2 + 1);
            if (!add_board(o, id, soc, cores)) {
                std::fprintf(stderr, "npu_tetherd: bad board: %s\n", b.c_str());
                return false;
            }
        }
    }
    if (o.boards.empty()) add_board(o, "vboard0", "TX5100", "");
    if (o.root.empty()) o.root = exe_dir() + "/boards";
    return true;
}

// Minimal JSON reader: validates a document and collects the string items of the
// top-level key "target_platform".
class TargetPlatforms {
public:
    // False when `text` is not one JSON object.
    bool parse(const std::string &text) {
        p_ = text.data();
        e_ = p_ + text.size();
        ws();
        if (!object(0, true)) return false;
        ws();
        return p_ == e_;
    }
    bool present = false;
    std::vector<std::string> names;

private:
    void ws() {
        while (p_ < e_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool lit(const char *w) {
        size_t n = std::strlen(w);
        if (size_t(e_ - p_) < n || std::memcmp(p_, w, n) != 0) return false;
        p_ += n;
        return true;
    }
    bool string(std::string *out) {
        if (p_ >= e_ || *p_ != '"') return false;
        for (++p_; p_ < e_; ++p_) {
            char c = *p_;
            if (c == '"') {
                ++p_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                if (++p_ >= e_) return false;
                const char *esc = std::strchr("\"\\/bfnrtu", *p_);
                if (!esc || !*p_) return false;
                if (*p_ == 'u') {
                    if (e_ - p_ < 5) return false;
                    for (int k = 1; k <= 4; ++k)
                        if (!std::isxdigit(static_cast<unsigned char>(p_[k]))) return false;
                    p_ += 4;
                    if (out) out->push_back('?');  // no SoC name needs an escape
                    continue;
                }
                if (out) out->push_back(*p_ == '"' || *p_ == '\\' || *p_ == '/' ? *p_ : '?');
                continue;
            }
            if (out) out->push_back(c);
        }
        return false;
    }
    bool number() {
        const char *s = p_;
        if (p_ < e_ && *p_ == '-') ++p_;
        while (p_ < e_ && (std::isdigit(static_cast<unsigned char>(*p_)) || std::strchr(".eE+-", *p_))) ++p_;
        return p_ > s;
    }
    bool value(int depth, std::vector<std::string> *strings) {
        if (depth > 64 || p_ >= e_) return false;
        switch (*p_) {
            case '{':
                return object(depth + 1, false);
            case '[':
                return array(depth + 1, strings);
            case '"':
                if (strings) {
                    strings->emplace_back();
                    return string(&strings->back());
                }
                return string(nullptr);
            case 't':
                return lit("true");
            case 'f':
                return lit("false");
            case 'n':
                return lit("null");
            default:
                return number();
        }
    }
    bool array(int depth, std::vector<std::string> *strings) {
        ++p_;
        ws();
        if (p_ < e_ && *p_ == ']') return ++p_, true;
        for (;;) {
            ws();
            // Only the direct string items count as names; nested values are checked and skipped.
            bool is_string = p_ < e_ && *p_ == '"';
            if (!value(depth, is_string ? strings : nullptr)) return false;
            ws();
            if (p_ < e_ && *p_ == ',') {
                ++p_;
                continue;
            }
            if (p_ < e_ && *p_ == ']') return ++p_, true;
            return false;
        }
    }
    bool object(int depth, bool top) {
        if (p_ >= e_ || *p_ != '{') return false;
        ++p_;
        ws();
        if (p_ < e_ && *p_ == '}') return ++p_, true;
        for (;;) {
            ws();
            std::string key;
            if (!string(&key)) return false;
            ws();
            if (p_ >= e_ || *p_ != ':') return false;
            ++p_;
            ws();
            bool wanted = top && key == "target_platform";
            if (wanted) {
                present = true;
                names.clear();
            }
            if (!value(depth, wanted && p_ < e_ && *p_ == '[' ? &names : nullptr)) return false;
            ws();
            if (p_ < e_ && *p_ == ',') {
                ++p_;
                continue;
            }
            if (p_ < e_ && *p_ == '}') return ++p_, true;
            return false;
        }
    }
    const char *p_ = nullptr, *e_ = nullptr;
};

// Container checks of the board: well formed, and made for this board's SoC.  A container
// naming no target platform is a TX1200 model.
int check_container(const std::vector<uint8_t> &bytes, const Board &board) {
    ZELTContainerSections s;
    if (zelt_container_sections(bytes.data(), bytes.size(), &s) != 0) return ZELT_ERR_MODEL_INVALID;
    TargetPlatforms t;
    if (!t.parse(std::string(reinterpret_cast<const char *>(s.config_data), size_t(s.config_size))))
        return ZELT_ERR_MODEL_INVALID;
    if (!t.present) t.names = {"TX1200"};
    for (const std::string &n : t.names)
        if (upper(n) == board.soc) return ZELT_SUCC;
    return ZELT_ERR_TARGET_PLATFORM_UNMATCH;
}

// Reads at most `limit` bytes of a regular file; false when it is not one, is larger, or fails.
int read_regular(int fd, uint64_t limit, std::vector<uint8_t> &out) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return ZELT_ERR_PARAM_INVALID;
    if (st.st_size <= 0) return ZELT_ERR_MODEL_INVALID;
    if (uint64_t(st.st_size) > limit) return ZELT_ERR_MODEL_INVALID;
    out.resize(size_t(st.st_size));
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = pread(fd, out.data() + got, out.size() - got, off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the file shrank under us: what is there is the model
        got += size_t(n);
    }
    out.resize(got);
    return ZELT_SUCC;
}

// Model-in-NPU: the path names a file inside the board's own file system.
int read_board_file(const Board &board, std::string path, uint64_t limit, std::vector<uint8_t> &out) {
    path = path.substr(0, path.find('\0'));
    char real_root[PATH_MAX], real_file[PATH_MAX];
    std::string root = g_opt.root + "/" + board.id;
    if (!realpath(root.c_str(), real_root)) return ZELT_ERR_MODEL_INVALID;
    std::string joined = std::string(real_root) + "/" + path;
    if (!realpath(joined.c_str(), real_file)) return ZELT_ERR_MODEL_INVALID;
    std::string inside = std::string(real_root) + "/";
    if (std::strncmp(real_file, inside.c_str(), inside.size()) != 0) return ZELT_ERR_MODEL_INVALID;
    UniqueFd fd(open(real_file, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return ZELT_ERR_MODEL_INVALID;
    int ret = read_regular(fd.get(), limit, out);
    return ret == ZELT_ERR_PARAM_INVALID ? int(ZELT_ERR_MODEL_INVALID) : ret;  // a directory, a device ...
}

// Shared tensor memory of one context: inputs, then outputs, each at its slot.
struct TensorMemory {
    UniqueFd fd;
    uint8_t *base = nullptr;
    size_t size = 0;
    TensorMemory() = default;
    TensorMemory(const TensorMemory &) = delete;
    TensorMemory &operator=(const TensorMemory &) = delete;
    ~TensorMemory() {
        if (base) munmap(base, size);
    }
    // The seals keep a client from shrinking the file under the board's mapping.
    bool create(size_t n) {
        size = std::max<size_t>(n, kTensorAlign);
        fd.reset(memfd_create("tetherd-tensors", MFD_CLOEXEC | MFD_ALLOW_SEALING));
        if (!fd || ftruncate(fd.get(), off_t(size)) != 0 ||
            fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
            return false;
        void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (p == MAP_FAILED) return false;
        base = static_cast<uint8_t *>(p);
        return true;
    }
};

// The one context a connection may own.
struct BoardContext {
    const Board *board = nullptr;
    zelt_handle handle = 0;
    std::vector<ZELTRtTensorAttr> inputs, outputs;
    std::vector<TensorSlot> in_slots, out_slots;
    TensorMemory memory;
    uint64_t control_offset = 0;
    RunControl *control = nullptr;  // the doorbell, inside `memory`
    bool doorbell = false;          // the client rings it: wait on the bell, not on the socket only
    uint32_t served = 0;            // sequence number of the last doorbell run
    BoardContext() = default;
    BoardContext(const BoardContext &) = delete;
    BoardContext &operator=(const BoardContext &) = delete;
    ~BoardContext() {
        if (handle) zelt_destroy(handle);
        // Give the engine's buffers back to the system now, not at some later allocation.
        malloc_trim(0);
    }
};

struct Reply {
    int32_t status = ZELT_SUCC;
    Writer body;
    std::vector<int> fds;
};

const Board *pick_board(const std::string &id, Family family, Select select, int32_t &status) {
    if (!id.empty()) {
        for (const Board &b : g_opt.boards)
            if (b.id == id) return &b;
        status = ZELT_ERR_DEVICE_UNAVAILABLE;
        return nullptr;
    }
    if (g_opt.boards.size() == 1) return &g_opt.boards[0];
    if (select == kSelectByFamily) {
        const Board *found = nullptr;
        int count = 0;
        for (const Board &b : g_opt.boards)
            if (b.family == family) found = &b, ++count;
        if (count == 1) return found;
    }
    status = ZELT_ERR_PARAM_INVALID;  // several boards: the caller must name one
    return nullptr;
}

void do_devices(Reply &r) {
    r.body.put<uint32_t>(uint32_t(g_opt.boards.size()));
    for (const Board &b : g_opt.boards)
        r.body.str(b.id).str(b.soc).put<uint32_t>(b.cores).put<uint32_t>(b.family);
}

void do_init(Reader &in, std::vector<UniqueFd> &fds, std::unique_ptr<BoardContext> &ctx, Reply &r) {
    uint32_t family = in.get<uint32_t>(), flag = in.get<uint32_t>(), select = in.get<uint32_t>();
    std::string id = in.str(256);
    std::string path = in.str(kMaxString);
    if (!in.at_end() || ctx || family > kFamilyKestaVorin || select > kSelectByFamily) {
        r.status = ZELT_ERR_PARAM_INVALID;
        return;
    }
    const Board *board = pick_board(id, Family(family), Select(select), r.status);
    if (!board) return;
    if (board->family != family) {
        r.status = ZELT_ERR_DEVICE_UNMATCH;
        return;
    }
    std::vector<uint8_t> bytes;
    if (flag & ZELT_FLAG_LOAD_MODEL_IN_NPU) {
        r.status =
            path.empty() ? ZELT_ERR_PARAM_INVALID : read_board_file(*board, path, g_opt.max_model, bytes);
    } else {
        r.status =
            fds.size() != 1 ? ZELT_ERR_PARAM_INVALID : read_regular(fds[0].get(), g_opt.max_model, bytes);
    }
    if (r.status) return;
    if ((r.status = check_container(bytes, *board))) return;
    auto c = std::make_unique<BoardContext>();
    c->board = board;
    zelt_handle h = 0;
    r.status =
        zelt_init(&h, bytes.data(), uint32_t(bytes.size()), flag & ~ZELT_FLAG_LOAD_MODEL_IN_NPU, nullptr);
    if (r.status) return;
    c->handle = h;
    std::vector<uint8_t>().swap(bytes);
    ZELTInputOutputNum num{};
    if ((r.status = zelt_query(h, ZELT_QUERY_IN_OUT_NUM, &num, sizeof num))) return;
    if (uint64_t(num.n_input) + num.n_output > kMaxTensors) {
        r.status = ZELT_ERR_MODEL_INVALID;
        return;
    }
    uint64_t offset = 0;
    auto describe = [&](int cmd, uint32_t n, std::vector<ZELTRtTensorAttr> &attrs,
                        std::vector<TensorSlot> &slots, uint64_t element_bytes) {
        for (uint32_t i = 0; i < n; ++i) {
            ZELTRtTensorAttr a{};
            a.index = i;
            if (int ret = zelt_query(h, cmd, &a, sizeof a)) return ret;
            uint64_t capacity = uint64_t(a.n_elems) * element_bytes;
            attrs.push_back(a);
            slots.push_back({offset, capacity});
            offset += (capacity + kTensorAlign - 1) / kTensorAlign * kTensorAlign;
        }
        return int(ZELT_SUCC);
    };
    // An input may come in any element type, eight bytes at most; outputs are float32.
    if ((r.status = describe(ZELT_QUERY_INPUT_ATTR, num.n_input, c->inputs, c->in_slots, 8))) return;
    if ((r.status = describe(ZELT_QUERY_OUTPUT_ATTR, num.n_output, c->outputs, c->out_slots, 4))) return;
    if (offset > kMaxTensorMemory) {
        r.status = ZELT_ERR_MALLOC_FAIL;
        return;
    }
    c->control_offset = offset;  // every slot ends 64-byte aligned
    if (!c->memory.create(size_t(offset) + sizeof(RunControl))) {
        r.status = ZELT_ERR_MALLOC_FAIL;
        return;
    }
    c->control = reinterpret_cast<RunControl *>(c->memory.base + c->control_offset);
    ZELTSDKVersion v{};
    zelt_query(h, ZELT_QUERY_SDK_VERSION, &v, sizeof v);
    std::string drv = "1.0.0 (npu_tetherd virtual board " + board->soc + ", " + v.drv_version + ")";
    r.body.str(board->id).str(board->soc).str(drv).put<uint32_t>(board->cores);
    r.body.put<uint32_t>(num.n_input).put<uint32_t>(num.n_output).put<uint64_t>(c->memory.size);
    r.body.put<uint64_t>(c->control_offset);
    for (size_t i = 0; i < c->inputs.size(); ++i)
        r.body.raw(&c->inputs[i], sizeof(ZELTRtTensorAttr)).put(c->in_slots[i]);
    for (size_t i = 0; i < c->outputs.size(); ++i)
        r.body.raw(&c->outputs[i], sizeof(ZELTRtTensorAttr)).put(c->out_slots[i]);
    r.fds.push_back(c->memory.fd.get());
    ctx = std::move(c);
}

struct RunResult {
    uint64_t frame_id = 0;
    int64_t run_us = 0;
    std::vector<uint32_t> sizes;
};

// Binds the staged inputs (already copied out of any shared memory), runs, and leaves every
// output in its slot.
int run_staged(BoardContext &c, const std::vector<RunInput> &staged, RunResult &res) {
    if (staged.size() > c.inputs.size()) return ZELT_ERR_PARAM_INVALID;
    std::vector<ZELTInput> inputs(staged.size());
    for (size_t i = 0; i < staged.size(); ++i) {
        const RunInput &s = staged[i];
        ZELTInput &x = inputs[i];
        if (s.index >= c.inputs.size() || s.size > c.in_slots[s.index].capacity)
            return ZELT_ERR_INPUT_INVALID;
        x.index = s.index;
        x.size = s.size;
        x.pass_through = uint8_t(s.pass_through != 0);
        x.type = s.type;
        x.fmt = s.fmt;
        x.buf = c.memory.base + c.in_slots[s.index].offset;
    }
    int ret;
    if (!inputs.empty() && (ret = zelt_inputs_set(c.handle, uint32_t(inputs.size()), inputs.data())))
        return ret;
    ZELTRunExtend run{};
    if ((ret = zelt_run(c.handle, &run))) return ret;
    std::vector<ZELTOutput> outputs(c.outputs.size());
    for (size_t i = 0; i < outputs.size(); ++i) {
        outputs[i].want_float = 1;
        outputs[i].is_prealloc = 1;
        outputs[i].index = uint32_t(i);
        outputs[i].buf = c.memory.base + c.out_slots[i].offset;
        outputs[i].size = uint32_t(c.out_slots[i].capacity);
    }
    ZELTOutputExtend oext{};
    if (!outputs.empty() &&
        (ret = zelt_outputs_get(c.handle, uint32_t(outputs.size()), outputs.data(), &oext)))
        return ret;
    ZELTPerfRun perf{};
    zelt_query(c.handle, ZELT_QUERY_PERF_RUN, &perf, sizeof perf);
    res.frame_id = run.frame_id;
    res.run_us = perf.run_duration;
    res.sizes.clear();
    for (const ZELTOutput &o : outputs) res.sizes.push_back(o.size);
    return ZELT_SUCC;
}

void do_run(Reader &in, BoardContext &c, Reply &r) {
    uint32_t n = in.get<uint32_t>();
    if (!in.ok() || n > c.inputs.size()) {
        r.status = ZELT_ERR_PARAM_INVALID;
        return;
    }
    std::vector<RunInput> staged(n);
    for (RunInput &x : staged) {
        x.index = in.get<uint32_t>();
        x.size = in.get<uint32_t>();
        x.pass_through = in.get<uint8_t>();
        x.type = in.get<int32_t>();
        x.fmt = in.get<int32_t>();
        if (!in.ok()) break;
        if (x.index >= c.inputs.size() || x.size > c.in_slots[x.index].capacity) {
            r.status = ZELT_ERR_INPUT_INVALID;
            return;
        }
    }
    if (!in.at_end()) {
        r.status = ZELT_ERR_PARAM_INVALID;
        return;
    }
    RunResult res;
    if ((r.status = run_staged(c, staged, res))) return;
    r.body.put<uint64_t>(res.frame_id).put<int64_t>(res.run_us).put<uint32_t>(uint32_t(res.sizes.size()));
    for (uint32_t size : res.sizes) r.body.put<uint32_t>(size);
}

// Serves the run posted as `seq` on the doorbell.  The client may scribble on the block at
// any time: the request is copied out before it is checked, and only the results are written.
void serve_doorbell(BoardContext &c, uint32_t seq) {
    RunControl &rc = *c.control;
    uint32_t n = __atomic_load_n(&rc.n_inputs, __ATOMIC_RELAXED);
    RunResult res;
    int status = ZELT_ERR_PARAM_INVALID;
    if (n <= c.inputs.size()) {
        std::vector<RunInput> staged(rc.inputs, rc.inputs + n);
        try {
            status = run_staged(c, staged, res);
        } catch (const std::bad_alloc &) {
            status = ZELT_ERR_MALLOC_FAIL;
        }
    }
    rc.status = status;
    if (status == ZELT_SUCC) {
        rc.frame_id = res.frame_id;
        rc.run_us = res.run_us;
        rc.n_outputs = uint32_t(res.sizes.size());
        std::copy(res.sizes.begin(), res.sizes.end(), rc.output_sizes);
    }
    c.served = seq;
    store_word(&rc.reply, seq);
    wake_word(&rc.reply);
}

void do_doorbell(Reader &in, BoardContext &c, Reply &r) {
    uint64_t offset = in.get<uint64_t>();
    if (!in.at_end() || offset != c.control_offset) {
        r.status = ZELT_ERR_PARAM_INVALID;
        return;
    }
    c.served = load_word(&c.control->request);
    c.doorbell = true;
}

void do_query(Reader &in, BoardContext &c, Reply &r) {
    int32_t cmd = in.get<int32_t>();
    if (!in.at_end() || (cmd != ZELT_QUERY_PERF_DETAIL && cmd != ZELT_QUERY_MEM_SIZE)) {
        r.status = ZELT_ERR_PARAM_INVALID;
        return;
    }
    ZELTPerfDetail d{};
    if ((r.status = zelt_query(c.handle, cmd, &d, sizeof d))) return;
    std::string text = d.perf_data ? std::string(d.perf_data, size_t(d.data_len)) : std::string();
    // A text that does not fit one reply frame is cut at a line end.
    constexpr size_t kLimit = kMaxReplyPayload - 64;
    if (text.size() > kLimit) text = text.substr(0, text.rfind('\n', kLimit) + 1);
    r.body.put<uint32_t>(uint32_t(text.size())).raw(text.data(), text.size());
}

void do_core_mask(Reader &in, BoardContext &c, Reply &r) {
    uint32_t mask = in.get<uint32_t>();
    if (!in.at_end() || (mask >> c.board->cores) != 0) {
        r.status = ZELT_ERR_PARAM_INVALID;
        return;
    }
    r.status = zelt_set_core_mask(c.handle, mask);
}

bool send_reply(int sock, uint16_t op, Reply &r) {
    Writer out;
    out.put<int32_t>(r.status);
    if (r.status == ZELT_SUCC)
        out.raw(r.body.bytes.data(), r.body.bytes.size());
    else
        r.fds.clear();
    return send_frame(sock, uint16_t(op | kReplyBit), out.bytes, r.fds, Clock::now() + kFrameTimeout);
}

// One request; its reply goes into `r`.
void dispatch(uint16_t op, Reader &in, std::vector<UniqueFd> &fds, std::unique_ptr<BoardContext> &ctx,
              Reply &r) {
    if (op == kOpDevices) {
        if (in.at_end())
            do_devices(r);
        else
            r.status = ZELT_ERR_PARAM_INVALID;
    } else if (op == kOpInit) {
        do_init(in, fds, ctx, r);
        if (r.status) log("init refused: " + std::to_string(r.status));
    } else if (op == kOpRun || op == kOpQuery || op == kOpCoreMask || op == kOpDestroy || op == kOpDoorbell) {
        if (!ctx)
            r.status = ZELT_ERR_CTX_INVALID;
        else if (op == kOpRun)
            do_run(in, *ctx, r);
        else if (op == kOpQuery)
            do_query(in, *ctx, r);
        else if (op == kOpCoreMask)
            do_core_mask(in, *ctx, r);
        else if (op == kOpDoorbell)
            do_doorbell(in, *ctx, r);
        else if (in.at_end())
            ctx.reset();
        else
            r.status = ZELT_ERR_PARAM_INVALID;
    } else {
        r.status = ZELT_ERR_PARAM_INVALID;
    }
}

// Serves one connection until the client closes it, misbehaves, or the proxy stops.
void serve(UniqueFd sock, int stop_fd) {
    std::unique_ptr<BoardContext> ctx;
    FrameReader reader(sock.get());
    Frame f;
    for (;;) {
        // With the doorbell in use the thread sleeps on the bell, and looks at the socket (frames,
        // a vanished client) and the stop event whenever the bell rings or the wait times out.
        RunControl *rc = ctx && ctx->doorbell ? ctx->control : nullptr;
        uint32_t bell = rc ? load_word(&rc->bell) : 0;
        bool busy = false;  // a run was served: look again before sleeping
        if (rc) {
            uint32_t seq = load_word(&rc->request);
            if (seq != ctx->served) {
                serve_doorbell(*ctx, seq);
                busy = true;
            }
        }
        pollfd p[2] = {{sock.get(), POLLIN, 0}, {stop_fd, POLLIN, 0}};
        int n = poll(p, 2, reader.buffered() || rc ? 0 : -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) break;
        if (n == 0 && !reader.buffered()) {
            if (rc && !busy && !watch_word(&rc->bell, bell, kWatchSpin))
                wait_word(&rc->bell, bell, kBellTimeout);
            continue;
        }
        RecvStatus s = reader.next(f, Clock::now() + kFrameTimeout);
        if (s == RecvStatus::kBadFrame) {
            // Nothing after a bad header can be trusted: answer once, then hang up.
            Reply r;
            r.status = ZELT_ERR_PARAM_INVALID;
            send_reply(sock.get(), 0, r);
            log("malformed frame, connection closed");
            break;
        }
        if (s != RecvStatus::kOk) break;
        Reader in(f.payload.data(), f.payload.size());
        Reply r;
        uint16_t op = f.header.op;
        try {
            dispatch(op, in, f.fds, ctx, r);
        } catch (const std::bad_alloc &) {
            r = Reply();
            r.status = ZELT_ERR_MALLOC_FAIL;
        } catch (...) {
            r = Reply();
            r.status = ZELT_ERR_FAIL;
        }
        f.fds.clear();  // descriptors that came with a request are never kept
        if (!send_reply(sock.get(), op, r)) break;
    }
}

struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

// Threads that libraries start before main (OpenBLAS) may receive the signal, so it is
// caught by a handler, which wakes the accept loop, rather than blocked and read.
int g_signal_fd = -1;

extern "C" void on_stop_signal(int) {
    uint64_t one = 1;
    ssize_t r = write(g_signal_fd, &one, sizeof one);
    (void)r;
}

int serve_forever() {
    signal(SIGPIPE, SIG_IGN);
    UniqueFd sig(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    g_signal_fd = sig.get();
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &sa, nullptr);
    UniqueFd stop(eventfd(0, EFD_CLOEXEC));
    UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un addr;
    socklen_t len = socket_address(addr);
    if (!sig || !stop || !listener || bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        listen(listener.get(), 64) != 0) {
        std::fprintf(stderr, "npu_tetherd: cannot serve on @%s: %s\n", kSocketName, std::strerror(errno));
        return 1;
    }
    log("serving " + std::to_string(g_opt.boards.size()) + " board(s)");
    std::list<Worker> workers;
    auto reap = [&] {
        for (auto it = workers.begin(); it != workers.end();) {
            if (*it->done) {
                it->thread.join();
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
    };
    for (;;) {
        pollfd p[2] = {{listener.get(), POLLIN, 0}, {sig.get(), POLLIN, 0}};
        // Wakes at least once a second to join finished workers.
        int n = poll(p, 2, 1000);
        reap();
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        if (p[1].revents) break;
        if (!(p[0].revents & POLLIN)) continue;
        UniqueFd conn(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!conn) continue;
        if (workers.size() >= size_t(kMaxConnections)) {
            log("too many connections, one refused");
            continue;
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        int stop_fd = stop.get();
        try {
            std::thread t([c = std::move(conn), stop_fd, done]() mutable {
                try {
                    serve(std::move(c), stop_fd);
                } catch (...) {
                    log("connection dropped on an internal error");
                }
                *done = true;
            });
            workers.push_back({std::move(t), done});
        } catch (const std::system_error &) {
            log("cannot start a worker thread");
        }
    }
    log("stopping");
    listener.reset();
    uint64_t one = 1;
    if (write(stop.get(), &one, sizeof one) < 0) return 1;
    for (Worker &w : workers) w.thread.join();
    return 0;
}

// Lists the boards of the running proxy, or, with none running, the boards it would serve.
int list_devices() {
    std::vector<Board> boards = g_opt.boards;
    UniqueFd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr;
    socklen_t len = socket_address(addr);
    const timeval slice{1, 0};  // blocking calls that still see the deadline
    setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
    setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
    if (sock && connect(sock.get(), reinterpret_cast<sockaddr *>(&addr), len) == 0) {
        auto deadline = Clock::now() + std::chrono::seconds(5);
        Frame f;
        if (!send_frame(sock.get(), kOpDevices, {}, {}, deadline) ||
            recv_reply(sock.get(), f, deadline) != RecvStatus::kOk ||
            f.header.op != (kOpDevices | kReplyBit)) {
            std::fprintf(stderr, "npu_tetherd: the running proxy does not answer\n");
            return 1;
        }
        Reader in(f.payload.data(), f.payload.size());
        int32_t status = in.get<int32_t>();
        uint32_t n = in.get<uint32_t>();
        boards.clear();
        for (uint32_t i = 0; i < n && in.ok(); ++i) {
            Board b;
            b.id = in.str(256);
            b.soc = in.str(256);
            b.cores = in.get<uint32_t>();
            b.family = Family(in.get<uint32_t>());
            boards.push_back(b);
        }
        if (status != ZELT_SUCC || !in.at_end()) {
            std::fprintf(stderr, "npu_tetherd: bad answer from the running proxy\n");
            return 1;
        }
    }
    for (const Board &b : boards) std::printf("%s device USB_DEVICE\n", b.id.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (!parse_options(argc, argv, g_opt)) return 2;
    return g_opt.devices ? list_devices() : serve_forever();
}
