// zeltlite.api.zelt_runtime: the runtime session ZELTRuntime and the
// constants, tables and ctypes structures of the runtime library's interface.
//
// Every method behaves like the Python it stands for and reaches the library
// through `self.lib` with ctypes objects.  When `self.lib` is the very CDLL a
// session loaded and its function attributes are as bound, the data path
// calls the library's functions directly instead (same results, errors and
// messages), with the GIL released around each call.
#include "zelt_runtime_library.hpp"

// Built against NumPy 2 headers for every NumPy from 1.23 on.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace zrt {

zl::Namespace ns;

namespace {

// ------------------------------------------------------------------ names

const zl::Name kLib{"lib"}, kContext{"context"}, kNpuModel{"npu_model"}, kTalun{"TALUN"};
const zl::Name kZeltQuery{"zelt_query"}, kZeltInputsSet{"zelt_inputs_set"}, kZeltRun{"zelt_run"},
    kZeltOutputsGet{"zelt_outputs_get"}, kZeltOutputsRelease{"zelt_outputs_release"};
const zl::Name kZeltInit{"zelt_init"}, kZeltDestroy{"zelt_destroy"}, kZeltSetCoreMask{"zelt_set_core_mask"};
const zl::Name kArgtypes{"argtypes"};
const zl::Name kGetInOutNum{"get_in_out_num"}, kGetOutputShape{"get_output_shape"},
    kGetTensorAttr{"get_tensor_attr"};
const zl::Name kSize{"size"}, kDtype{"dtype"}, kNdarray{"ndarray"}, kTobytes{"tobytes"}, kEmpty{"empty"},
    kFloat32{"float32"}, kNp{"np"};
const zl::Name kQueryInOutNum{"ZELT_QUERY_IN_OUT_NUM"}, kQueryInputAttr{"ZELT_QUERY_INPUT_ATTR"},
    kQueryOutputAttr{"ZELT_QUERY_OUTPUT_ATTR"}, kQueryPerfDetail{"ZELT_QUERY_PERF_DETAIL"},
    kQueryPerfRun{"ZELT_QUERY_PERF_RUN"}, kQuerySdkVersion{"ZELT_QUERY_SDK_VERSION"};
const zl::Name kInputDataType{"zelt_input_data_type"}, kInputDataFormat{"zelt_input_data_format"},
    kRetCode{"zelt_runtime_api_ret_code"}, kNhwc{"nhwc"};

nb::object none() { return nb::none(); }
bool equals(nb::handle a, const char *b) {
    if (PyUnicode_CheckExact(a.ptr())) return PyUnicode_CompareWithASCIIString(a.ptr(), b) == 0;
    return zl::equal(a, nb::str(b));
}
nb::object attr(nb::handle o, const zl::Name &n) { return zl::getattr(o, n); }
void set_attr(nb::handle o, const char *name, nb::handle value) {
    if (PyObject_SetAttrString(o.ptr(), name, value.ptr()) < 0) zl::throw_error();
}
bool less_than_zero(nb::handle v) {
    int r = PyObject_RichCompareBool(v.ptr(), zl::to_int(0).ptr(), Py_LT);
    if (r < 0) zl::throw_error();
    return r != 0;
}
// What a session's npu_model decides: the "Rt" structures and bindings
// ("TALUN" in it) and reversed dimensions (exactly "KESTA" or "VORIN").
// Remembered for the last name seen: a str answers the same while it lives.
struct Family {
    bool talun, reverse;
};

Family family(nb::handle npu_model) {
    static PyObject *last = nullptr;  // a strong reference
    static Family known{};
    if (npu_model.ptr() == last) return known;
    Family f{zl::contains(npu_model, kTalun.get()), equals(npu_model, "KESTA") || equals(npu_model, "VORIN")};
    if (PyUnicode_CheckExact(npu_model.ptr())) {
        Py_XSETREF(last, nb::borrow(npu_model).release().ptr());
        known = f;
    }
    return f;
}

bool is_talun(nb::handle self) { return family(attr(self, kNpuModel)).talun; }

// mapping[key]; an exact dict is read directly.
nb::object lookup(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        if (PyObject *v = PyDict_GetItemWithError(mapping.ptr(), key.ptr())) return nb::borrow(v);
        if (PyErr_Occurred()) zl::throw_error();
    }
    return zl::steal(PyObject_GetItem(mapping.ptr(), key.ptr()));  // the mapping's own error
}

// key in mapping
bool has_key(nb::handle mapping, nb::handle key) {
    if (!PyDict_CheckExact(mapping.ptr())) return zl::contains(mapping, key);
    int r = PyDict_Contains(mapping.ptr(), key.ptr());
    if (r < 0) zl::throw_error();
    return r != 0;
}

// Plain integers, converted the way ctypes stores them (masked to the field).
bool exact_int(nb::handle v) { return PyLong_CheckExact(v.ptr()) || PyBool_Check(v.ptr()); }
uint64_t masked(nb::handle v) {
    uint64_t r = PyLong_AsUnsignedLongLongMask(v.ptr());
    if (PyErr_Occurred()) zl::throw_error();
    return r;
}

// A negative status by its name when `zelt_runtime_api_ret_code` lists it.
nb::object code_name(nb::handle ret) {
    nb::object table = ns[kRetCode];
    nb::object key = zl::to_str(ret);
    if (zl::contains(table, key)) return table[key];
    return nb::borrow(ret);
}

// Raises Exception(message.format(name or number)) for a negative status.
void check_status(nb::handle ret, const char *message) {
    if (less_than_zero(ret)) zl::raise_exception(zl::format(message, code_name(ret)));
}
void check_status(int ret, const char *message) {
    if (ret < 0) check_status(zl::to_int(ret), message);
}

// Room for `n` items: on the stack for the usual few, else on the heap.
template <typename T, std::size_t N>
class Scratch {
public:
    T *get(std::size_t n) {
        if (n <= N) return local_;
        heap_.resize(n);
        return heap_.data();
    }

private:
    T local_[N];
    std::vector<T> heap_;
};

// A view of an object's memory through the buffer protocol.
class Buffer {
public:
    explicit Buffer(nb::handle obj, int flags = PyBUF_WRITABLE) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) < 0) zl::throw_error();
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    void *data() const { return view_.buf; }
    std::size_t size() const { return (std::size_t)view_.len; }

private:
    Py_buffer view_{};
};

// Copies a filled ctypes structure into its C counterpart (the layouts are
// the same: the C ABI header and the ctypes declarations are held equal).
template <typename T>
void read_struct(nb::handle s, T &out) {
    Buffer b(s, PyBUF_SIMPLE);
    if (b.size() != sizeof(T))
        zl::raise(PyExc_TypeError,
                  zl::format("{} has an unexpected size", nb::handle((PyObject *)Py_TYPE(s.ptr()))));
    std::memcpy(&out, b.data(), sizeof(T));
}

// ------------------------------------------------------------ ctypes helpers

nb::object cast_void_p(nb::handle obj) { return ns["cast"](ns["pointer"](obj), ns["c_void_p"]); }
nb::object ctypes_sizeof(nb::handle obj) { return ns["sizeof"](obj); }

// ------------------------------------------------------------ own methods

// The native functions of the query methods.
PyObject *own_get_in_out_num, *own_get_output_shape, *own_get_tensor_attr;

struct OwnMethod {
    const zl::Name &name;
    PyObject *func;
};

// True when each `self.<name>` is this module's own method (not replaced on
// the class or the instance), so that its native body may be run directly.
// Looked up as a caller would; the instance dict is not made to exist.
bool is_own(nb::handle self, std::initializer_list<OwnMethod> methods) {
    for (const OwnMethod &m : methods) {
        nb::object bound = attr(self, m.name);
        if (!PyMethod_Check(bound.ptr()) || PyMethod_GET_SELF(bound.ptr()) != self.ptr() ||
            PyMethod_GET_FUNCTION(bound.ptr()) != m.func)
            return false;
    }
    return true;
}

// ------------------------------------------------------------ tensor queries

