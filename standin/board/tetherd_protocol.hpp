// Wire protocol between the host-side runtime libraries (libzelt_api.so) and
// the transfer proxy npu_tetherd, over the abstract Unix socket "tetherd".
//
// A frame is a 12-byte header (magic, protocol version, operation, payload
// length; little-endian) followed by the payload.  Every request gets exactly
// one reply frame with the operation's reply bit set; its payload starts with
// an int32 status (0 or a ZELT_ERR_* code).  File descriptors (the model file
// and the tensor memory) travel beside a frame as SCM_RIGHTS ancillary data.
// One connection carries at most one runtime context; closing it frees the
// context.  A Run can also go by the context's doorbell: a control block in
// the tensor memory, rung and answered through futexes, which saves the
// socket's round trip.  docs/tetherd-protocol.md describes each operation.
#pragma once

#include <linux/futex.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace tetherd {

constexpr char kSocketName[] = "tetherd";  // abstract: the name follows a leading NUL byte
constexpr uint32_t kMagic = 0x4454455AU;   // "ZETD" little-endian
constexpr uint16_t kProtocolVersion = 2;
constexpr uint16_t kReplyBit = 0x8000;
constexpr uint32_t kMaxPayload = 64 * 1024;         // control frames only; tensors and models go by memfd
constexpr uint32_t kMaxReplyPayload = 1024 * 1024;  // tensor tables, perf texts
constexpr uint32_t kMaxString = 4096;               // device ids, model paths, texts inside a frame
constexpr uint32_t kMaxFds = 2;                     // received per frame; more are closed
constexpr uint32_t kMaxTensors = 512;               // inputs plus outputs of one model

enum Op : uint16_t {
    kOpDevices = 1,   // -> board list
    kOpInit = 2,      // model (memfd or board-side path) -> context, tensor table, tensor memfd
    kOpRun = 3,       // staged input descriptors -> run status, output sizes (outputs left in the memfd)
    kOpQuery = 4,     // perf or memory-profile text
    kOpCoreMask = 5,  // core mask
    kOpDestroy = 6,   // frees the context
    kOpDoorbell = 7,  // control block offset -> none; from now on the client rings the bell
};

// Which host library is calling: the board refuses the other family.
enum Family : uint32_t {
    kFamilyTalun = 0,
    kFamilyKestaVorin = 1,
};

// How an Init without a device id picks a board.
enum Select : uint32_t {
    kSelectOnly = 0,      // the only board served; several boards is an error
    kSelectByFamily = 1,  // else the only board of the caller's family
};

#pragma pack(push, 1)
struct FrameHeader {
    uint32_t magic;
    uint16_t version;
    uint16_t op;
    uint32_t length;  // payload bytes
};
#pragma pack(pop)
static_assert(sizeof(FrameHeader) == 12, "frame header is 12 bytes on the wire");

// Per-tensor entry of the Init reply: the attribute as the board reports it,
// and where the tensor lives in the shared tensor memory.
struct TensorSlot {
    uint64_t offset;
    uint64_t capacity;
};

// One staged input of a Run posted by the doorbell.
struct RunInput {
    uint32_t index;
    uint32_t size;
    uint32_t pass_through;
    int32_t type;
    int32_t fmt;
};

// The doorbell: a control block at the end of a context's tensor memory.  The client
// writes the inputs and `request` (the run's sequence number), then bumps `bell` and wakes
// it; it also rings after every frame it sends, so the board's thread, waiting on `bell`,
// reads the socket too.  The board copies the request out, runs, writes the results and
// then `reply` = the served sequence number, and wakes `reply`.  Either side treats
// everything read here as untrusted.
struct RunControl {
    uint32_t bell;
    uint32_t request;
    uint32_t reply;
    int32_t status;
    uint32_t n_inputs;
    uint32_t n_outputs;
    uint64_t frame_id;
    int64_t run_us;
    RunInput inputs[kMaxTensors];
    uint32_t output_sizes[kMaxTensors];
};
static_assert(offsetof(RunControl, inputs) == 40 && offsetof(RunControl, output_sizes) == 10280 &&
                  sizeof(RunControl) == 12328,
              "control block layout as documented");

inline uint32_t load_word(const uint32_t *w) { return __atomic_load_n(w, __ATOMIC_ACQUIRE); }
inline void store_word(uint32_t *w, uint32_t v) { __atomic_store_n(w, v, __ATOMIC_RELEASE); }

