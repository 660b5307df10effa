#include "diff/patch.hpp"

namespace vorlan::diff {
namespace {

// Member names and op names are plain ASCII letters, so the fixed text around them
// is written as it is rather than scanned for characters to escape: a patch of many
// small ops is mostly this text.
void write_path(json::Writer& w, const Path& path) {
    w.raw("\"path\":[");
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (i) w.raw(',');
        write_path_seg(w, path[i]);
    }
    w.raw(']');
}

// `member` is the text before the value: the comma, the quoted name and the colon.
void write_name(json::Writer& w, std::string_view member, std::string_view name) {
    w.raw(member);
    w.string(name);
}

void write_index(json::Writer& w, std::string_view member, std::uint64_t n) {
    w.raw(member);
    w.u64(n);
}

void write_body(json::Writer& w, const SetProp& op) {
    write_name(w, ",\"name\":", op.name);
    w.raw(",\"value\":");
    drovane::write_value(w, op.value);
}
void write_body(json::Writer& w, const RemoveProp& op) { write_name(w, ",\"name\":", op.name); }
void write_body(json::Writer& w, const SetEvent& op) {
    write_name(w, ",\"name\":", op.name);
    w.raw(",\"action\":");
    action::write_action(w, *op.action);
}
void write_body(json::Writer& w, const RemoveEvent& op) { write_name(w, ",\"name\":", op.name); }
void write_body(json::Writer& w, const SetEventOptions& op) {
    write_name(w, ",\"name\":", op.name);
    w.raw(",\"options\":");
    if (op.options) node::write_event_options(w, *op.options);
    else w.null();
}
void write_body(json::Writer& w, const SetBinding& op) {
    write_name(w, ",\"name\":", op.name);
    w.raw(",\"binding\":");
    node::write_binding(w, *op.binding);
}
void write_body(json::Writer& w, const RemoveBinding& op) { write_name(w, ",\"name\":", op.name); }
void write_body(json::Writer& w, const SetKey& op) {
    w.raw(",\"key\":");
    if (op.key) w.string(*op.key);
    else w.null();
}
void write_body(json::Writer& w, const InsertChild& op) {
    write_name(w, ",\"slot\":", op.slot);
    write_index(w, ",\"index\":", op.index);
    w.raw(",\"node\":");
    node::write_node(w, *op.node);
}
void write_body(json::Writer& w, const RemoveChild& op) {
    write_name(w, ",\"slot\":", op.slot);
    write_index(w, ",\"index\":", op.index);
}
void write_body(json::Writer& w, const MoveChild& op) {
    write_name(w, ",\"slot\":", op.slot);
    write_index(w, ",\"from\":", op.from);
    write_index(w, ",\"to\":", op.to);
}
void write_body(json::Writer& w, const Replace& op) {
    w.raw(",\"node\":");
    node::write_node(w, *op.node);
}

}  // namespace

void write_path_seg(json::Writer& w, const PathSeg& seg) {
    w.raw("{\"slot\":");
    w.string(seg.slot);
    w.raw(",\"index\":");
    w.u64(seg.index);
    w.raw('}');
}

void write_op(json::Writer& w, const Op& op) {
    w.raw("{\"");
    w.raw(op_name(op));
    w.raw("\":{");
    std::visit(
        [&](const auto& o) {
            write_path(w, o.path);
            write_body(w, o);
        },
        op);
    w.raw("}}");
}

void write_ops(json::Writer& w, const Vector<Op>& ops) {
    w.raw("{\"ops\":");
    json::write_array(w, ops, write_op);
    w.raw('}');
}

}  // namespace vorlan::diff