// zelt_query of `cmd_name` into `out`, a C structure whose ctypes twin is
// `struct_name`; with `index`, its index field is set first (by ctypes' own
// conversion, and error, for anything but a plain int).  `filled`, when
// given, receives the filled ctypes structure; through ctypes it is the one
// the library filled, which keeps alive whatever its pointer fields refer to
// (a stand-in may point them at objects the structure alone holds).
template <typename T>
nb::object query(Runtime &rt, const zl::Name &cmd_name, const char *struct_name, T &out,
                 nb::handle index = nb::handle(), nb::object *filled = nullptr) {
    constexpr bool indexed = std::is_same_v<T, ZELTTensorAttr> || std::is_same_v<T, ZELTRtTensorAttr>;
    nb::object cmd = ns[cmd_name];
    std::memset(&out, 0, sizeof(T));
    nb::object ret;
    if (rt.direct) {
        if constexpr (indexed) {
            if (!index.is_valid() || PyLong_CheckExact(index.ptr())) {
                out.index = index.is_valid() ? (uint32_t)masked(index) : 0;
            } else {
                nb::object s = ns[struct_name]();
                set_attr(s, "index", index);
                read_struct(s, out);
            }
        }
        int c = (int)PyLong_AsLong(cmd.ptr());
        if (PyErr_Occurred()) zl::throw_error();
        ret = zl::to_int(call_direct([&] { return rt.fns->query(rt.handle, c, &out, (uint32_t)sizeof(T)); }));
        if (filled) {
            *filled = ns[struct_name]();
            Buffer b(*filled);
            std::memcpy(b.data(), &out, std::min(sizeof(T), b.size()));
        }
        return ret;
    }
    nb::object s = ns[struct_name]();
    if (index.is_valid()) set_attr(s, "index", index);
    ret = call_lib(rt, kZeltQuery, rt.context, cmd, cast_void_p(s), ctypes_sizeof(s));
    read_struct(s, out);
    if (filled) *filled = s;
    return ret;
}

std::pair<nb::object, nb::object> in_out_num_values(Runtime &rt) {
    ZELTInputOutputNum num;
    nb::object ret = query(rt, kQueryInOutNum, "ZELTInputOutputNum", num);
    check_status(ret, "Get input output num failed! Error code: {}");
    return {zl::to_int(num.n_input), zl::to_int(num.n_output)};
}

nb::object in_out_num(nb::handle self) {
    Runtime rt = runtime(self, {kQueryFn});
    auto [n_input, n_output] = in_out_num_values(rt);
    return nb::make_tuple(n_input, n_output);
}

// `self.get_in_out_num()`, unpacked.
std::pair<nb::object, nb::object> call_in_out_num(nb::handle self) {
    if (is_own(self, {{kGetInOutNum, own_get_in_out_num}})) {
        Runtime rt = runtime(self, {kQueryFn});
        return in_out_num_values(rt);
    }
    return zl::unpack2(attr(self, kGetInOutNum)());
}

const char *const kAttrFailed = "Query tensor attr failed! Error code: {}";

// The attribute of input or output `index` as its family's C structure, and
// (when `filled` is given) as the ctypes structure.
template <typename Attr>
void attr_as(Runtime &rt, nb::handle index, bool is_output, Attr &a, nb::object *filled) {
    const char *name = std::is_same_v<Attr, ZELTRtTensorAttr> ? "ZELTRtTensorAttr" : "ZELTTensorAttr";
    check_status(query(rt, is_output ? kQueryOutputAttr : kQueryInputAttr, name, a, index, filled), kAttrFailed);
}

nb::object tensor_attr(nb::handle self, nb::handle index, bool is_output) {
    bool talun = is_talun(self);
    Runtime rt = runtime(self, {kQueryFn});
    nb::object filled;
    if (talun) {
        ZELTRtTensorAttr a;
        attr_as(rt, index, is_output, a, &filled);
    } else {
        ZELTTensorAttr a;
        attr_as(rt, index, is_output, a, &filled);
    }
    return filled;
}

// The index into `dims` of shape entry `k` (counted from the end for a
// reversing family); an entry beyond the attribute's array fails as ctypes'
// array indexing does.
uint32_t dim_index(uint32_t n_dims, uint32_t k, bool reverse) {
    uint32_t i = reverse ? n_dims - 1 - k : k;
    if (i >= ZELT_MAX_DIMS) zl::raise(PyExc_IndexError, "invalid index");
    return i;
}

nb::list shape_list(uint32_t n_dims, const uint32_t *dims, bool reverse) {
    nb::list shape;
    for (uint32_t k = 0; k < n_dims; ++k) shape.append(dims[dim_index(n_dims, k, reverse)]);
    return shape;
}

template <typename Attr>
nb::object output_shape_as(nb::handle self, Runtime &rt, nb::handle index) {
    Attr a;
    attr_as(rt, index, true, a, nullptr);
    return shape_list(a.n_dims, a.dims, family(attr(self, kNpuModel)).reverse);
}

nb::object output_shape(nb::handle self, Runtime &rt, nb::handle index, bool talun) {
    return talun ? output_shape_as<ZELTRtTensorAttr>(self, rt, index)
                 : output_shape_as<ZELTTensorAttr>(self, rt, index);
}

nb::object output_shape(nb::handle self, nb::handle index) {
    bool talun = is_talun(self);
    Runtime rt = runtime(self, {kQueryFn});
    return output_shape(self, rt, index, talun);
}

nb::object get_type_format(nb::handle dtype) {
    nb::object name = dtype.attr("name");
    if (equals(name, "int")) return nb::str("i");
    if (equals(name, "float") || equals(name, "float32")) return nb::str("f");
    if (equals(dtype, "bool")) return nb::str("?");
    return zl::to_int(-1);
}

// ------------------------------------------------------------ input binding

// One input on its way to zelt_inputs_set: the array, the name of its dtype
// and, once normalised, its pass-through flag, type and format codes.
struct StagedInput {
    nb::object array, dtype_name, pass_through, type, fmt;
};

[[noreturn]] void raise_input_size(std::size_t i) {
    zl::raise_exception(zl::format("E Size of inputs[{}] is invalid!", i));
}

PyArrayObject *as_array(nb::handle o) { return reinterpret_cast<PyArrayObject *>(o.ptr()); }

// A plain ndarray: NumPy's own type, whose attributes nobody can replace.
bool plain_array(nb::handle o) { return Py_TYPE(o.ptr()) == &PyArray_Type; }

// The input's bytes in row-major order: the array's own memory when it is
// C-contiguous (the runtime copies before it returns), else one copy.
class InputBytes {
public:
    explicit InputBytes(nb::handle array) {
        // A subclass with its own tobytes() gets it called.
        nb::object ndarray = ns[kNp].attr(kNdarray);
        PyObject *nd_tobytes = PyType_Check(ndarray.ptr())
                                   ? _PyType_Lookup((PyTypeObject *)ndarray.ptr(), kTobytes.get().ptr())
                                   : nullptr;
        bool plain = nd_tobytes && _PyType_Lookup(Py_TYPE(array.ptr()), kTobytes.get().ptr()) == nd_tobytes;
        if (plain) {
            if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_STRIDES) == 0) {
                has_view_ = true;
                if (PyBuffer_IsContiguous(&view_, 'C')) {
                    data_ = view_.buf;
                    size_ = (std::size_t)view_.len;
                    return;
                }
            } else {
                PyErr_Clear();  // no buffer to share: tobytes() below
            }
        }
        bytes_ = attr(array, kTobytes)();
        char *p;
        Py_ssize_t n;
        if (PyBytes_AsStringAndSize(bytes_.ptr(), &p, &n) < 0) zl::throw_error();
        data_ = p;
        size_ = (std::size_t)n;
    }
    ~InputBytes() {
        if (has_view_) PyBuffer_Release(&view_);
    }
    InputBytes(const InputBytes &) = delete;
    InputBytes &operator=(const InputBytes &) = delete;
    void *data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    Py_buffer view_{};
    bool has_view_ = false;
    nb::object bytes_;
    void *data_ = nullptr;
    std::size_t size_ = 0;
};