// Shared (not process-private) futexes: the words live in a MAP_SHARED memfd mapping.
inline void ring(uint32_t *w) {
    __atomic_fetch_add(w, 1, __ATOMIC_RELEASE);
    syscall(SYS_futex, w, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}
inline void wake_word(uint32_t *w) { syscall(SYS_futex, w, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

// Watches `*w` for a change from `seen` for at most `spin`, yielding the core between looks; true if it
// changed.  The other side of a run answers within microseconds in an inference loop, while waking a thread
// that sleeps on a futex costs tens of microseconds on an idle virtual machine; on a busy one the yields
// hand the core to whoever needs it.
inline bool watch_word(const uint32_t *w, uint32_t seen, std::chrono::microseconds spin) {
    const auto end = std::chrono::steady_clock::now() + spin;
    do {
        if (load_word(w) != seen) return true;
        sched_yield();
    } while (std::chrono::steady_clock::now() < end);
    return load_word(w) != seen;
}
constexpr auto kWatchSpin = std::chrono::microseconds(50);

// Sleeps while `*w` equals `seen`, at most `timeout`; spurious returns are the caller's to check.
inline void wait_word(uint32_t *w, uint32_t seen, std::chrono::microseconds timeout) {
    timespec ts{time_t(timeout.count() / 1000000), long(timeout.count() % 1000000) * 1000};
    syscall(SYS_futex, w, FUTEX_WAIT, seen, &ts, nullptr, 0);
}

// Little-endian payload builder.
class Writer {
public:
    template <typename T>
    Writer &put(T v) {
        static_assert(std::is_trivially_copyable<T>::value, "plain values only");
        const auto *p = reinterpret_cast<const uint8_t *>(&v);
        bytes.insert(bytes.end(), p, p + sizeof v);
        return *this;
    }
    Writer &raw(const void *p, size_t n) {
        const auto *b = static_cast<const uint8_t *>(p);
        bytes.insert(bytes.end(), b, b + n);
        return *this;
    }
    Writer &str(const std::string &s) {
        put<uint32_t>(uint32_t(s.size()));
        return raw(s.data(), s.size());
    }
    std::vector<uint8_t> bytes;
};

// Bounds-checked payload reader: after any short read `ok()` is false and every value is zero.
class Reader {
public:
    Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    template <typename T>
    T get() {
        T v{};
        if (!take(&v, sizeof v)) std::memset(&v, 0, sizeof v);
        return v;
    }
    bool take(void *out, size_t n) {
        if (!ok_ || n > n_ - pos_) {
            ok_ = false;
            return false;
        }
        std::memcpy(out, p_ + pos_, n);
        pos_ += n;
        return true;
    }
    std::string str(uint32_t limit = kMaxString) {
        uint32_t n = get<uint32_t>();
        if (!ok_ || n > limit || n > n_ - pos_) {
            ok_ = false;
            return {};
        }
        std::string s(reinterpret_cast<const char *>(p_ + pos_), n);
        pos_ += n;
        return s;
    }
    bool ok() const { return ok_; }
    bool at_end() const { return ok_ && pos_ == n_; }

private:
    const uint8_t *p_;
    size_t n_, pos_ = 0;
    bool ok_ = true;
};

// Owns one file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept {
        reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

inline socklen_t socket_address(sockaddr_un &addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, kSocketName, sizeof kSocketName - 1);
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + sizeof kSocketName - 1);
}

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` or the deadline passes; false on time-out or error.
inline bool wait_fd(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, int(std::min<long long>(left, 1000)));
        if (r > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
        if (r < 0 && errno != EINTR) return false;
    }
}

// Sends header + payload, with `fds` attached to the first byte; false on error or time-out.
inline bool send_frame(int sock, uint16_t op, const std::vector<uint8_t> &payload,
                       const std::vector<int> &fds, Clock::time_point deadline) {
    FrameHeader h{kMagic, kProtocolVersion, op, uint32_t(payload.size())};
    std::vector<uint8_t> buf(sizeof h + payload.size());
    std::memcpy(buf.data(), &h, sizeof h);
    if (!payload.empty()) std::memcpy(buf.data() + sizeof h, payload.data(), payload.size());
    size_t sent = 0;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    while (sent < buf.size()) {
        iovec iov{buf.data() + sent, buf.size() - sent};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        if (sent == 0 && !fds.empty()) {
            if (fds.size() > kMaxFds) return false;
            std::memset(control, 0, sizeof control);
            msg.msg_control = control;
            msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
            cmsghdr *c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
            std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
        }
        // Blocking sockets wait inside the call (bounded by SO_SNDTIMEO); non-blocking ones poll.
        ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (Clock::now() >= deadline || !wait_fd(sock, POLLOUT, deadline)) return false;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

struct Frame {
    FrameHeader header{};
    std::vector<uint8_t> payload;
    std::vector<UniqueFd> fds;
};

enum class RecvStatus { kOk, kClosed, kTimeout, kBadFrame, kError };

// Receives at least `min` and at most `max` bytes (their count in `got`), collecting any
// descriptors that come along.
inline RecvStatus recv_some(int sock, uint8_t *out, size_t min, size_t max, size_t &got,
                            std::vector<UniqueFd> &fds, Clock::time_point deadline) {
    got = 0;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
    while (got < min) {
        iovec iov{out + got, max - got};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t r = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
        if (r > 0 || (r == 0 && msg.msg_controllen > 0)) {
            for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
                size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t i = 0; i < count; ++i) {
                    int fd;
                    std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                    fds.emplace_back(fd);  // owned now, closed unless consumed
                }
            }
            if (msg.msg_flags & MSG_CTRUNC) return RecvStatus::kBadFrame;
            if (r == 0) return RecvStatus::kClosed;
            got += size_t(r);
        } else if (r == 0) {
            return RecvStatus::kClosed;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (Clock::now() >= deadline || !wait_fd(sock, POLLIN, deadline)) return RecvStatus::kTimeout;
        } else if (errno == EINTR) {
            continue;
        } else {
            return errno == ECONNRESET ? RecvStatus::kClosed : RecvStatus::kError;
        }
    }
    return RecvStatus::kOk;
}

inline RecvStatus recv_exact(int sock, uint8_t *out, size_t n, std::vector<UniqueFd> &fds,
                             Clock::time_point deadline) {
    size_t got;
    return recv_some(sock, out, n, n, got, fds, deadline);
}

inline bool header_ok(const FrameHeader &h, uint32_t max_payload) {
    return h.magic == kMagic && h.version == kProtocolVersion && h.length <= max_payload;
}

// Reads the requests of one connection.  One read takes whatever has arrived, so a frame
// usually costs a single call, and a frame that follows in the same read waits in the buffer.
class FrameReader {
public:
    explicit FrameReader(int sock) : sock_(sock), buf_(kChunk) {}
    bool buffered() const { return end_ > start_; }

    RecvStatus next(Frame &f, Clock::time_point deadline) {
        if (RecvStatus s = fill(sizeof f.header, deadline); s != RecvStatus::kOk) return s;
        std::memcpy(&f.header, buf_.data() + start_, sizeof f.header);
        if (!header_ok(f.header, kMaxPayload)) return RecvStatus::kBadFrame;
        const size_t whole = sizeof f.header + f.header.length;
        if (RecvStatus s = fill(whole, deadline); s != RecvStatus::kOk) return s;
        f.payload.assign(buf_.data() + start_ + sizeof f.header, buf_.data() + start_ + whole);
        start_ += whole;
        // Descriptors ride with the bytes they were sent with; all that came in belong to this frame.
        f.fds = std::move(fds_);
        fds_.clear();
        return f.fds.size() > kMaxFds ? RecvStatus::kBadFrame : RecvStatus::kOk;
    }

private:
    static constexpr size_t kChunk = 4096;

    RecvStatus fill(size_t n, Clock::time_point deadline) {
        while (end_ - start_ < n) {
            if (start_ > 0) {
                std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
                end_ -= start_;
                start_ = 0;
            }
            if (buf_.size() < std::max(n, kChunk)) buf_.resize(std::max(n, kChunk));
            size_t got;
            RecvStatus s = recv_some(sock_, buf_.data() + end_, 1, buf_.size() - end_, got, fds_, deadline);
            if (s != RecvStatus::kOk) return s;
            if (fds_.size() > kMaxFds) return RecvStatus::kBadFrame;
            end_ += got;
        }
        return RecvStatus::kOk;
    }

    int sock_;
    std::vector<uint8_t> buf_;
    size_t start_ = 0, end_ = 0;
    std::vector<UniqueFd> fds_;
};

// Receives a reply.  Nothing follows a reply on its connection, so the header and a short payload
// come in one call.
inline RecvStatus recv_reply(int sock, Frame &f, Clock::time_point deadline) {
    f.fds.clear();
    uint8_t first[sizeof(FrameHeader) + 4096];
    size_t got;
    RecvStatus s = recv_some(sock, first, sizeof f.header, sizeof first, got, f.fds, deadline);
    if (s != RecvStatus::kOk) return s;
    std::memcpy(&f.header, first, sizeof f.header);
    const size_t extra = got - sizeof f.header;
    if (!header_ok(f.header, kMaxReplyPayload) || extra > f.header.length || f.fds.size() > kMaxFds)
        return RecvStatus::kBadFrame;
    f.payload.assign(first + sizeof f.header, first + got);
    f.payload.resize(f.header.length);
    if (f.header.length > extra)
        s = recv_exact(sock, f.payload.data() + extra, f.header.length - extra, f.fds, deadline);
    if (s == RecvStatus::kOk && f.fds.size() > kMaxFds) return RecvStatus::kBadFrame;
    return s;
}

}  // namespace tetherd
