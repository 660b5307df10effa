#include "diff/patch.hpp"

namespace vorlan::diff {
namespace {

// Member names and op names are plain ASCII letters, so the fixed text around them
// is written as it is rather than scanned for characters to escape: a patch of many
// small ops is mostly this text.

// `{"Name":{"path":[...]`; the op ends with end().
void begin(json::Writer& w, std::string_view op, std::string_view path) {
    w.raw("{\"");
    w.raw(op);
    w.raw("\":{\"path\":[");
    w.raw(path);
    w.raw(']');
}
void end(json::Writer& w) { w.raw("}}"); }

// `member` is the text before the value: the comma, the quoted name and the colon.
void write_name(json::Writer& w, std::string_view member, std::string_view name) {
    w.raw(member);
    w.string(name);
}

void write_index(json::Writer& w, std::string_view member, std::uint64_t n) {
    w.raw(member);
    w.u64(n);
}

// An op on one named entry of a node's map: its removal, or its setting to the value
// write_value writes after `member`.
void removal(json::Writer& w, std::string_view op, std::string_view path, std::string_view name) {
    begin(w, op, path);
    write_name(w, ",\"name\":", name);
    end(w);
}
template <class F>
void setting(json::Writer& w, std::string_view op, std::string_view path, std::string_view name,
             std::string_view member, F&& write_value) {
    begin(w, op, path);
    write_name(w, ",\"name\":", name);
    w.raw(member);
    write_value();
    end(w);
}

}  // namespace

namespace op_text {

void set_prop(json::Writer& w, std::string_view path, std::string_view name, const drovane::Value& value) {
    setting(w, "SetProp", path, name, ",\"value\":", [&] { drovane::write_value(w, value); });
}
void remove_prop(json::Writer& w, std::string_view path, std::string_view name) {
    removal(w, "RemoveProp", path, name);
}
void set_event(json::Writer& w, std::string_view path, std::string_view name, const action::Action& action) {
    setting(w, "SetEvent", path, name, ",\"action\":", [&] { action::write_action(w, action); });
}
void remove_event(json::Writer& w, std::string_view path, std::string_view name) {
    removal(w, "RemoveEvent", path, name);
}
void set_event_options(json::Writer& w, std::string_view path, std::string_view name,
                       const node::EventOptions* options) {
    setting(w, "SetEventOptions", path, name, ",\"options\":", [&] {
        if (options) node::write_event_options(w, *options);
        else w.null();
    });
}
void set_binding(json::Writer& w, std::string_view path, std::string_view name, const node::Binding& binding) {
    setting(w, "SetBinding", path, name, ",\"binding\":", [&] { node::write_binding(w, binding); });
}
void remove_binding(json::Writer& w, std::string_view path, std::string_view name) {
    removal(w, "RemoveBinding", path, name);
}
void set_key(json::Writer& w, std::string_view path, std::optional<std::string_view> key) {
    begin(w, "SetKey", path);
    w.raw(",\"key\":");
    if (key) w.string(*key);
    else w.null();
    end(w);
}
void insert_child(json::Writer& w, std::string_view path, std::string_view slot, std::uint64_t index,
                  const node::Node& node) {
    begin(w, "InsertChild", path);
    write_name(w, ",\"slot\":", slot);
    write_index(w, ",\"index\":", index);
    w.raw(",\"node\":");
    node::write_node(w, node);
    end(w);
}
void remove_child(json::Writer& w, std::string_view path, std::string_view slot, std::uint64_t index) {
    begin(w, "RemoveChild", path);
    write_name(w, ",\"slot\":", slot);
    write_index(w, ",\"index\":", index);
    end(w);
}
void move_child(json::Writer& w, std::string_view path, std::string_view slot, std::uint64_t from,
                std::uint64_t to) {
    begin(w, "MoveChild", path);
    write_name(w, ",\"slot\":", slot);
    write_index(w, ",\"from\":", from);
    write_index(w, ",\"to\":", to);
    end(w);
}
void replace(json::Writer& w, std::string_view path, const node::Node& node) {
    begin(w, "Replace", path);
    w.raw(",\"node\":");
    node::write_node(w, node);
    end(w);
}

}  // namespace op_text

void write_path_seg(json::Writer& w, std::string_view slot, std::uint64_t index) {
    w.raw("{\"slot\":");
    w.string(slot);
    w.raw(",\"index\":");
    w.u64(index);
    w.raw('}');
}

void write_path_seg(json::Writer& w, const PathSeg& seg) { write_path_seg(w, seg.slot, seg.index); }

void write_op(json::Writer& w, const Op& op) {
    json::Writer path;
    for (const PathSeg& seg : std::visit([](const auto& o) -> const Path& { return o.path; }, op)) {
        if (!path.out.empty()) path.raw(',');
        write_path_seg(path, seg);
    }
    const std::string_view p = path.out;
    std::visit(Overloaded{
                   [&](const SetProp& o) { op_text::set_prop(w, p, o.name, o.value); },
                   [&](const RemoveProp& o) { op_text::remove_prop(w, p, o.name); },
                   [&](const SetEvent& o) { op_text::set_event(w, p, o.name, *o.action); },
                   [&](const RemoveEvent& o) { op_text::remove_event(w, p, o.name); },
                   [&](const SetEventOptions& o) {
                       op_text::set_event_options(w, p, o.name, o.options ? &*o.options : nullptr);
                   },
                   [&](const SetBinding& o) { op_text::set_binding(w, p, o.name, *o.binding); },
                   [&](const RemoveBinding& o) { op_text::remove_binding(w, p, o.name); },
                   [&](const SetKey& o) {
                       op_text::set_key(w, p, o.key ? std::optional<std::string_view>(*o.key) : std::nullopt);
                   },
                   [&](const InsertChild& o) { op_text::insert_child(w, p, o.slot, o.index, *o.node); },
                   [&](const RemoveChild& o) { op_text::remove_child(w, p, o.slot, o.index); },
                   [&](const MoveChild& o) { op_text::move_child(w, p, o.slot, o.from, o.to); },
                   [&](const Replace& o) { op_text::replace(w, p, *o.node); },
               },
               op);
}

void write_ops(json::Writer& w, const Vector<Op>& ops) {
    w.raw("{\"ops\":");
    json::write_array(w, ops, write_op);
    w.raw('}');
}

}  // namespace vorlan::diff