nb::object inputs_set_result(nb::handle ret) {
    check_status(ret, "Set inputs failed. error code: {}");
    return nb::borrow(ret);
}

// zelt_inputs_set through self.lib with ctypes structures and staging buffers.
nb::object set_inputs_ctypes(Runtime &rt, const StagedInput *staged, std::size_t n) {
    nb::object array = zl::steal(PyNumber_Multiply(ns["ZELTInput"].ptr(), zl::to_int((long long)n).ptr()))();
    for (std::size_t i = 0; i < n; ++i) {
        nb::object s = ns["ZELTInput"]();
        set_attr(s, "index", zl::to_int((long long)i));
        nb::object data = attr(staged[i].array, kTobytes)();
        std::size_t len = (std::size_t)nb::len(data);
        if (len > UINT32_MAX) raise_input_size(i);
        nb::object buffer =
            zl::steal(PyNumber_Multiply(ns["c_char"].ptr(), zl::to_int((long long)len).ptr()))();
        ns["memmove"](buffer, data, len);
        set_attr(s, "buf", cast_void_p(buffer));
        set_attr(s, "size", zl::to_int((long long)len));
        set_attr(s, "pass_through", staged[i].pass_through);
        set_attr(s, "type", staged[i].type);
        set_attr(s, "fmt", staged[i].fmt);
        array[i] = s;
    }
    nb::object first = ns["pointer"](array[0]);
    return inputs_set_result(call_lib(rt, kZeltInputsSet, rt.context, zl::to_int((long long)n), first));
}

nb::object set_inputs_direct(Runtime &rt, const StagedInput *staged, std::size_t n) {
    Scratch<ZELTInput, 8> room;
    ZELTInput *descs = room.get(n);
    std::vector<std::unique_ptr<InputBytes>> copies;
    for (std::size_t i = 0; i < n; ++i) {
        nb::handle array = staged[i].array;
        void *data;
        std::size_t size;
        if (plain_array(array) && PyArray_IS_C_CONTIGUOUS(as_array(array))) {
            data = PyArray_DATA(as_array(array));
            size = (std::size_t)PyArray_NBYTES(as_array(array));
        } else {
            copies.push_back(std::make_unique<InputBytes>(array));
            data = copies.back()->data();
            size = copies.back()->size();
        }
        if (size > UINT32_MAX) raise_input_size(i);
        ZELTInput &d = descs[i];
        std::memset(&d, 0, sizeof d);
        d.index = (uint32_t)i;
        d.buf = data;
        d.size = (uint32_t)size;
        d.pass_through = (uint8_t)masked(staged[i].pass_through);
        d.type = (int32_t)(uint32_t)masked(staged[i].type);
        d.fmt = (int32_t)(uint32_t)masked(staged[i].fmt);
    }
    int ret = call_direct([&] { return rt.fns->inputs_set(rt.handle, (uint32_t)n, descs); });
    check_status(ret, "Set inputs failed. error code: {}");
    return zl::to_int(ret);
}

// Synthetic all-0x01 inputs sized and typed from the model's own input attributes.
nb::object set_inputs_eval_perf(nb::handle self) {
    auto [in_num, unused] = call_in_out_num(self);
    (void)unused;
    nb::object array = zl::steal(PyNumber_Multiply(ns["ZELTInput"].ptr(), in_num.ptr()))();
    Py_ssize_t n = PyObject_Length(array.ptr());
    if (n < 0) zl::throw_error();
    if (n == 0) zl::raise_exception("E The model reports no inputs, there is nothing to bind for eval_perf.");
    bool own_attr = is_own(self, {{kGetTensorAttr, own_get_tensor_attr}});
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object s = ns["ZELTInput"]();
        set_attr(s, "index", zl::to_int(i));
        nb::object a = own_attr ? tensor_attr(self, zl::to_int(i), false) : attr(self, kGetTensorAttr)(i);
        nb::object data_size = a.attr("size");
        nb::object buffer = zl::steal(PyNumber_Multiply(ns["c_char"].ptr(), data_size.ptr()))();
        ns["memset"](buffer, 1, data_size);
        set_attr(s, "buf", cast_void_p(buffer));
        set_attr(s, "size", data_size);
        set_attr(s, "type", a.attr("type"));
        set_attr(s, "fmt", a.attr("fmt"));
        array[i] = s;
    }
    Runtime rt = runtime(self, {kInputsSetFn});
    if (rt.direct) {
        Buffer b(array);
        ZELTInput *descs = static_cast<ZELTInput *>(b.data());
        int ret = call_direct([&] { return rt.fns->inputs_set(rt.handle, (uint32_t)n, descs); });
        return inputs_set_result(zl::to_int(ret));
    }
    nb::object first = ns["pointer"](array[0]);
    return inputs_set_result(call_lib(rt, kZeltInputsSet, rt.context, in_num, first));
}

// The names of the plain dtypes seen so far, by dtype object (NumPy shares
// one object per plain type; the entries are kept for the life of the process).
struct KnownDtype {
    nb::handle dtype, name;
};
KnownDtype known_dtypes[16];
std::size_t known_dtype_count = 0;

nb::object plain_dtype_name(nb::handle dtype, const zl::Name &name) {
    if (known_dtype_count < std::size(known_dtypes))
        known_dtypes[known_dtype_count++] = {nb::borrow(dtype).release(), nb::borrow(name.get()).release()};
    return nb::borrow(name.get());
}

// str(dtype).  NumPy renders dtypes in Python code; the plain numeric types'
// names follow from their type number and item size, the rest (byte-swapped,
// with metadata, anything else) are rendered by NumPy itself.
nb::object dtype_name(nb::handle dtype) {
    static const zl::Name num_name{"num"}, byteorder_name{"byteorder"}, metadata_name{"metadata"},
        itemsize_name{"itemsize"};
    for (std::size_t i = 0; i < known_dtype_count; ++i)
        if (known_dtypes[i].dtype.ptr() == dtype.ptr()) return nb::borrow(known_dtypes[i].name);
    if (!PyArray_DescrCheck(dtype.ptr())) return zl::to_str(dtype);
    nb::object order = attr(dtype, byteorder_name);
    if (!(equals(order, "=") || equals(order, "|")) || !zl::is_none(attr(dtype, metadata_name)))
        return zl::to_str(dtype);
    long num = PyLong_AsLong(attr(dtype, num_name).ptr());
    long size = PyLong_AsLong(attr(dtype, itemsize_name).ptr());
    if (PyErr_Occurred()) zl::throw_error();
    // NumPy's type numbers: bool, then signed/unsigned pairs from byte to long long, float, half.
    static const zl::Name signed_names[] = {zl::Name{"int8"}, zl::Name{"int16"}, zl::Name{"int32"},
                                            zl::Name{"int64"}},
                          unsigned_names[] = {zl::Name{"uint8"}, zl::Name{"uint16"}, zl::Name{"uint32"},
                                              zl::Name{"uint64"}},
                          bool_name{"bool"}, float32_name{"float32"}, float16_name{"float16"};
    int width = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : size == 8 ? 3 : -1;
    if (num == 0) return plain_dtype_name(dtype, bool_name);
    if (num >= 1 && num <= 10 && width >= 0)
        return plain_dtype_name(dtype, (num % 2 ? signed_names : unsigned_names)[width]);
    if (num == 11 && size == 4) return plain_dtype_name(dtype, float32_name);
    if (num == 23 && size == 2) return plain_dtype_name(dtype, float16_name);
    return zl::to_str(dtype);
}

// `input.dtype`
nb::object dtype_of(nb::handle input) {
    if (plain_array(input)) return nb::borrow((PyObject *)PyArray_DESCR(as_array(input)));
    return attr(input, kDtype);
}

nb::object item(nb::handle seq, std::size_t i) {
    return zl::steal(PyObject_GetItem(seq.ptr(), zl::to_int((long long)i).ptr()));
}

