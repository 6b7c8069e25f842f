// zeltlite.utils.yaml_io: round-trip YAML load and dump over ruamel.yaml, with
// ordered dicts written as plain mappings and sequences loaded as plain lists.
#include "common/zl.hpp"

namespace {

zl::Namespace ns;

const zl::Name kRuamel{"ruamel"}, kYaml{"yaml"}, kCollections{"collections"}, kSetup{"_setup_yaml"},
    kListConstructor{"_list_constructor"}, kDumper{"Dumper"}, kS{"s"}, kRead{"read"}, kLoad{"load"},
    kDump{"dump"}, kDecode{"decode"};

nb::object setup_yaml(nb::handle indent) {
    nb::object ruamel_yaml = zl::getattr(ns[kRuamel], kYaml);
    nb::dict kw;
    kw["typ"] = "rt";
    nb::object yaml = ruamel_yaml.attr("YAML")(**kw);
    yaml.attr("version") = nb::make_tuple(1, 2);
    yaml.attr("indent") = indent;
    yaml.attr("representer")
        .attr("add_representer")(ns[kCollections].attr("OrderedDict"),
                                 ruamel_yaml.attr("RoundTripDumper").attr("represent_dict"));
    yaml.attr("constructor")
        .attr("add_constructor")(
            ruamel_yaml.attr("resolver").attr("BaseResolver").attr("DEFAULT_SEQUENCE_TAG"),
            ns[kListConstructor]);
    return yaml;
}

// The loader's own sequence construction yields the sequence once and fills
// it afterwards; run it to the end and keep the elements as a plain list.
nb::object list_constructor(nb::handle loader, nb::handle node) {
    nb::object produced = zl::steal(PySequence_List(loader.attr("construct_yaml_seq")(node).ptr()));
    nb::object first = zl::steal(PySequence_GetItem(produced.ptr(), 0));
    return zl::steal(PySequence_List(first.ptr()));
}

nb::object load(nb::handle f) {
    nb::object yaml = ns[kSetup]();
    return zl::getattr(yaml, kLoad)(f.attr("read")());
}

nb::object dump(nb::handle data_in, nb::handle f, nb::handle indent, nb::handle comments) {
    nb::object yaml = ns[kSetup](indent);
    nb::object data = nb::borrow(data_in);
    if (!zl::is_none(comments) && PyUnicode_Check(comments.ptr()) &&
        PyUnicode_GET_LENGTH(comments.ptr()) > 0) {
        nb::object dumper = ns[kDumper]();
        zl::getattr(yaml, kDump)(data, dumper);
        data = zl::getattr(yaml, kLoad)(zl::getattr(dumper, kRead)());
        // A top-level sequence comes back as a plain list, which cannot carry
        // a comment: give it the round-trip sequence type that can.
        if (PyList_CheckExact(data.ptr()))
            data = zl::getattr(ns[kRuamel], kYaml).attr("comments").attr("CommentedSeq")(data);
        if (!PyObject_HasAttrString(data.ptr(), "yaml_set_start_comment"))
            zl::raise(PyExc_TypeError, "a start comment needs a mapping or a sequence at the top level");
        data.attr("yaml_set_start_comment")(comments);
    }
    zl::getattr(yaml, kDump)(data, f);
    return nb::none();
}

// Dumper: an in-memory byte sink the YAML emitter writes to.
nb::object dumper_class() {
    auto self_s = [](nb::handle self) { return zl::getattr(self, kS); };
    auto read = [=](nb::handle self) { return zl::getattr(self_s(self), kDecode)("utf-8"); };
    nb::dict body;
    zl::add_method<1>(body, {"__init__", {"self"}, 1}, [](auto a) {
        a[0].attr("s") = nb::bytes("", 0);
        return nb::none();
    });
    zl::add_method<2>(body, {"write", {"self", "s"}, 2}, [=](auto a) {
        a[0].attr("s") = zl::steal(PyNumber_InPlaceAdd(self_s(a[0]).ptr(), a[1].ptr()));
        return nb::none();
    });
    zl::add_method<1>(body, {"read", {"self"}, 1}, [=](auto a) { return read(a[0]); });
    zl::add_method<1>(body, {"str", {"self"}, 1}, [=](auto a) { return read(a[0]); });
    zl::add_method<1>(body, {"get", {"self"}, 1}, [=](auto a) { return self_s(a[0]); });
    return zl::make_class(ns, "Dumper", body);
}

}  // namespace

NB_MODULE(yaml_io, m) {
    ns.init(m);
    ns.set("collections", zl::import("collections"));
    zl::import("ruamel.yaml");
    ns.set("ruamel", zl::import("ruamel"));
    nb::list all;
    all.append("dump");
    all.append("load");
    ns.set("__all__", all);
    ns.set("Dumper", dumper_class());
    zl::def<1>(ns, {"_setup_yaml", {"indent"}, 0, {"2"}}, [](auto a) {
        nb::object indent = a[0].ptr() ? nb::borrow(a[0]) : zl::to_int(2);
        return setup_yaml(indent);
    });
    zl::def<2>(ns, {"_list_constructor", {"loader", "node"}, 2},
               [](auto a) { return list_constructor(a[0], a[1]); });
    zl::def<1>(ns, {"load", {"f"}, 1}, [](auto a) { return load(a[0]); });
    zl::def<4>(ns, {"dump", {"data", "f", "indent", "comments"}, 2, {"2", "None"}}, [](auto a) {
        nb::object indent = a[2].ptr() ? nb::borrow(a[2]) : zl::to_int(2);
        return dump(a[0], a[1], indent, a[3].ptr() ? a[3] : nb::none());
    });
}
