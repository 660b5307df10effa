#pragma once
// Declarative event handlers (Action) and the browser-side value expressions they
// carry (Expr, Ref, EndpointUrl, RequestOptions): types, readers, writers, equality.
// Copying any of these values is a deep copy (the copy constructor).
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "box.hpp"
#include "arena.hpp"
#include "json/json.hpp"
#include "result.hpp"
#include "sorted_map.hpp"

namespace vorlan::action {

struct Ref;
struct Expr;
struct Action;
struct EndpointUrl;
struct RequestOptions;
bool operator==(const Ref&, const Ref&);
bool operator==(const Expr&, const Expr&);
bool operator==(const EndpointUrl&, const EndpointUrl&);
bool operator==(const RequestOptions&, const RequestOptions&);
bool operator==(const Action&, const Action&);

// The element an expression or action targets; tag key "ref".
struct Ref {
    struct This {
        bool operator==(const This&) const = default;
    };
    struct Id {
        String id;
        bool operator==(const Id&) const = default;
    };
    std::variant<This, Id> v;
};

// Tag key "expr"; variant order is the variant index. Call, the largest variant, is
// boxed, so that the others (all that lists of expressions mostly hold) take less room.
struct Expr {
    struct Lit {  // "lit"
        json::JsonValue value;  // objects kept sorted by key
        bool operator==(const Lit&) const = default;
    };
    struct Event {  // "event"
        std::optional<String> path;
        bool operator==(const Event&) const = default;
    };
    struct EventProp {  // "event-prop"
        String path;
        bool operator==(const EventProp&) const = default;
    };
    struct Call {  // "call"
        Ref target;
        String method;
        Vector<Expr> args;
        bool operator==(const Call&) const = default;
    };
    struct EventClosest {  // "event-closest"
        String selector;
        String path;
        bool operator==(const EventClosest&) const = default;
    };
    struct Not {  // "not"
        Box<Expr> of;
        bool operator==(const Not&) const = default;
    };
    struct Prop {  // "prop"
        Ref target;
        String name;
        bool operator==(const Prop&) const = default;
    };
    struct Field {  // "field"
        String name;
        bool operator==(const Field&) const = default;
    };
    struct Item {  // "item"
        String path;
        bool operator==(const Item&) const = default;
    };
    struct Scope {  // "scope"
        String name;
        String path;
        bool operator==(const Scope&) const = default;
    };
    struct Eq {  // "eq"
        Box<Expr> a;
        Box<Expr> b;
        bool operator==(const Eq&) const = default;
    };
    struct All {  // "all"
        Vector<Expr> of;
        bool operator==(const All&) const = default;
    };
    struct Any {  // "any"
        Vector<Expr> of;
        bool operator==(const Any&) const = default;
    };
    struct Cond {  // "cond"
        Box<Expr> test;
        Box<Expr> then;
        Box<Expr> otherwise;  // key "else"
        bool operator==(const Cond&) const = default;
    };
    struct Obj {  // "obj"
        SortedMap<Expr> fields;
        bool operator==(const Obj&) const = default;
    };
    struct Concat {  // "concat"
        Vector<Expr> parts;
        bool operator==(const Concat&) const = default;
    };
    struct Arr {  // "arr"
        Vector<Expr> of;
        bool operator==(const Arr&) const = default;
    };
    std::variant<Lit, Event, EventProp, Box<Call>, EventClosest, Not, Prop, Field, Item, Scope, Eq, All, Any, Cond, Obj,
                 Concat, Arr>
        v;
};

// The URL of a "call" action: a string as written, or an expression (no tag).
struct EndpointUrl {
    struct Static {
        String url;
        bool operator==(const Static&) const = default;
    };
    struct Evaluated {
        Expr expr;
        bool operator==(const Evaluated&) const = default;
    };
    std::variant<Static, Evaluated> v;
};

struct RequestOptions {
    String key;
    std::optional<String> pending;
    Vector<String> watch;
};

// Tag key "kind"; variant order is the variant index. The two largest variants are
// boxed, so that every action, a list of them above all, takes the room of the
// others; the first, which a default action holds, is not.
struct Action {
    struct SetProp {  // "set"
        Ref target;
        String prop;
        Expr value;
        bool operator==(const SetProp&) const = default;
    };
    struct Toggle {  // "toggle"
        Ref target;
        String prop;
        bool operator==(const Toggle&) const = default;
    };
    struct SetField {  // "set-field"
        String field;
        Expr value;
        bool operator==(const SetField&) const = default;
    };
    struct ToggleField {  // "toggle-field"
        String field;
        bool operator==(const ToggleField&) const = default;
    };
    struct Sequence {  // "seq"
        Vector<Action> actions;
        bool operator==(const Sequence&) const = default;
    };
    struct Emit {  // "emit"
        String event;
        std::optional<Expr> detail;
        bool operator==(const Emit&) const = default;
    };
    struct SendPatch {  // "patch"
        String model;
        String field;
        Expr value;
        bool operator==(const SendPatch&) const = default;
    };
    struct If {  // "if"
        Expr cond;
        Box<Action> then;
        std::optional<Box<Action>> els;  // key "else"
        bool operator==(const If&) const = default;
    };
    struct CallEndpoint {  // "call"
        String method;
        EndpointUrl url;
        std::optional<Expr> body;
        std::optional<String> result;
        std::optional<RequestOptions> request;
        bool operator==(const CallEndpoint&) const = default;
    };
    struct Invoke {  // "invoke"
        Ref target;
        String method;
        Vector<Expr> args;
        std::optional<String> result;
        bool operator==(const Invoke&) const = default;
    };
    struct SetStorage {  // "set-storage"
        String key;
        Expr value;
        bool operator==(const SetStorage&) const = default;
    };
    struct Download {  // "download"
        Expr filename;
        Expr value;
        std::optional<String> content_type;  // key "contentType"
        bool operator==(const Download&) const = default;
    };
    struct Refresh {  // "refresh"
        std::optional<String> url;
        bool operator==(const Refresh&) const = default;
    };
    struct NamedJs {  // "js"
        String handler;
        bool operator==(const NamedJs&) const = default;
    };
    std::variant<SetProp, Toggle, SetField, ToggleField, Sequence, Emit, SendPatch, If, Box<CallEndpoint>, Invoke,
                 SetStorage, Box<Download>, Refresh, NamedJs>
        v;
};

// Text entry point: the reader stands before one value of a larger text (or the whole
// input) and is left after it. Errors found while the text is scanned (syntax, nesting,
// the tag) carry the reader's position; errors found when the variant is built from the
// scanned members are left unpositioned for the enclosing reader to position (at the top
// level they stay without a position). The caller tests for trailing characters.
bool read_action(json::Reader& r, Action& out);
bool read_expr(json::Reader& r, Expr& out);

// Whether an already parsed value (objects sorted) reads as an expression whose
// outermost tag is a string: the message (without a position) if not.
std::optional<std::string> expr_json_value_error(const json::JsonValue& v);

// Compact canonical text: tag first, then the declared fields in order.
void write_action(json::Writer& w, const Action& a);
void write_expr(json::Writer& w, const Expr& e);
void write_ref(json::Writer& w, const Ref& r);

// The expression as a generic value (its object keys sorted, so the tag is no longer first).
json::JsonValue expr_to_json_value(const Expr& e);

// normalize_action_json / normalize_expr_json without the one-pass reader, for the
// fuzz targets to hold that reader to the same results.
Result<std::string> normalize_action_json_two_phase(std::string_view value);
Result<std::string> normalize_expr_json_two_phase(std::string_view value);

}  // namespace vorlan::action