nb::object set_inputs(nb::handle self, nb::handle inputs, nb::handle data_type, nb::handle data_format,
                      nb::handle pass_through, nb::handle eval_perf) {
    if (eval_perf.ptr() && zl::truthy(eval_perf)) return set_inputs_eval_perf(self);

    if (zl::is_none(inputs)) zl::raise_exception("E Inputs are invalid.");
    Py_ssize_t given = PyObject_Length(inputs.ptr());
    if (given < 0) zl::throw_error();
    if (given == 0) zl::raise_exception("E Inputs are invalid.");
    nb::object list = nb::borrow(inputs);
    if (!PyList_Check(inputs.ptr())) {
        log("w", "Inputs should be placed in a list, like [img1, img2], both the img1 and img2 are ndarray.");
        list = zl::steal(PyList_New(1));
        PyList_SET_ITEM(list.ptr(), 0, nb::borrow(inputs).release().ptr());
    }
    // The elements as iteration gives them.
    std::vector<nb::object> iterated;
    if (!PyList_CheckExact(list.ptr()))
        for (nb::handle element : list) iterated.push_back(nb::borrow(element));
    const std::size_t in_num =
        PyList_CheckExact(list.ptr()) ? (std::size_t)PyList_GET_SIZE(list.ptr()) : iterated.size();
    Scratch<StagedInput, 4> room;
    StagedInput *staged = room.get(in_num);
    for (std::size_t i = 0; i < in_num; ++i)
        staged[i].array =
            iterated.empty() ? nb::borrow(PyList_GET_ITEM(list.ptr(), (Py_ssize_t)i)) : iterated[i];

    for (std::size_t i = 0; i < in_num; ++i) {
        nb::handle input = staged[i].array;
        if (zl::is_none(input) || (plain_array(input) ? PyArray_SIZE(as_array(input)) == 0
                                                      : zl::equal(attr(input, kSize), zl::to_int(0))))
            raise_input_size(i);
        int r = PyObject_IsInstance(input.ptr(), zl::module_attr(ns[kNp], kNdarray).ptr());
        if (r < 0) zl::throw_error();
        if (!r) zl::raise_exception(zl::format("E Type of inputs[{}] is not np.ndarray!", i));
        staged[i].dtype_name = dtype_name(dtype_of(input));
        if (!has_key(ns[kInputDataType], staged[i].dtype_name))
            zl::raise_exception(zl::format("E Unsupport inputs[{}].dtype: {}", i, dtype_of(input)));
    }

    // Codes known now are staged; a sequence given as is (anything but None,
    // a str or a list) is read per input when the descriptors are filled.
    // The caller's lists are only read.
    nb::object types_seq, formats_seq, flags_seq;
    if (zl::is_none(data_type)) {
        for (std::size_t i = 0; i < in_num; ++i)
            staged[i].type = lookup(ns[kInputDataType], staged[i].dtype_name);
    } else if (PyUnicode_Check(data_type.ptr())) {
        if (!has_key(ns[kInputDataType], data_type))
            zl::raise_exception(zl::format("E Unsupport data type: {}", data_type));
        for (std::size_t i = 0; i < in_num; ++i)
            if (!zl::equal(staged[i].dtype_name, data_type))
                zl::raise_exception(zl::format("E inputs[{}].dtype: {} is not same as data_type", i,
                                               dtype_of(staged[i].array)));
        nb::object code = lookup(ns[kInputDataType], data_type);
        for (std::size_t i = 0; i < in_num; ++i) staged[i].type = code;
    } else if (PyList_Check(data_type.ptr())) {
        if ((std::size_t)nb::len(data_type) != in_num)
            zl::raise_exception("E The lengths of data_type and inputs are not equal.");
        for (std::size_t i = 0; i < in_num; ++i) {
            nb::object name = item(data_type, i);
            if (!zl::equal(staged[i].dtype_name, name))
                zl::raise_exception(zl::format("E inputs[{}].dtype: {} is not same as data_type[{}]", i,
                                               dtype_of(staged[i].array), i));
            staged[i].type = lookup(ns[kInputDataType], name);
        }
    } else {
        types_seq = nb::borrow(data_type);
    }

    if (zl::is_none(data_format)) {
        nb::object code = lookup(ns[kInputDataFormat], kNhwc.get());
        for (std::size_t i = 0; i < in_num; ++i) staged[i].fmt = code;
    } else if (PyUnicode_Check(data_format.ptr())) {
        nb::object table = ns[kInputDataFormat];
        if (!has_key(table, data_format))
            zl::raise_exception(zl::format("E Unsupport data format: {}", data_format));
        nb::object code = lookup(table, data_format);
        for (std::size_t i = 0; i < in_num; ++i) staged[i].fmt = code;
    } else if (PyList_Check(data_format.ptr())) {
        if ((std::size_t)nb::len(data_format) != in_num)
            zl::raise_exception("E The lengths of data_format and inputs are not equal.");
        for (std::size_t i = 0; i < in_num; ++i)
            staged[i].fmt = lookup(ns[kInputDataFormat], item(data_format, i));
    } else {
        formats_seq = nb::borrow(data_format);
    }

    if (!pass_through.ptr() || zl::is_none(pass_through)) {
        nb::object zero = zl::to_int(0);
        for (std::size_t i = 0; i < in_num; ++i) staged[i].pass_through = zero;
    } else {
        if (PyList_Check(pass_through.ptr()) && (std::size_t)nb::len(pass_through) != in_num)
            zl::raise_exception("E The lengths of inputs_pass_through and inputs are not equal.");
        flags_seq = nb::borrow(pass_through);
    }

    bool plain_values = true;
    for (std::size_t i = 0; i < in_num; ++i) {
        StagedInput &s = staged[i];
        if (flags_seq.is_valid()) s.pass_through = item(flags_seq, i);
        if (types_seq.is_valid()) s.type = item(types_seq, i);
        if (formats_seq.is_valid()) s.fmt = item(formats_seq, i);
        plain_values = plain_values && exact_int(s.pass_through) && exact_int(s.type) && exact_int(s.fmt);
    }
    // The size field holds 32 bits: a larger array is refused before any of its bytes are copied.
    for (std::size_t i = 0; i < in_num; ++i) {
        nb::handle array = staged[i].array;
        if (PyArray_Check(array.ptr()) && (uint64_t)PyArray_NBYTES(as_array(array)) > UINT32_MAX)
            raise_input_size(i);
    }
    Runtime rt = runtime(self, {kInputsSetFn});
    // Values that are not plain integers take ctypes' own conversions (and errors).
    if (rt.direct && plain_values) return set_inputs_direct(rt, staged, in_num);
    return set_inputs_ctypes(rt, staged, in_num);
}

// ------------------------------------------------------------ run and outputs

nb::object run(nb::handle self, nb::handle get_frame_id) {
    bool talun = is_talun(self);
    Runtime rt = runtime(self, {kRunFn});
    if (rt.direct) {
        ZELTRtRunExtend ext;
        std::memset(&ext, 0, sizeof ext);
        // Both extensions start with frame_id; the runtime tells them apart by family.
        ZELTRunExtend *p = reinterpret_cast<ZELTRunExtend *>(&ext);
        int ret = call_direct([&] { return rt.fns->run(rt.handle, p); });
        if (get_frame_id.ptr() && zl::truthy(get_frame_id)) return nb::make_tuple(ret, ext.frame_id);
        return zl::to_int(ret);
    }
    nb::object ext = ns[talun ? "ZELTRtRunExtend" : "ZELTRunExtend"]();
    nb::object ret = call_lib(rt, kZeltRun, rt.context, ns["pointer"](ext));
    if (get_frame_id.ptr() && zl::truthy(get_frame_id)) return nb::make_tuple(ret, ext.attr("frame_id"));
    return ret;
}

// A new float32 array of an output's shape and its writable memory.
struct OutputArray {
    nb::object array;
    void *data = nullptr;
    std::size_t elems = 0;
};

