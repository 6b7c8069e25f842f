// zeltlite.api.zelt_model: the model container file and its in-memory form.
//
// Layout: "<Q" magic, "<Q" version, then length-prefixed sections ("<Q"):
// export, configuration.  From version 2 on the export section starts at
// offset 64 (40 reserved zero bytes follow the header) and two
// custom-operator sections follow the configuration, their lengths packed
// as "L" (the C unsigned long).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <zeltrt/zelt_container.h>

#include "common/zl.hpp"

namespace {

zl::Namespace ns;

constexpr uint64_t kMagic = ZELT_CONTAINER_MAGIC;
constexpr uint64_t kHeaderSize = ZELT_CONTAINER_HEADER_SIZE;
constexpr uint64_t kHeaderSizeV2 = ZELT_CONTAINER_HEADER_SIZE_V2;
constexpr uint64_t kLongSize = sizeof(unsigned long);

const zl::Name kStruct{"struct"}, kUnpackFrom{"unpack_from"}, kPack{"pack"}, kOs{"os"}, kPath{"path"},
    kDirname{"dirname"}, kExists{"exists"}, kMakedirs{"makedirs"}, kRead{"read"}, kWrite{"write"},
    kClose{"close"}, kEncode{"encode"}, kZeltLog{"zeltLog"}, kModelClass{"ZELTModel"}, kMagicName{"ZELT_MAGIC"},
    kCreate{"create_zelt_model"}, kParse{"parse_data"}, kZeltVersion{"zelt_version"},
    kExportData{"export_data"}, kConfigData{"config_data"}, kCustomOpConfigData{"custom_op_config_data"},
    kCustomOpData{"custom_op_data"}, kZeltData{"zelt_data"}, kLoadModelInNpu{"load_model_in_npu"};

// A read-only view of a bytes-like object, released on scope exit.
class Buffer {
public:
    // False, with no Python error pending, when `o` exposes no buffer.
    bool acquire(nb::handle o) {
        if (PyObject_GetBuffer(o.ptr(), &view_, PyBUF_SIMPLE) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    const uint8_t *data() const { return static_cast<const uint8_t *>(view_.buf); }
    uint64_t size() const { return (uint64_t)view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

uint64_t add_saturating(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

// The container's bytes and the reads the parser makes of them.
class Reader {
public:
    Reader(nb::handle data, const Buffer &buf) : data_(data), buf_(buf) {}

    // A length field at `offset`, read like struct.unpack_from(fmt, data, offset);
    // where that would fail, struct itself is called so that its error propagates.
    uint64_t field(uint64_t offset, bool native_long = false) const {
        const uint64_t width = native_long ? kLongSize : 8;
        if (offset <= buf_.size() && buf_.size() - offset >= width) {
            const uint8_t *p = buf_.data() + offset;
            if (native_long) {
                unsigned long v;
                std::memcpy(&v, p, sizeof v);
                return v;
            }
            uint64_t v = 0;
            for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
            return v;
        }
        // An offset beyond what an index can hold is clamped, so that struct
        // reports the missing bytes rather than an overflow of the offset.
        const uint64_t at = std::min<uint64_t>(offset, PY_SSIZE_T_MAX);
        zl::getattr(ns[kStruct], kUnpackFrom)(native_long ? "L" : "<Q", data_, at);
        zl::raise(PyExc_SystemError, "container field read past the end of the data");
    }

    // data[start:start + length], with the clamping of a Python slice.
    nb::object section(uint64_t start, uint64_t length) const {
        const uint64_t lo = std::min(start, buf_.size());
        const uint64_t hi = std::min(add_saturating(start, length), buf_.size());
        nb::object slice = zl::steal(PySlice_New(zl::to_int((long long)lo).ptr(),
                                                 zl::to_int((long long)std::max(lo, hi)).ptr(), nullptr));
        return zl::steal(PyObject_GetItem(data_.ptr(), slice.ptr()));
    }

    uint64_t size() const { return buf_.size(); }

    // Whether a field of `width` bytes at `offset` lies wholly inside the data.
    bool holds(uint64_t offset, uint64_t width) const {
        return offset <= buf_.size() && buf_.size() - offset >= width;
    }

private:
    nb::handle data_;
    const Buffer &buf_;
};

nb::object parse_data(nb::handle data) {
    if (zl::is_none(data)) return nb::none();
    Buffer buf;
    if (!buf.acquire(data)) {
        // Not bytes-like: struct reports it in its own words.
        zl::getattr(ns[kStruct], kUnpackFrom)("<Q", data, 0);
        zl::raise(PyExc_TypeError, "a bytes-like object is required");
    }
    Reader in(data, buf);
    nb::object magic = zl::steal(PyLong_FromUnsignedLongLong(in.field(0)));
    if (!zl::equal(magic, zl::getattr(ns[kModelClass], kMagicName))) return nb::none();
    const uint64_t version = in.field(8);
    const uint64_t export_len = in.field(16);
    const uint64_t export_start = version >= 2 ? kHeaderSizeV2 : kHeaderSize;
    nb::object export_data = in.section(export_start, export_len);

    const uint64_t config_at = add_saturating(export_start, export_len);
    const uint64_t config_len = in.field(config_at);
    nb::object config_data = in.section(config_at + 8, config_len);

    // Custom-operator sections: both, when their lengths and contents fit
    // inside the data; none where the data ends anywhere in that area, a
    // length field included.
    nb::object custom_op_config = nb::none(), custom_op = nb::none();
    const uint64_t custom_at = add_saturating(config_at + 8, config_len);
    if (version >= 2 && in.holds(custom_at, kLongSize)) {
        const uint64_t c_len = in.field(custom_at, true);
        const uint64_t d_at = add_saturating(custom_at + kLongSize, c_len);
        if (in.holds(d_at, kLongSize)) {
            const uint64_t d_len = in.field(d_at, true);
            if (add_saturating(d_at + kLongSize, d_len) <= in.size()) {
                custom_op_config = in.section(custom_at + kLongSize, c_len);
                custom_op = in.section(d_at + kLongSize, d_len);
            }
        }
    }
    return nb::make_tuple(zl::steal(PyLong_FromUnsignedLongLong(version)), export_data, config_data,
                          custom_op_config, custom_op);
}

// Byte length of one section, in the order and with the errors of
// `len(section)` followed by `bytes + section`.
struct Section {
    Buffer buf;
    void take(nb::handle o) {
        if (PyObject_Size(o.ptr()) < 0) zl::throw_error();
        if (!buf.acquire(o)) {
            zl::steal(PyNumber_Add(nb::bytes("", 0).ptr(), o.ptr()));
            zl::raise(PyExc_TypeError, "a bytes-like object is required");
        }
    }
};

void put_u64(std::vector<uint8_t> &out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

void put_long(std::vector<uint8_t> &out, unsigned long v) {
    uint8_t raw[sizeof v];
    std::memcpy(raw, &v, sizeof v);
    out.insert(out.end(), raw, raw + sizeof v);
}

nb::object create_zelt_model(nb::handle version, nb::handle export_data, nb::handle config_data,
                             nb::handle custom_op_config_data, nb::handle custom_op_data) {
    if (zl::is_none(export_data) || zl::is_none(config_data)) return nb::none();
    // struct validates the magic and the version exactly as the file format packs them.
    nb::object struct_module = ns[kStruct];
    nb::object packed_magic = zl::getattr(struct_module, kPack)("<Q", zl::getattr(ns[kModelClass], kMagicName));
    nb::object packed_version = zl::getattr(struct_module, kPack)("<Q", version);
    const bool v2 = !zl::truthy(zl::steal(PyObject_RichCompare(version.ptr(), zl::to_int(2).ptr(), Py_LT)));

    Section sections[4];
    nb::handle values[4] = {export_data, config_data, custom_op_config_data, custom_op_data};
    const int count = v2 ? 4 : 2;
    for (int i = 0; i < count; ++i) sections[i].take(values[i]);

    std::vector<uint8_t> head;
    for (nb::handle packed : {packed_magic, packed_version}) {
        Buffer field;
        field.acquire(packed);
        head.insert(head.end(), field.data(), field.data() + field.size());
    }
    put_u64(head, sections[0].buf.size());
    if (v2) head.resize(kHeaderSizeV2, 0);

    uint64_t total = head.size() + sections[0].buf.size() + 8 + sections[1].buf.size();
    if (v2) total += 2 * kLongSize + sections[2].buf.size() + sections[3].buf.size();
    nb::object result = zl::steal(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)total));
    uint8_t *out = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(result.ptr()));
    auto append = [&](const void *p, size_t n) {
        if (n) std::memcpy(out, p, n);
        out += n;
    };
    append(head.data(), head.size());
    append(sections[0].buf.data(), sections[0].buf.size());
    std::vector<uint8_t> len;
    put_u64(len, sections[1].buf.size());
    for (int i = 2; i < count; ++i) put_long(len, (unsigned long)sections[i].buf.size());
    append(len.data(), 8);
    append(sections[1].buf.data(), sections[1].buf.size());
    for (int i = 2; i < count; ++i) {
        append(len.data() + 8 + (i - 2) * kLongSize, kLongSize);
        append(sections[i].buf.data(), sections[i].buf.size());
    }
    return result;
}

// --------------------------------------------------------------- ZELTModel

void rebuild(nb::handle self) {
    nb::object cls = ns[kModelClass];
    self.attr(kZeltData) = zl::getattr(cls, kCreate)(
        zl::getattr(self, kZeltVersion), zl::getattr(self, kExportData), zl::getattr(self, kConfigData),
        zl::getattr(self, kCustomOpConfigData), zl::getattr(self, kCustomOpData));
}

void init(nb::handle self) {
    self.attr(kZeltVersion) = 1;
    self.attr(kExportData) = nb::none();
    self.attr(kConfigData) = nb::none();
    self.attr(kCustomOpConfigData) = nb::none();
    self.attr(kCustomOpData) = nb::none();
    self.attr(kZeltData) = nb::none();
    self.attr(kLoadModelInNpu) = false;
}

nb::object load(nb::handle self, nb::handle path, nb::handle load_model_in_npu) {
    if (load_model_in_npu.ptr() && zl::truthy(load_model_in_npu)) {
        self.attr(kLoadModelInNpu) = load_model_in_npu;
        self.attr(kZeltData) = zl::getattr(path, kEncode)("utf-8");
        return zl::to_int(0);
    }
    nb::object data = zl::with_open(ns, path, "rb", [](nb::handle f) { return zl::getattr(f, kRead)(); });
    nb::object parsed = zl::getattr(ns[kModelClass], kParse)(data);
    if (zl::is_none(parsed) || zl::is_none(parsed[1]) || zl::is_none(parsed[2])) return zl::to_int(-1);
    self.attr(kZeltVersion) = parsed[0];
    self.attr(kZeltData) = data;
    self.attr(kExportData) = parsed[1];
    self.attr(kConfigData) = parsed[2];
    self.attr(kCustomOpConfigData) = parsed[3];
    self.attr(kCustomOpData) = parsed[4];
    return zl::to_int(0);
}

nb::object save(nb::handle self, nb::handle path) {
    nb::object zelt_data = zl::getattr(self, kZeltData);
    if (zl::is_none(zelt_data)) {
        ns[kZeltLog].attr("e")("ZELT model data is None, please load model first!", false);
        return zl::to_int(-1);
    }
    nb::object os_path = zl::getattr(ns[kOs], kPath);
    nb::object dir = zl::getattr(os_path, kDirname)(path);
    if (!zl::truthy(zl::getattr(os_path, kExists)(dir)) && !zl::equal(dir, nb::str("")))
        zl::getattr(ns[kOs], kMakedirs)(dir);
    zl::with_open(ns, path, "wb", [&](nb::handle f) { return zl::getattr(f, kWrite)(zelt_data); });
    return zl::to_int(0);
}

void release(nb::handle self) {
    self.attr(kZeltVersion) = 1;
    for (const zl::Name *name :
         {&kZeltData, &kExportData, &kConfigData, &kCustomOpConfigData, &kCustomOpData})
        if (!zl::is_none(zl::getattr(self, *name))) self.attr(*name) = nb::none();
}

nb::object model_class() {
    nb::dict body;
    body["ZELT_MAGIC"] = zl::to_int((long long)kMagic);
    zl::add_method<1>(body, {"__init__", {"self"}, 1}, [](auto a) {
        init(a[0]);
        return nb::none();
    });
    zl::add_method<5>(
        body,
        {"set_data", {"self", "export_data", "config_data", "custom_op_config_data", "custom_op_data"}, 5},
        [](auto a) {
            a[0].attr(kExportData) = a[1];
            a[0].attr(kConfigData) = a[2];
            if (!zl::is_none(a[3]) && !zl::is_none(a[4])) {
                a[0].attr(kCustomOpConfigData) = a[3];
                a[0].attr(kCustomOpData) = a[4];
                a[0].attr(kZeltVersion) = 2;
            }
            rebuild(a[0]);
            return nb::none();
        });
    zl::add_method<2>(body, {"update_export_data", {"self", "export_data"}, 2}, [](auto a) {
        a[0].attr(kExportData) = a[1];
        rebuild(a[0]);
        return nb::none();
    });
    zl::add_method<2>(body, {"update_config_data", {"self", "config_data"}, 2}, [](auto a) {
        a[0].attr(kConfigData) = a[1];
        rebuild(a[0]);
        return nb::none();
    });
    zl::add_method<3>(body, {"load", {"self", "path", "load_model_in_npu"}, 2, {"False"}},
                      [](auto a) { return load(a[0], a[1], a[2]); });
    zl::add_method<2>(body, {"save", {"self", "path"}, 2}, [](auto a) { return save(a[0], a[1]); });
    zl::add_static<5>(body,
                      {"create_zelt_model",
                       {"version", "export_data", "config_data", "custom_op_config_data", "custom_op_data"},
                       5},
                      [](auto a) { return create_zelt_model(a[0], a[1], a[2], a[3], a[4]); });
    zl::add_static<1>(body, {"parse_data", {"zelt_data"}, 1}, [](auto a) { return parse_data(a[0]); });
    zl::add_method<1>(body, {"release", {"self"}, 1}, [](auto a) {
        release(a[0]);
        return nb::none();
    });
    return zl::make_class(ns, "ZELTModel", body);
}

}  // namespace

NB_MODULE(zelt_model, m) {
    ns.init(m);
    ns.set("struct", zl::import("struct"));
    ns.set("os", zl::import("os"));
    ns.set("zeltLog", zl::import("zeltlite.api.zelt_log").attr("ZELTLog"));
    ns.set("ZELTModel", model_class());
}
