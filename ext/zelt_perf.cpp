// zeltlite.api.zelt_perf: the runtime's memory-profile text turned into byte
// counts, and the byte counts into the fixed-layout report.
#include "common/zl.hpp"

namespace {

zl::Namespace ns;

const zl::Name kMaxPhrase{"maximum allocation"};
const zl::Name kTotalPhrase{"total allocation"};
const zl::Name kColon{":"};
const zl::Name kStrip{"strip"};
const zl::Name kSplit{"split"};
const zl::Name kSplitlines{"splitlines"};
const zl::Name kOrderedDict{"OrderedDict"};
const zl::Name kGetReadable{"get_readable_value"};

bool contains(nb::handle text, const zl::Name &phrase) {
    int r = PySequence_Contains(text.ptr(), phrase.get().ptr());
    if (r < 0) zl::throw_error();
    return r != 0;
}

// int(line.split(":")[1].strip()), with the interpreter's own errors.
nb::object allocation_value(nb::handle line) {
    nb::object parts = zl::getattr(line, kSplit)(kColon.get());
    nb::object field = zl::steal(PySequence_GetItem(parts.ptr(), 1));
    nb::object stripped = zl::getattr(field, kStrip)();
    return zl::steal(PyNumber_Long(stripped.ptr()));
}

nb::object get_readable_value(nb::handle value) {
    static const zl::Name byte{"Byte"}, kib{"KiB"}, mib{"MiB"}, two_places{"%.2f"};
    nb::object kilo = zl::to_int(1024), mega = zl::to_int(1048576);
    auto less = [](nb::handle a, nb::handle b) {
        int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
        if (r < 0) zl::throw_error();
        return r != 0;
    };
    auto scaled = [&](nb::handle divisor) {
        nb::object q = zl::steal(PyNumber_TrueDivide(value.ptr(), divisor.ptr()));
        return zl::steal(PyUnicode_Format(two_places.get().ptr(), q.ptr()));
    };
    if (less(value, kilo)) return nb::make_tuple(byte.get(), zl::to_str(value));
    if (less(value, mega)) return nb::make_tuple(kib.get(), scaled(kilo));
    return nb::make_tuple(mib.get(), scaled(mega));
}

nb::object collect_memory_detail(nb::handle text) {
    nb::object ordered_dict = ns[kOrderedDict];
    nb::object detail = ordered_dict(), system = ordered_dict(), npu = ordered_dict(), total = ordered_dict();
    nb::object lines = zl::getattr(text, kSplitlines)();

    nb::object zero = zl::to_int(0);
    nb::object sys_max = zero, sys_total = zero, npu_max = zero, npu_total = zero;
    bool have_sys_max = false, have_sys_total = false;
    for (nb::handle line : lines) {
        if (contains(line, kMaxPhrase)) {
            nb::object v = allocation_value(line);
            if (!have_sys_max) {
                sys_max = v;
                have_sys_max = true;
            } else {
                npu_max = v;
            }
        }
        if (contains(line, kTotalPhrase)) {
            nb::object v = allocation_value(line);
            if (!have_sys_total) {
                sys_total = v;
                have_sys_total = true;
            } else {
                npu_total = v;
            }
        }
    }
    system["maximum_allocation"] = sys_max;
    system["total_allocation"] = sys_total;
    npu["maximum_allocation"] = npu_max;
    npu["total_allocation"] = npu_total;
    total["maximum_allocation"] = zl::steal(PyNumber_Add(sys_max.ptr(), npu_max.ptr()));
    total["total_allocation"] = zl::steal(PyNumber_Add(sys_total.ptr(), npu_total.ptr()));
    detail["system_memory"] = system;
    detail["npu_memory"] = npu;
    detail["total_memory"] = total;
    return detail;
}

nb::object format_memory_detail(nb::handle zelt_data, nb::handle detail) {
    static const char *rule = "======================================================\n";
    nb::object readable = ns[kGetReadable];
    // "{} {}" filled with the number text, then the unit.
    auto amount = [&](nb::handle value) {
        nb::object r = readable(value);
        return zl::format("{} {}", r[1], r[0]);
    };
    auto item = [&](const char *outer, const char *inner) {
        return zl::getitem(zl::getitem(detail, outer), inner);
    };

    // The pieces stay Python strs up to the final join: a number text is
    // whatever str() of the value gave, which need not be valid UTF-8.
    nb::list out;
    auto add = [&](const char *text) { out.append(nb::str(text)); };
    auto add_obj = [&](nb::handle s) { out.append(s); };
    auto allocation_lines = [&](const char *outer) {
        nb::object max_v = item(outer, "maximum_allocation");
        add_obj(zl::format("    maximum allocation : {}\n", amount(max_v)));
        nb::object total_v = item(outer, "total_allocation");
        add_obj(zl::format("    total allocation   : {}\n", amount(total_v)));
    };

    add(rule);
    add("            Memory Profile Info Dump                  \n");
    add(rule);
    add("System memory:\n");
    allocation_lines("system_memory");
    add("NPU memory:\n");
    allocation_lines("npu_memory");
    add("\nTotal memory:\n");
    allocation_lines("total_memory");
    add("\n");
    add("INFO: When evaluating memory usage, we need consider  \n");
    Py_ssize_t size = PyObject_Size(zelt_data.ptr());
    if (size < 0) zl::throw_error();
    add_obj(zl::format("the size of model, current model size is: {}       \n", amount(zl::to_int(size))));
    add(rule);
    return zl::steal(PyUnicode_Join(nb::str("").ptr(), out.ptr()));
}

}  // namespace

NB_MODULE(zelt_perf, m) {
    ns.init(m);
    ns.set("OrderedDict", zl::import("collections").attr("OrderedDict"));
    zl::def<1>(ns, {"get_readable_value", {"value"}, 1}, [](auto a) { return get_readable_value(a[0]); });
    zl::def<1>(ns, {"collect_memory_detail", {"memory_detail_str"}, 1},
               [](auto a) { return collect_memory_detail(a[0]); });
    zl::def<2>(ns, {"format_memory_detail", {"zelt_data", "detail"}, 2},
               [](auto a) { return format_memory_detail(a[0], a[1]); });
}