// np.empty(shape, float32) with the module's `np`.
OutputArray new_output(nb::handle shape) {
    OutputArray out;
    nb::object np = ns[kNp];
    out.array = attr(np, kEmpty)(nb::arg("shape") = shape, nb::arg("dtype") = kFloat32.get());
    nb::object size = attr(out.array, kSize);
    out.elems = PyLong_AsSize_t(size.ptr());
    if (PyErr_Occurred()) zl::throw_error();
    Buffer b(out.array, PyBUF_WRITABLE);
    if (b.size() != out.elems * 4) zl::raise(PyExc_TypeError, "np.empty did not give a float32 array");
    out.data = b.data();
    return out;
}

// NumPy and its `empty` as imported, to tell whether the module's `np.empty`
// is still NumPy's own.  Compared by identity only.
PyObject *numpy_module, *numpy_empty;

bool numpy_is_own() {
    nb::object np = ns[kNp];
    return np.ptr() == numpy_module && zl::module_attr(np, kEmpty).ptr() == numpy_empty;
}

// The output array for a reported attribute, shaped as get_output_shape
// gives it; made through NumPy's C API where that is what np.empty does.
OutputArray new_output(uint32_t n_dims, const uint32_t *dims, bool reverse, bool own_numpy) {
    if (!own_numpy) return new_output(shape_list(n_dims, dims, reverse));
    npy_intp shape[ZELT_MAX_DIMS];
    for (uint32_t k = 0; k < n_dims; ++k) shape[k] = dims[dim_index(n_dims, k, reverse)];
    OutputArray out;
    out.array = zl::steal(PyArray_SimpleNew((int)n_dims, shape, NPY_FLOAT32));
    out.data = PyArray_DATA(as_array(out.array));
    out.elems = (std::size_t)PyArray_SIZE(as_array(out.array));
    return out;
}

// Copies the runtime's float32 output into the caller's array, never reading
// beyond what the runtime reported.  Returns the error message (a ValueError)
// or null; runs without the GIL.
const char *copy_output(const OutputArray &dst, const void *src, uint32_t reported_bytes) {
    if (dst.elems == 0) return nullptr;
    if (!src) return "NULL pointer access";
    if ((uint64_t)reported_bytes < (uint64_t)dst.elems * 4) return "buffer is smaller than requested size";
    std::memmove(dst.data, src, dst.elems * 4);
    return nullptr;
}

const char *const kReleaseWarning = "Release outputs failed, ret code: {}";

int query_command(const zl::Name &name) {
    int c = (int)PyLong_AsLong(ns[name].ptr());
    if (PyErr_Occurred()) zl::throw_error();
    return c;
}

// Fetches the outputs into `results` through the library's own functions:
// fetched, copied and handed back in one stretch without the GIL.
nb::object fetch_outputs_direct(Runtime &rt, OutputArray *results, std::size_t n, nb::handle get_frame_id) {
    Scratch<ZELTOutput, 4> desc_room;
    ZELTOutput *descs = desc_room.get(n);
    for (std::size_t i = 0; i < n; ++i) {
        ZELTOutput &d = descs[i];
        std::memset(&d, 0, sizeof d);
        d.want_float = 1;
        d.is_prealloc = 0;
        d.index = (uint32_t)i;
        d.buf = results[i].data;
        d.size = (uint32_t)results[i].elems;
    }
    ZELTOutputExtend ext;
    std::memset(&ext, 0, sizeof ext);
    int ret, released = 0;
    const char *failure = nullptr;
    {
        nb::gil_scoped_release unlocked;
        ret = rt.fns->outputs_get(rt.handle, (uint32_t)n, descs, &ext);
        if (ret >= 0) {
            for (std::size_t i = 0; i < n && !failure; ++i)
                failure = copy_output(results[i], descs[i].buf, descs[i].size);
            released = rt.fns->outputs_release(rt.handle, (uint32_t)n, descs);
        }
    }
    check_status(ret, "E Get outputs failed, error code: {}");
    if (failure) zl::raise(PyExc_ValueError, failure);
    nb::object outputs = zl::steal(PyList_New((Py_ssize_t)n));
    for (std::size_t i = 0; i < n; ++i)
        PyList_SET_ITEM(outputs.ptr(), (Py_ssize_t)i, results[i].array.release().ptr());
    if (released < 0) log("w", zl::format(kReleaseWarning, code_name(zl::to_int(released))));
    if (get_frame_id.ptr() && zl::truthy(get_frame_id)) {
        nb::object frame = zl::steal(PyLong_FromUnsignedLongLong(ext.frame_id));
        if (PyList_Append(outputs.ptr(), frame.ptr()) < 0) zl::throw_error();
    }
    return outputs;
}

// get_outputs with the class's own query methods on the loaded library:
// the count and shape queries run in one stretch without the GIL, then the
// fetch, copy and hand-back in another.
nb::object direct_outputs(nb::handle self, Runtime &rt, nb::handle get_frame_id) {
    const int num_cmd = query_command(kQueryInOutNum), attr_cmd = query_command(kQueryOutputAttr);
    const Family fam = family(attr(self, kNpuModel));
    const uint32_t attr_size = fam.talun ? sizeof(ZELTRtTensorAttr) : sizeof(ZELTTensorAttr);
    ZELTInputOutputNum num{};
    Scratch<ZELTRtTensorAttr, 4> attr_room;  // the plain attribute is its prefix
    ZELTRtTensorAttr *attrs = nullptr;
    int num_ret, attr_ret = 0;
    {
        nb::gil_scoped_release unlocked;
        num_ret = rt.fns->query(rt.handle, num_cmd, &num, (uint32_t)sizeof num);
        if (num_ret >= 0) {
            attrs = attr_room.get(num.n_output);
            for (uint32_t i = 0; i < num.n_output && attr_ret >= 0; ++i) {
                std::memset(&attrs[i], 0, sizeof attrs[i]);
                attrs[i].index = i;
                attr_ret = rt.fns->query(rt.handle, attr_cmd, &attrs[i], attr_size);
            }
        }
    }
    check_status(num_ret, "Get input output num failed! Error code: {}");
    check_status(attr_ret, kAttrFailed);
    const std::size_t n = num.n_output;
    const bool own_numpy = numpy_is_own();
    Scratch<OutputArray, 4> result_room;
    OutputArray *results = result_room.get(n);
    for (std::size_t i = 0; i < n; ++i)
        results[i] = new_output(attrs[i].n_dims, attrs[i].dims, fam.reverse, own_numpy);
    if (n == 0) zl::raise(PyExc_IndexError, "invalid index");

    return fetch_outputs_direct(rt, results, n, get_frame_id);
}

nb::object get_outputs(nb::handle self, nb::handle get_frame_id) {
    // With the class's own query methods in place, one look at the library serves the whole call.
    bool own_queries =
        is_own(self, {{kGetInOutNum, own_get_in_out_num}, {kGetOutputShape, own_get_output_shape}});
    Runtime rt;
    if (own_queries) {
        rt = runtime(self, {kQueryFn, kOutputsGetFn, kOutputsReleaseFn});
        if (rt.direct) return direct_outputs(self, rt, get_frame_id);
    }
    nb::object out_num =
        own_queries ? in_out_num_values(rt).second : zl::unpack2(attr(self, kGetInOutNum)()).second;
    // The ctypes descriptors are made only where they are used; a count
    // ctypes would refuse gets its error here, as before any other step.
    nb::object outputs_array, output_extend;
    auto make_descriptors = [&] {
        outputs_array = zl::steal(PyNumber_Multiply(ns["ZELTOutput"].ptr(), out_num.ptr()))();
        output_extend = ns["ZELTOutputExtend"]();
    };
    if (!PyLong_CheckExact(out_num.ptr()) || less_than_zero(out_num)) make_descriptors();
    Py_ssize_t n = PyNumber_AsSsize_t(out_num.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) zl::throw_error();
    std::vector<OutputArray> results;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object index = zl::to_int(i);
        results.push_back(
            new_output(own_queries ? output_shape(self, rt, index, is_talun(self))
                                           : attr(self, kGetOutputShape)(index)));
    }
    if (n == 0) zl::raise(PyExc_IndexError, "invalid index");
    nb::list outputs;

    if (!own_queries) rt = runtime(self, {kOutputsGetFn, kOutputsReleaseFn});
    if (rt.direct) return fetch_outputs_direct(rt, results.data(), (std::size_t)n, get_frame_id);

    if (!outputs_array.is_valid()) make_descriptors();
    // Staging buffers the runtime may look at; with is_prealloc 0 it replaces them.
    std::vector<nb::object> staging;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object buffer = zl::steal(PyNumber_Multiply(
            ns["c_char"].ptr(), zl::to_int((long long)results[(std::size_t)i].elems * 4).ptr()))();
        staging.push_back(buffer);
        nb::object out = outputs_array[i];
        set_attr(out, "want_float", zl::to_int(1));
        set_attr(out, "is_prealloc", zl::to_int(0));
        set_attr(out, "index", zl::to_int(i));
        set_attr(out, "buf", ns["cast"](buffer, ns["c_void_p"]));
        set_attr(out, "size", zl::to_int((long long)results[(std::size_t)i].elems));
    }
    nb::object first = ns["pointer"](outputs_array[0]);
    nb::object ret = call_lib(rt, kZeltOutputsGet, rt.context, out_num, first, ns["pointer"](output_extend));
    check_status(ret, "E Get outputs failed, error code: {}");
    auto release = [&] {
        return call_lib(rt, kZeltOutputsRelease, rt.context, out_num, ns["pointer"](outputs_array[0]));
    };
    try {
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::object out = outputs_array[i];
            nb::object buf = out.attr("buf");
            void *src = zl::is_none(buf) ? nullptr : PyLong_AsVoidPtr(buf.ptr());
            if (PyErr_Occurred()) zl::throw_error();
            uint32_t reported = (uint32_t)PyLong_AsUnsignedLong(out.attr("size").ptr());
            if (PyErr_Occurred()) zl::throw_error();
            if (const char *failure = copy_output(results[(std::size_t)i], src, reported))
                zl::raise(PyExc_ValueError, failure);
            outputs.append(results[(std::size_t)i].array);
        }
    } catch (...) {
        release();
        throw;
    }
    nb::object released = release();
    if (less_than_zero(released)) log("w", zl::format(kReleaseWarning, code_name(released)));
    if (get_frame_id.ptr() && zl::truthy(get_frame_id)) outputs.append(output_extend.attr("frame_id"));
    return outputs;
}

// ------------------------------------------------------------ information and tuning

nb::object decode_c_text(const char *text, std::size_t max_len) {
    std::size_t n = strnlen(text, max_len);
    return zl::steal(PyUnicode_DecodeUTF8(text, (Py_ssize_t)n, "strict"));
}

nb::object get_sdk_version(nb::handle self) {
    if (equals(self.attr("target_soc"), "SIMULATOR"))
        zl::raise_exception("Target hardware platform need be pointed before get sdk version.");
    ZELTSDKVersion v;
    Runtime rt = runtime(self, {kQueryFn});
    nb::object ret = query(rt, kQuerySdkVersion, "ZELTSDKVersion", v);
    check_status(ret, "Query ZELT SDK version Failed. Error code: {}");
    nb::object api = decode_c_text(v.api_version, sizeof v.api_version);
    nb::object drv = decode_c_text(v.drv_version, sizeof v.drv_version);
    const char *rule = "==============================================\n";
    nb::str banner = zl::format("{}ZELT VERSION:\n  API: {}\n  DRV: {}\n{}", rule, api, drv, rule);
    return nb::make_tuple(banner, api, drv);
}

nb::object set_core_mask(nb::handle self, nb::handle core_mask) {
    if (zl::equal(core_mask, zl::to_int(0))) return zl::to_int(0);
    if (!equals(self.attr("target_soc"), "TX5100"))
        log("e",
            "The core_mask is only supported by TX5100. Please do not set this parameter on other "
            "platforms.");
    if (!zl::contains(ns["CURRENT_SUPPORT_NPU_CORE_MODE"], core_mask))
        log("e", zl::format("The core mode {} is not supported currently.", core_mask));
    nb::object mask = ns["c_uint"](core_mask);
    Runtime rt = runtime(self, {});
    nb::object ret = call_lib(rt, kZeltSetCoreMask, rt.context, mask);
    check_status(ret, "ZELT set core mask failed. error code: {}");
    return ret;
}

nb::object get_run_perf(nb::handle self) {
    // The text the library lends stays valid until its next query: the exchange
    // lasts until it is decoded.
    Runtime rt = runtime(self, {kQueryFn});
    if (zl::truthy(self.attr("perf_debug"))) {
        ZELTPerfDetail perf;
        nb::object filled;  // holds the text a stand-in's structure points to
        nb::object ret = query(rt, kQueryPerfDetail, "ZELTPerfDetail", perf, nb::handle(), &filled);
        check_status(ret, "Query run perf failed, error code: {}");
        if (!perf.perf_data) return nb::str("");
        // The text ends at its NUL or after data_len bytes, whichever comes first.
        return decode_c_text(perf.perf_data,
                             (std::size_t)std::min<unsigned long long>(perf.data_len, SIZE_MAX));
    }
    ZELTPerfRun perf;
    nb::object ret = query(rt, kQueryPerfRun, "ZELTPerfRun", perf);
    check_status(ret, "Query run perf failed, error code: {}");
    return zl::to_str(zl::to_int(perf.run_duration));
}

// ------------------------------------------------------------ lifecycle

void set_self(nb::handle self, const char *name, nb::handle value) { set_attr(self, name, value); }

nb::object init(nb::handle self, const std::array<nb::handle, 9> &a) {
    auto value_or = [](nb::handle v, nb::object d) { return v.ptr() ? nb::borrow(v) : d; };
    set_self(self, "root_dir", a[1]);
    set_self(self, "perf_debug", value_or(a[4], nb::bool_(false)));
    set_self(self, "eval_memory", value_or(a[5], nb::bool_(false)));
    set_self(self, "async_mode", value_or(a[6], nb::bool_(false)));
    set_self(self, "zelt2precompile", value_or(a[7], nb::bool_(false)));
    set_self(self, "core_mask", value_or(a[8], zl::to_int(0)));
    self.attr("_check_container")();
    set_self(self, "target", a[2]);
    set_self(self, "target_soc", self.attr("_get_target_soc")(a[2]));
    nb::object cls = runtime_class();
    set_self(self, "is_npu_self", cls.attr("_is_npu_self")()[0]);
    set_self(self, "is_npu_assemble", cls.attr("_is_npu_assembled")()[0]);
    set_self(self, "npu_model", self.attr("_get_npu_model")());
    set_self(self, "device_id", a[3]);
    set_self(self, "lib", none());
    set_self(self, "context", none());
    set_self(self, "graph_is_built", nb::bool_(false));
    self.attr("_load_library")();
    set_self(self, "adb_path", cls.attr("_get_adb_path")());
    set_self(self, "ntd_path", cls.attr("_get_ntd_path")());
    self.attr("_connect")();
    return none();
}

nb::object get_zelt_api_lib_path(nb::handle self) {
    nb::object join = ns["os"].attr("path").attr("join");
    nb::object exists = ns["os"].attr("path").attr("exists");
    nb::object path1 = join("/", "usr", "lib", "libzelt_runtime.so");
    nb::object path2 = join("/", "usr", "lib64", "libzelt_runtime.so");
    nb::object path3 = join("/", "usr", "lib", "libzeltrt.so");
    nb::object simulator =
        join(self.attr("root_dir"), "api", "lib", "simulator", "Linux_x64", "libzelt_runtime.so");
    const char *api_dir = is_talun(self) ? "TALUN" : "KESTA_VORIN";
    auto [is_self, inside_soc] = zl::unpack2(runtime_class().attr("_is_npu_self")());
    if (zl::truthy(is_self) && zl::is_none(self.attr("target"))) {
        for (nb::handle p : {path1, path2, path3})
            if (zl::truthy(exists(p))) return nb::borrow(p);
        nb::object message = zl::format("Can not find dynamic library on {}!\n", inside_soc);
        nb::object npu_dir = self.attr("_get_depot_npu_dir_with_target_soc")();
        if (!equals(npu_dir, "UNKNOWN"))
            message = zl::steal(
                PyNumber_Add(message.ptr(), zl::format("Please download the corresponding libzeltrt.so from "
                                                       "zeltpack-depot/runtime/{}/Linux/libzelt_api/aarch64 "
                                                       "and move it to directory /usr/lib/\n",
                                                       npu_dir)
                                                .ptr()));
        zl::raise_exception(message);
    }
    nb::object os_platform = self.attr("os_platform"), machine = self.attr("machine");
    nb::object root = self.attr("root_dir");
    auto hardware = [&](const char *relative) { return join(root, relative).attr("format")(api_dir); };
    if (equals(os_platform, "Linux_x64") && equals(machine, "aarch64"))
        return hardware("api/lib/hardware/{}/linux-aarch64/libzelt_api.so");
    if (equals(os_platform, "Linux_x64")) {
        nb::object soc = self.attr("target_soc");
        if (zl::is_none(soc) || equals(soc, "SIMULATOR")) return simulator;
        return hardware("api/lib/hardware/{}/linux-x86_64/libzelt_api.so");
    }
    if (equals(os_platform, "Darwin_x64")) return hardware("api/lib/hardware/{}/macOS_x64/libzelt_api.dylib");
    if (equals(os_platform, "Windows_x64"))
        return hardware("api\\lib\\hardware\\{}\\Windows_x64\\libzelt_api.dll");
    zl::raise_exception(zl::format("Unsupported run platform: {} {}", self.attr("system"), machine));
}

nb::object load_library(nb::handle self) {
    nb::object so_path = self.attr("_get_zelt_api_lib_path")();
    set_self(self, "lib", ns["CDLL"](so_path));
    nb::object lib = attr(self, kLib);
    // A stand-in loader may hand out an object it gave before: loaded again, it
    // is open.  (A real library this module closed stays closed: its code is gone.)
    reopen_stand_in(lib);
    nb::object H = ns[equals(self.attr("architecture"), "32bit") ? "c_ulong" : "c_ulonglong"];
    nb::object POINTER = ns["POINTER"];
    nb::object c_void_p = ns["c_void_p"], c_uint = ns["c_uint"], c_int = ns["c_int"];
    bool talun = is_talun(self);
    auto bind = [&](const char *fn, nb::list types) { set_attr(lib.attr(fn), "argtypes", types); };
    auto list = [](std::initializer_list<nb::handle> items) {
        nb::list l;
        for (nb::handle h : items) l.append(h);
        return l;
    };
    if (talun)
        bind("zelt_init", list({POINTER(H), c_void_p, c_uint, c_uint, POINTER(ns["ZELTRtInitExtend"])}));
    else
        bind("zelt_init", list({POINTER(H), c_void_p, c_uint, c_uint}));
    bind("zelt_run", list({H, POINTER(ns[talun ? "ZELTRtRunExtend" : "ZELTRunExtend"])}));
    bind("zelt_destroy", list({H}));
    bind("zelt_query", list({H, ns["c_int"], c_void_p, c_uint}));
    bind("zelt_inputs_set", list({H, c_uint, POINTER(ns["ZELTInput"])}));
    bind("zelt_outputs_get", list({H, c_uint, POINTER(ns["ZELTOutput"]), POINTER(ns["ZELTOutputExtend"])}));
    bind("zelt_outputs_release", list({H, c_uint, POINTER(ns["ZELTOutput"])}));
    for (const char *fn : {"zelt_init", "zelt_destroy", "zelt_query", "zelt_inputs_set", "zelt_run",
                           "zelt_outputs_get", "zelt_outputs_release"})
        set_attr(lib.attr(fn), "restype", c_int);
    nb::object soc = self.attr("target_soc");
    bool is_self = zl::truthy(self.attr("is_npu_self"));
    if (equals(soc, "TX5100") && is_self) {
        bind("zelt_set_core_mask", list({ns["c_ulonglong"], c_uint}));
        set_attr(lib.attr("zelt_set_core_mask"), "restype", c_int);
    }
    if (!is_self && !equals(soc, "SIMULATOR") && !talun) {
        bind("zelt_init2",
             list({POINTER(ns["c_ulonglong"]), c_void_p, c_uint, c_uint, POINTER(ns["ZELTInitExtend"])}));
        set_attr(lib.attr("zelt_init2"), "restype", c_int);
    }
    register_loaded(lib);
    return none();
}

nb::object load_libdl(nb::handle self) {
    nb::object CDLL = ns["CDLL"];
    if (equals(self.attr("os_platform"), "Darwin_x64")) return CDLL("libdl.dylib");
    try {
        return ns["CDLL"]("libdl.so.2");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        log("d", nb::borrow(e.value()));
    }
    return ns["CDLL"]("libdl.so");
}

// A ctypes function without argtypes (anything else counts as bound).
bool unbound(nb::handle func) {
    PyObject *types = PyObject_GetAttr(func.ptr(), kArgtypes.get().ptr());
    if (!types) {
        PyErr_Clear();
        return false;
    }
    return zl::is_none(nb::steal(types));
}

nb::object build_graph(nb::handle self, nb::handle model, nb::handle load_model_in_npu) {
    Py_ssize_t size = PyObject_Length(model.ptr());
    if (size < 0) zl::throw_error();
    nb::object flag = ns["ZELT_FLAG_PRIOR_MEDIUM"];
    auto add_flag = [&](bool on, const char *name) {
        if (on) flag = zl::steal(PyNumber_Or(flag.ptr(), ns[name].ptr()));
    };
    add_flag(zl::truthy(self.attr("perf_debug")), "ZELT_FLAG_COLLECT_PERF_MASK");
    add_flag(zl::truthy(self.attr("eval_memory")), "ZELT_FLAG_PRIV_COLLECT_MEMPROFILE_MASK");
    add_flag(zl::truthy(self.attr("async_mode")), "ZELT_FLAG_ASYNC_MASK");
    add_flag(zl::truthy(self.attr("zelt2precompile")), "ZELT_FLAG_PRIV_ZELT_PRECOMPILE_MASK");
    add_flag(load_model_in_npu.ptr() && zl::truthy(load_model_in_npu), "ZELT_FLAG_LOAD_MODEL_IN_NPU");
    nb::object c_flag = ns["c_uint"](flag);
    nb::object context_p =
        ns["pointer"](ns[equals(self.attr("architecture"), "32bit") ? "c_uint" : "c_uint64"]());
    nb::object n = zl::to_int(size);

    // One exchange from the init to the old context's destruction: no call of
    // another thread runs on the old context while it goes.
    Runtime rt = runtime(self, {}, false);
    nb::object ret;
    bool talun = is_talun(self);
    if (!talun && zl::truthy(self.attr("is_npu_self"))) {
        ret = call_lib(rt, kZeltInit, context_p, model, n, c_flag);
    } else if (!talun) {
        nb::object ext = none();
        nb::object device_id = self.attr("device_id");
        bool no_ext =
            (equals(self.attr("target_soc"), "TX3000") && !zl::truthy(self.attr("is_npu_assemble"))) ||
            zl::is_none(device_id);
        if (!no_ext) {
            ext = ns["ZELTInitExtend"]();
            set_attr(ext, "device_id", ns["c_char_p"](device_id.attr("encode")("utf-8")));
        }
        nb::object init2 = rt.lib.attr("zelt_init2");
        // Unbound, ctypes would pass the structure by value where the
        // library reads a pointer.
        if (!zl::is_none(ext) && unbound(init2)) ext = ns["pointer"](ext);
        ret = init2(context_p, model, n, c_flag, ext);
    } else {
        ret = call_lib(rt, kZeltInit, context_p, model, n, c_flag, ns["ZELTRtInitExtend"]());
    }
    check_status(ret, "ZELT init failed. error code: {}");
    // A session whose attributes were set by hand may have no context yet.
    nb::object previous = none();
    if (PyObject *p = PyObject_GetAttr(self.ptr(), kContext.get().ptr()))
        previous = nb::steal(p);
    else if (PyErr_ExceptionMatches(PyExc_AttributeError))
        PyErr_Clear();
    else
        zl::throw_error();
    nb::object context = context_p[0];
    set_self(self, "context", context);
    set_self(self, "graph_is_built", nb::bool_(true));
    // The context a rebuild replaces would otherwise leak in the runtime.
    if (!zl::is_none(previous) && !zl::equal(previous, context)) call_lib(rt, kZeltDestroy, previous);
    return ret;
}

nb::object release_context(nb::handle self) {
    nb::object lib = attr(self, kLib);
    if (in_use(lib))
        zl::raise_exception("E The runtime is in use by another thread and can not be released now.");
    Exchange exchange(lib);
    bool closed = is_closed(lib);
    if (!zl::is_none(attr(self, kContext))) {
        if (!closed) lib.attr("zelt_destroy")(attr(self, kContext));
        set_self(self, "context", none());
    }
    if (closed) return none();
    // No function pointer into the library may outlive this point.
    stop_direct_calls(lib);
    if (equals(self.attr("os_platform"), "Windows_x64")) {
        ns["windll"].attr("kernel32").attr("FreeLibrary")(attr(self, kLib).attr("_handle"));
    } else {
        nb::object libdl = self.attr("_load_libdl")();
        set_attr(libdl.attr("dlclose"), "argtypes", nb::list(nb::make_tuple(ns["c_void_p"])));
        libdl.attr("dlclose")(attr(self, kLib).attr("_handle"));
    }
    mark_closed(lib);
    return none();
}

nb::object release(nb::handle self) {
    nb::object adb_path = self.attr("adb_path");
    std::unique_ptr<nb::python_error> removal_error;
    // The package ships no adb: only an installed one has a forward to remove.
    if (!zl::is_none(adb_path) && path_exists(adb_path)) {
        try {
            runtime_class().attr("_remove_adb_forward")(adb_path, self.attr("device_id"));
        } catch (nb::python_error &e) {
            removal_error = std::make_unique<nb::python_error>(std::move(e));
        }
    }
    self.attr("_release_context")();
    set_self(self, "graph_is_built", nb::bool_(false));
    if (removal_error) {
        removal_error->restore();
        zl::throw_error();
    }
    return none();
}

// ------------------------------------------------------------ module set-up

nb::object make_runtime_class() {
    nb::dict body;
    nb::object platform = ns["platform"];
    body["architecture"] = platform.attr("architecture")()[0];
    body["machine"] = platform.attr("machine")();
    body["system"] = platform.attr("system")();
    body["os_platform"] = ns["get_os_platform"]();
    // The interpreter derives the class's signature (`inspect.signature(ZELTRuntime)`)
    // from this form of docstring; a native __init__ is not consulted there.
    body["__doc__"] =
        "ZELTRuntime(root_dir, target, device_id, perf_debug=False, eval_memory=False, async_mode=False, "
        "zelt2precompile=False, core_mask=0)\n--\n\n";

    body["__init__"] =
        zl::instance_method(zl::function<9>({"__init__",
                                             {"self", "root_dir", "target", "device_id", "perf_debug",
                                              "eval_memory", "async_mode", "zelt2precompile", "core_mask"},
                                             4,
                                             {"False", "False", "False", "False", "0"}},
                                            [](auto a) { return init(a[0], a); }));
    zl::add_method<1>(body, {"_get_zelt_api_lib_path", {"self"}, 1},
                      [](auto a) { return get_zelt_api_lib_path(a[0]); });
    zl::add_method<1>(body, {"_load_library", {"self"}, 1}, [](auto a) { return load_library(a[0]); });
    zl::add_method<1>(body, {"_load_libdl", {"self"}, 1}, [](auto a) { return load_libdl(a[0]); });
    zl::add_method<3>(body, {"build_graph", {"self", "zelt_model", "load_model_in_npu"}, 2, {"False"}},
                      [](auto a) { return build_graph(a[0], a[1], a[2]); });
    zl::add_method<1>(body, {"_release_context", {"self"}, 1}, [](auto a) { return release_context(a[0]); });
    zl::add_method<1>(body, {"release", {"self"}, 1}, [](auto a) { return release(a[0]); });
    zl::add_method<6>(body,
                      {"set_inputs",
                       {"self", "inputs", "data_type", "data_format", "inputs_pass_through", "eval_perf"},
                       4,
                       {"None", "False"}},
                      [](auto a) { return set_inputs(a[0], a[1], a[2], a[3], a[4], a[5]); });
    zl::add_method<2>(body, {"run", {"self", "get_frame_id"}, 1, {"False"}},
                      [](auto a) { return run(a[0], a[1]); });
    zl::add_method<2>(body, {"get_outputs", {"self", "get_frame_id"}, 1, {"False"}},
                      [](auto a) { return get_outputs(a[0], a[1]); });

    // Kept to recognise them behind `self.x`; they live as long as the class.
    auto own = [&](const char *name, nb::object f) {
        body[name] = zl::instance_method(f);
        return f.release().ptr();
    };
    own_get_in_out_num = own("get_in_out_num", zl::function<1>({"get_in_out_num", {"self"}, 1},
                                                               [](auto a) { return in_out_num(a[0]); }));
    own_get_tensor_attr =
        own("get_tensor_attr",
            zl::function<3>({"get_tensor_attr", {"self", "index", "is_output"}, 2, {"False"}},
                            [](auto a) { return tensor_attr(a[0], a[1], a[2].ptr() && zl::truthy(a[2])); }));
    own_get_output_shape =
        own("get_output_shape", zl::function<2>({"get_output_shape", {"self", "index"}, 2},
                                                [](auto a) { return output_shape(a[0], a[1]); }));
    zl::add_static<1>(body, {"_get_type_format", {"dtype"}, 1}, [](auto a) { return get_type_format(a[0]); });

    zl::add_method<1>(body, {"get_sdk_version", {"self"}, 1}, [](auto a) { return get_sdk_version(a[0]); });
    zl::add_method<2>(body, {"set_core_mask", {"self", "core_mask"}, 2},
                      [](auto a) { return set_core_mask(a[0], a[1]); });
    zl::add_method<1>(body, {"get_run_perf", {"self"}, 1}, [](auto a) { return get_run_perf(a[0]); });
    add_device_methods(body);
    return zl::make_class(ns, "ZELTRuntime", body);
}

}  // namespace
}  // namespace zrt

NB_MODULE(zelt_runtime, m) {
    using namespace zrt;
    ns.init(m);
    init_library_registry();
    if (PyArray_ImportNumPyAPI() < 0) zl::throw_error();

    for (const char *name : {"os", "sys", "time", "platform", "subprocess", "shlex", "psutil"})
        ns.set(name, zl::import(name));
    nb::object numpy = zl::import("numpy");
    ns.set("np", numpy);
    numpy_module = nb::object(numpy).release().ptr();
    numpy_empty = zl::getattr(numpy, "empty").release().ptr();
    ns.set("zeltLog", zl::import("zeltlite.api.zelt_log").attr("ZELTLog"));
    nb::object chipmap = zl::import("zeltlite.api.npu_config.npu_chipmap");
    for (const char *name :
         {"get_support_target_soc", "get_npu_inside_soc", "get_npu_assemble_soc", "get_target_npu_model"})
        ns.set(name, chipmap.attr(name));

    define_constants();
    zl::import_star(ns, zl::import("ctypes"));
    zl::import_star(ns, zl::import("zeltlite.api.zelt_utils"));
    define_structures();

    zl::def<0>(ns, {"get_os_platform", {}, 0}, [](auto) { return get_os_platform(); });
    ns.set("ZELTRuntime", make_runtime_class());
}
