#include "diff.hpp"
#include "json/collections.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace vorlan::diff {
namespace {

constexpr std::string_view kOpNames[] = {"SetProp",         "RemoveProp",  "SetEvent",      "RemoveEvent",
                                         "SetEventOptions", "SetBinding",  "RemoveBinding", "SetKey",
                                         "InsertChild",     "RemoveChild", "MoveChild",     "Replace"};
static_assert(std::size(kOpNames) == std::variant_size_v<Op>);

int op_index(std::string_view name) {
    for (std::size_t i = 0; i < std::size(kOpNames); ++i)
        if (kOpNames[i] == name) return static_cast<int>(i);
    return -1;
}

// ---- writing ----------------------------------------------------------------

void write_path(json::Writer& w, const Path& path) {
    w.raw("\"path\":[");
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (i) w.raw(',');
        write_path_seg(w, path[i]);
    }
    w.raw(']');
}

void write_name(json::Writer& w, std::string_view key, std::string_view name) {
    w.raw(',');
    w.key(key);
    w.string(name);
}

void write_index(json::Writer& w, std::string_view key, std::uint64_t n) {
    w.raw(',');
    w.key(key);
    w.u64(n);
}

void write_body(json::Writer& w, const SetProp& op) {
    write_name(w, "name", op.name);
    w.raw(",\"value\":");
    drovane::write_value(w, op.value);
}
void write_body(json::Writer& w, const RemoveProp& op) { write_name(w, "name", op.name); }
void write_body(json::Writer& w, const SetEvent& op) {
    write_name(w, "name", op.name);
    w.raw(",\"action\":");
    action::write_action(w, *op.action);
}
void write_body(json::Writer& w, const RemoveEvent& op) { write_name(w, "name", op.name); }
void write_body(json::Writer& w, const SetEventOptions& op) {
    write_name(w, "name", op.name);
    w.raw(",\"options\":");
    if (op.options) node::write_event_options(w, *op.options);
    else w.null();
}
void write_body(json::Writer& w, const SetBinding& op) {
    write_name(w, "name", op.name);
    w.raw(",\"binding\":");
    node::write_binding(w, *op.binding);
}
void write_body(json::Writer& w, const RemoveBinding& op) { write_name(w, "name", op.name); }
void write_body(json::Writer& w, const SetKey& op) {
    w.raw(",\"key\":");
    if (op.key) w.string(*op.key);
    else w.null();
}
void write_body(json::Writer& w, const InsertChild& op) {
    write_name(w, "slot", op.slot);
    write_index(w, "index", op.index);
    w.raw(",\"node\":");
    node::write_node(w, *op.node);
}
void write_body(json::Writer& w, const RemoveChild& op) {
    write_name(w, "slot", op.slot);
    write_index(w, "index", op.index);
}
void write_body(json::Writer& w, const MoveChild& op) {
    write_name(w, "slot", op.slot);
    write_index(w, "from", op.from);
    write_index(w, "to", op.to);
}
void write_body(json::Writer& w, const Replace& op) {
    w.raw(",\"node\":");
    node::write_node(w, *op.node);
}

// ---- reading ----------------------------------------------------------------

// One declared field of a record read in map or array form.
template <class T>
struct Field {
    std::string_view key;
    bool (*read)(json::Reader&, T&);
    bool optional = false;  // in map form, absent reads as nothing
};

template <class T, std::size_t N>
bool read_record(json::Reader& r, T& out, const Field<T> (&fields)[N], std::string_view struct_text,
                 std::string_view array_text) {
    int c = r.peek_ws();
    if (c == '{') return r.in_object([&] {
        bool first = true;
        bool seen[N] = {};
        std::string_view key;
        for (;;) {
            int k = r.next_key(first, key);
            if (k < 0) return false;
            if (k == 0) break;
            std::size_t i = 0;
            while (i < N && fields[i].key != key) ++i;
            if (i == N) {
                if (!r.colon() || !r.skip_value()) return false;
                continue;
            }
            if (seen[i]) return r.fail_unpositioned(json::duplicate_field(fields[i].key));
            seen[i] = true;
            if (!r.colon() || !fields[i].read(r, out)) return false;
        }
        for (std::size_t i = 0; i < N; ++i)
            if (!seen[i] && !fields[i].optional) return r.fail_unpositioned(json::missing_field(fields[i].key));
        return true;
    });
    if (c == '[') return r.in_array([&] {
        bool first = true;
        for (std::size_t i = 0; i < N; ++i) {
            int e = r.next_element(first);
            if (e < 0) return false;
            if (e == 0) return r.fail_unpositioned(json::invalid_length(i, array_text));
            if (!fields[i].read(r, out)) return false;
        }
        return true;
    });
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here(struct_text);
}

bool read_path(json::Reader& r, Path& out) { return json::read_list(r, out, read_path_seg); }

template <class T>
bool read_path_field(json::Reader& r, T& op) {
    return read_path(r, op.path);
}
template <class T>
bool read_name_field(json::Reader& r, T& op) {
    return r.read_string(op.name);
}
template <class T>
bool read_slot_field(json::Reader& r, T& op) {
    return r.read_string(op.slot);
}
template <class T>
bool read_index_field(json::Reader& r, T& op) {
    return r.read_u64(op.index, "usize");
}
template <class T>
bool read_node_field(json::Reader& r, T& op) {
    return node::read_node(r, *op.node);
}

template <class T>
constexpr Field<T> path_field{"path", read_path_field<T>};
template <class T>
constexpr Field<T> name_field{"name", read_name_field<T>};
template <class T>
constexpr Field<T> slot_field{"slot", read_slot_field<T>};

// Field tables per variant, in declared order.
constexpr Field<SetProp> kSetProp[] = {
    path_field<SetProp>, name_field<SetProp>,
    {"value", [](json::Reader& r, SetProp& op) { return drovane::read_value(r, op.value); }}};
constexpr Field<RemoveProp> kRemoveProp[] = {path_field<RemoveProp>, name_field<RemoveProp>};
constexpr Field<SetEvent> kSetEvent[] = {
    path_field<SetEvent>, name_field<SetEvent>,
    {"action", [](json::Reader& r, SetEvent& op) { return action::read_action(r, *op.action); }}};
constexpr Field<RemoveEvent> kRemoveEvent[] = {path_field<RemoveEvent>, name_field<RemoveEvent>};
constexpr Field<SetEventOptions> kSetEventOptions[] = {
    path_field<SetEventOptions>, name_field<SetEventOptions>,
    {"options",
     [](json::Reader& r, SetEventOptions& op) { return node::read_event_options_nullable(r, op.options); }, true}};
constexpr Field<SetBinding> kSetBinding[] = {
    path_field<SetBinding>, name_field<SetBinding>,
    {"binding", [](json::Reader& r, SetBinding& op) { return node::read_binding(r, *op.binding); }}};
constexpr Field<RemoveBinding> kRemoveBinding[] = {path_field<RemoveBinding>, name_field<RemoveBinding>};
constexpr Field<SetKey> kSetKey[] = {
    path_field<SetKey>, {"key", [](json::Reader& r, SetKey& op) { return json::read_optional_string(r, op.key); }, true}};
constexpr Field<InsertChild> kInsertChild[] = {path_field<InsertChild>, slot_field<InsertChild>,
                                               {"index", read_index_field<InsertChild>},
                                               {"node", read_node_field<InsertChild>}};
constexpr Field<RemoveChild> kRemoveChild[] = {path_field<RemoveChild>, slot_field<RemoveChild>,
                                               {"index", read_index_field<RemoveChild>}};
constexpr Field<MoveChild> kMoveChild[] = {
    path_field<MoveChild>, slot_field<MoveChild>,
    {"from", [](json::Reader& r, MoveChild& op) { return r.read_u64(op.from, "usize"); }},
    {"to", [](json::Reader& r, MoveChild& op) { return r.read_u64(op.to, "usize"); }}};
constexpr Field<Replace> kReplace[] = {path_field<Replace>, {"node", read_node_field<Replace>}};

// Per variant: the expected text of a wrong body type and of a short array body.
struct BodyTexts {
    std::string_view struct_text;
    std::string_view array_text;
};
constexpr BodyTexts kBodyTexts[] = {
    {"struct variant Op::SetProp", "struct variant Op::SetProp with 3 elements"},
    {"struct variant Op::RemoveProp", "struct variant Op::RemoveProp with 2 elements"},
    {"struct variant Op::SetEvent", "struct variant Op::SetEvent with 3 elements"},
    {"struct variant Op::RemoveEvent", "struct variant Op::RemoveEvent with 2 elements"},
    {"struct variant Op::SetEventOptions", "struct variant Op::SetEventOptions with 3 elements"},
    {"struct variant Op::SetBinding", "struct variant Op::SetBinding with 3 elements"},
    {"struct variant Op::RemoveBinding", "struct variant Op::RemoveBinding with 2 elements"},
    {"struct variant Op::SetKey", "struct variant Op::SetKey with 2 elements"},
    {"struct variant Op::InsertChild", "struct variant Op::InsertChild with 4 elements"},
    {"struct variant Op::RemoveChild", "struct variant Op::RemoveChild with 3 elements"},
    {"struct variant Op::MoveChild", "struct variant Op::MoveChild with 4 elements"},
    {"struct variant Op::Replace", "struct variant Op::Replace with 2 elements"},
};
static_assert(std::size(kBodyTexts) == std::variant_size_v<Op>);

template <class T, std::size_t I = 0>
constexpr std::size_t variant_of() {
    if constexpr (std::is_same_v<std::variant_alternative_t<I, Op>, T>) return I;
    else return variant_of<T, I + 1>();
}

template <class T, std::size_t N>
bool read_variant(json::Reader& r, Op& out, const Field<T> (&fields)[N]) {
    const BodyTexts& texts = kBodyTexts[variant_of<T>()];
    return read_record(r, out.emplace<T>(), fields, texts.struct_text, texts.array_text);
}

bool read_body(json::Reader& r, int index, Op& out) {
    switch (index) {
        case 0: return read_variant(r, out, kSetProp);
        case 1: return read_variant(r, out, kRemoveProp);
        case 2: return read_variant(r, out, kSetEvent);
        case 3: return read_variant(r, out, kRemoveEvent);
        case 4: return read_variant(r, out, kSetEventOptions);
        case 5: return read_variant(r, out, kSetBinding);
        case 6: return read_variant(r, out, kRemoveBinding);
        case 7: return read_variant(r, out, kSetKey);
        case 8: return read_variant(r, out, kInsertChild);
        case 9: return read_variant(r, out, kRemoveChild);
        case 10: return read_variant(r, out, kMoveChild);
        default: return read_variant(r, out, kReplace);
    }
}

bool unknown_op(json::Reader& r, std::string_view name) {
    return r.fail(json::unknown_variant(name, json::expected_names(kOpNames)));
}

bool read_op_list(json::Reader& r, Vector<Op>& out) { return json::read_list(r, out, read_op); }

// ---- keyed matching -----------------------------------------------------------

// Old positions grouped by key: each group is chained in list order from its first position.
struct KeyGroups {
    std::vector<std::size_t> first;  // per old position: the group's first position
    std::vector<std::size_t> next;   // per old position: the next one with the same key, or npos
    bool repeats = false;
    std::unordered_map<std::string_view, std::size_t> index;  // key -> first position (long lists)
    const std::vector<std::string_view>* keys = nullptr;

    static constexpr std::size_t kScanLimit = 16;

    explicit KeyGroups(const std::vector<std::string_view>& old_keys) : keys(&old_keys) {
        std::size_t m = old_keys.size();
        first.resize(m);
        next.assign(m, npos);
        std::vector<std::size_t> last;  // per group (indexed by first position): its last position
        last.resize(m);
        if (m > kScanLimit) index.reserve(m);
        for (std::size_t j = 0; j < m; ++j) {
            std::size_t g = m > kScanLimit ? index.try_emplace(old_keys[j], j).first->second : scan(old_keys[j], j);
            first[j] = g;
            if (g != j) {
                repeats = true;
                next[last[g]] = j;
            }
            last[g] = j;
        }
    }

    // The first of the positions before `end` whose key is k, or npos.
    std::size_t scan(std::string_view k, std::size_t end) const {
        for (std::size_t j = 0; j < end; ++j)
            if ((*keys)[j] == k && first[j] == j) return j;
        return end;
    }

    std::size_t find(std::string_view k) const {
        std::size_t m = first.size();
        if (m > kScanLimit) {
            auto it = index.find(k);
            return it == index.end() ? npos : it->second;
        }
        std::size_t j = scan(k, m);
        return j == m ? npos : j;
    }
};

// Counts of the remaining entries by their order among the survivors of the removal pass.
struct Fenwick {
    std::vector<std::size_t> tree;  // 1-based

    explicit Fenwick(std::size_t n) : tree(n + 1) {
        for (std::size_t i = 1; i <= n; ++i) tree[i] = i & (~i + 1);  // all ones
    }
    std::size_t before(std::size_t i) const {  // sum over positions < i
        std::size_t s = 0;
        for (; i > 0; i &= i - 1) s += tree[i];
        return s;
    }
    void remove(std::size_t i) {
        for (++i; i < tree.size(); i += i & (~i + 1)) --tree[i];
    }
};

void keyed_passes_grouped(const Path& path, std::string_view slot, const KeyGroups& groups,
                          const std::vector<std::string_view>& new_keys, Vector<Op>& ops,
                          std::vector<std::size_t>& origin) {
    std::size_t m = groups.first.size();
    std::size_t n = new_keys.size();
    origin.assign(n, npos);

    // At most one op per old and per new position; grow geometrically all the same.
    if (ops.capacity() - ops.size() < m + n) ops.reserve(std::max(ops.size() + m + n, 2 * ops.capacity()));

    std::vector<std::size_t> group_of(n);
    std::vector<char> wanted(m, 0);
    for (std::size_t t = 0; t < n; ++t) {
        std::size_t g = groups.find(new_keys[t]);
        group_of[t] = g;
        if (g != npos) wanted[g] = 1;
    }

    // Removal pass, from the end so that each index is still the old position.
    for (std::size_t j = m; j-- > 0;)
        if (!wanted[groups.first[j]]) ops.emplace_back(RemoveChild{path, String(slot), j});
    if (n == 0) return;

    std::vector<std::size_t> rank(m, npos);  // order among the survivors
    std::size_t survivors = 0;
    for (std::size_t j = 0; j < m; ++j)
        if (wanted[groups.first[j]]) rank[j] = survivors++;

    // The remaining entries keep their relative order behind position t, so the
    // first remaining entry of a key sits at t plus its rank among the remaining.
    Fenwick remaining(survivors);
    std::vector<std::size_t> cursor(m, npos);  // per group: its next unmatched position
    for (std::size_t j = 0; j < m; ++j)
        if (groups.first[j] == j) cursor[j] = j;
    for (std::size_t t = 0; t < n; ++t) {
        std::size_t g = group_of[t];
        std::size_t j = g == npos ? npos : cursor[g];
        if (j == npos) {
            ops.emplace_back(InsertChild{path, String(slot), t, {}});
            continue;
        }
        cursor[g] = groups.next[j];
        std::size_t p = t + remaining.before(rank[j]);
        remaining.remove(rank[j]);
        if (p != t) ops.emplace_back(MoveChild{path, String(slot), p, t});
        origin[t] = j;
    }
}

// ---- diff -----------------------------------------------------------------------

struct Step {
    std::string_view slot;
    std::uint64_t index;
};

struct Differ {
    std::vector<Step> steps;
    Vector<Op>& ops;

    Path path() const {
        Path p;
        p.reserve(steps.size());
        for (const Step& s : steps) p.push_back(PathSeg{String(s.slot), s.index});
        return p;
    }

    // Two passes over a map pair: set what is new or changed, then remove what is gone.
    template <class V, class Set, class Remove>
    void maps(const SortedMap<V>& o, SortedMap<V>& n, Set&& set, Remove&& remove) {
        auto oi = o.begin();
        for (auto& [name, value] : n) {
            int c = 1;
            while (oi != o.end() && (c = oi->first.compare(name)) < 0) ++oi;
            if (oi == o.end() || c != 0 || !(oi->second == value)) set(name, value);
        }
        auto ni = n.begin();
        for (const auto& entry : o) {
            int c = 1;
            while (ni != n.end() && (c = ni->first.compare(entry.first)) < 0) ++ni;
            if (ni == n.end() || c != 0) remove(entry.first);
        }
    }

    void event_options(const node::Node& o, node::Node& n) {
        auto oi = o.event_options.begin(), oe = o.event_options.end();
        auto ni = n.event_options.begin(), ne = n.event_options.end();
        while (oi != oe || ni != ne) {
            if (ni == ne || (oi != oe && oi->first < ni->first)) {
                ops.emplace_back(SetEventOptions{path(), oi->first, std::nullopt});
                ++oi;
            } else if (oi == oe || ni->first < oi->first) {
                ops.emplace_back(SetEventOptions{path(), ni->first, ni->second});
                ++ni;
            } else {
                if (!(oi->second == ni->second)) ops.emplace_back(SetEventOptions{path(), ni->first, ni->second});
                ++oi;
                ++ni;
            }
        }
    }

    void child(std::string_view slot, std::uint64_t index, const node::Node& o, node::Node& n) {
        steps.push_back(Step{slot, index});
        compare(o, n);
        steps.pop_back();
    }

    void positional(std::string_view s, const Vector<node::Node>& O, Vector<node::Node>& N) {
        std::size_t common = std::min(O.size(), N.size());
        for (std::size_t i = 0; i < common; ++i) child(s, i, O[i], N[i]);
        for (std::size_t i = O.size(); i < N.size(); ++i)
            ops.emplace_back(InsertChild{path(), String(s), i, std::move(N[i])});
        for (std::size_t i = O.size(); i-- > N.size();) ops.emplace_back(RemoveChild{path(), String(s), i});
    }

    static bool all_keyed(const Vector<node::Node>& list) {
        for (const node::Node& c : list)
            if (!c.key) return false;
        return true;
    }

    void slot(std::string_view s, const Vector<node::Node>& O, Vector<node::Node>& N) {
        if ((O.empty() && N.empty()) || !all_keyed(O) || !all_keyed(N)) return positional(s, O, N);
        // Equal key sequences need no removal, move or insert: only the child diffs.
        if (O.size() == N.size()) {
            std::size_t i = 0;
            while (i < O.size() && *O[i].key == *N[i].key) ++i;
            if (i == O.size()) {
                for (i = 0; i < O.size(); ++i) child(s, i, O[i], N[i]);
                return;
            }
        }
        std::vector<std::string_view> old_keys, new_keys;
        old_keys.reserve(O.size());
        new_keys.reserve(N.size());
        for (const node::Node& c : O) old_keys.emplace_back(*c.key);
        for (const node::Node& c : N) new_keys.emplace_back(*c.key);
        KeyGroups groups(old_keys);
        // A repeated old key would leave surplus old children behind the new list.
        if (groups.repeats) return positional(s, O, N);

        std::size_t start = ops.size();
        std::vector<std::size_t> origin;
        keyed_passes_grouped(path(), s, groups, new_keys, ops, origin);
        for (std::size_t i = start; i < ops.size(); ++i)
            if (auto* ins = std::get_if<InsertChild>(&ops[i])) *ins->node = std::move(N[ins->index]);
        for (std::size_t t = 0; t < N.size(); ++t)
            if (origin[t] != npos) child(s, t, O[origin[t]], N[t]);
    }

    void compare(const node::Node& o, node::Node& n) {
        if (o.tag != n.tag) return replace(n);
        if (n.tag == "vor-show" && !(o.slots == n.slots)) return replace(n);
        if (n.tag == "vor-each" && (!(o.slots == n.slots) || !(o.props == n.props))) return replace(n);

        if (o.key != n.key) ops.emplace_back(SetKey{path(), n.key});
        maps(
            o.props, n.props,
            [&](const String& name, drovane::Value& v) { ops.emplace_back(SetProp{path(), name, std::move(v)}); },
            [&](const String& name) { ops.emplace_back(RemoveProp{path(), name}); });
        maps(
            o.events, n.events,
            [&](const String& name, action::Action& a) { ops.emplace_back(SetEvent{path(), name, std::move(a)}); },
            [&](const String& name) { ops.emplace_back(RemoveEvent{path(), name}); });
        event_options(o, n);
        maps(
            o.bindings, n.bindings,
            [&](const String& name, node::Binding& b) {
                ops.emplace_back(SetBinding{path(), name, std::move(b)});
            },
            [&](const String& name) { ops.emplace_back(RemoveBinding{path(), name}); });

        const Vector<node::Node> no_old;
        Vector<node::Node> no_new;
        auto oi = o.slots.begin(), oe = o.slots.end();
        auto ni = n.slots.begin(), ne = n.slots.end();
        while (oi != oe || ni != ne) {
            if (ni == ne || (oi != oe && oi->first < ni->first)) {
                slot(oi->first, oi->second, no_new);
                ++oi;
            } else if (oi == oe || ni->first < oi->first) {
                slot(ni->first, no_old, ni->second);
                ++ni;
            } else {
                slot(ni->first, oi->second, ni->second);
                ++oi;
                ++ni;
            }
        }
    }

    void replace(node::Node& n) { ops.emplace_back(Replace{path(), std::move(n)}); }
};

// ---- application ------------------------------------------------------------------

std::size_t height(const node::Node& n) {
    std::size_t h = 0;
    for (const auto& entry : n.slots)
        for (const node::Node& c : entry.second) h = std::max(h, height(c));
    return h + 1;
}

std::string quoted(std::string_view s) {
    json::Writer w(s.size() + 2);
    w.string(s);
    return std::move(w.out);
}

std::string op_label(std::size_t at, const Op& op) {
    return "ops[" + std::to_string(at) + "] (" + std::string(op_name(op)) + "): ";
}

// what: "index 5", "from 5", ...; limit: "at or past the length 3" or "greater than the length 3".
Failure index_failure(std::size_t at, const Op& op, std::string_view what, std::uint64_t index,
                      std::string_view limit, std::size_t length, std::string_view slot, std::string_view tail = {}) {
    return fail(op_label(at, op) + std::string(what) + " " + std::to_string(index) + " is " + std::string(limit) +
                " the length " + std::to_string(length) + " of slot " + quoted(slot) + std::string(tail));
}

const Path& path_of(const Op& op) {
    return std::visit([](const auto& o) -> const Path& { return o.path; }, op);
}

const String* child_slot(const Op& op) {
    if (auto* o = std::get_if<InsertChild>(&op)) return &o->slot;
    if (auto* o = std::get_if<RemoveChild>(&op)) return &o->slot;
    if (auto* o = std::get_if<MoveChild>(&op)) return &o->slot;
    return nullptr;
}

std::optional<Failure> depth_failure(std::size_t at, const Op& op) {
    // Only InsertChild and Replace deepen the tree; the target sits at level |path| + 1.
    std::size_t depth = 0;
    if (auto* ins = std::get_if<InsertChild>(&op)) depth = ins->path.size() + 1 + height(*ins->node);
    else if (auto* rep = std::get_if<Replace>(&op)) depth = rep->path.size() + height(*rep->node);
    if (depth <= max_tree_depth) return std::nullopt;
    return fail(op_label(at, op) + "the tree would be " + std::to_string(depth) + " levels deep, deeper than the " +
                std::to_string(max_tree_depth) + " levels a tree may have");
}

std::optional<Failure> apply_op(node::Node& target, Op& op, std::size_t at) {
    if (auto failure = depth_failure(at, op)) return failure;
    switch (op.index()) {
        case 0: {
            auto& o = std::get<SetProp>(op);
            target.props.set(std::move(o.name), std::move(o.value));
            break;
        }
        case 1: target.props.erase(std::get<RemoveProp>(op).name); break;
        case 2: {
            auto& o = std::get<SetEvent>(op);
            target.events.set(std::move(o.name), std::move(*o.action));
            break;
        }
        case 3: target.events.erase(std::get<RemoveEvent>(op).name); break;
        case 4: {
            auto& o = std::get<SetEventOptions>(op);
            if (o.options) target.event_options.set(std::move(o.name), std::move(*o.options));
            else target.event_options.erase(o.name);
            break;
        }
        case 5: {
            auto& o = std::get<SetBinding>(op);
            target.bindings.set(std::move(o.name), std::move(*o.binding));
            break;
        }
        case 6: target.bindings.erase(std::get<RemoveBinding>(op).name); break;
        case 7: target.key = std::move(std::get<SetKey>(op).key); break;
        case 8: {
            auto& o = std::get<InsertChild>(op);
            Vector<node::Node>* list = target.slots.find(o.slot);
            if (!list) list = &target.slots.set(o.slot, {});
            if (o.index > list->size())
                return index_failure(at, op, "index", o.index, "greater than", list->size(), o.slot);
            list->insert(list->begin() + static_cast<std::ptrdiff_t>(o.index), std::move(*o.node));
            break;
        }
        case 9: {
            auto& o = std::get<RemoveChild>(op);
            Vector<node::Node>* list = target.slots.find(o.slot);
            if (!list) break;
            if (o.index >= list->size())
                return index_failure(at, op, "index", o.index, "at or past", list->size(), o.slot);
            list->erase(list->begin() + static_cast<std::ptrdiff_t>(o.index));
            if (list->empty()) target.slots.erase(o.slot);
            break;
        }
        case 10: {
            auto& o = std::get<MoveChild>(op);
            Vector<node::Node>* list = target.slots.find(o.slot);
            if (!list) break;
            if (o.from >= list->size())
                return index_failure(at, op, "from", o.from, "at or past", list->size(), o.slot);
            if (o.to >= list->size())
                return index_failure(at, op, "to", o.to, "greater than", list->size() - 1, o.slot,
                                     " without the moved child");
            auto b = list->begin();
            auto from = static_cast<std::ptrdiff_t>(o.from), to = static_cast<std::ptrdiff_t>(o.to);
            if (from < to) std::rotate(b + from, b + from + 1, b + to + 1);
            else if (to < from) std::rotate(b + to, b + from, b + from + 1);
            break;
        }
        default: target = std::move(*std::get<Replace>(op).node); break;
    }
    return std::nullopt;
}

// A run of at least this many child ops on one slot is applied through a Sequence.
constexpr std::size_t kRunLimit = 4;

// A list of items under positional insert and erase in O(log n): an implicit treap.
struct Sequence {
    static constexpr std::uint32_t kNil = static_cast<std::uint32_t>(-1);
    std::vector<std::uint32_t> left, right, count, priority;
    std::vector<std::size_t> item;
    std::uint32_t root = kNil;
    std::uint64_t seed = 0x9e3779b97f4a7c15u;

    std::uint32_t size() const { return root == kNil ? 0 : count[root]; }

    std::uint32_t make(std::size_t value) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        left.push_back(kNil);
        right.push_back(kNil);
        count.push_back(1);
        priority.push_back(static_cast<std::uint32_t>(seed >> 32));
        item.push_back(value);
        return static_cast<std::uint32_t>(item.size() - 1);
    }
    std::uint32_t size_of(std::uint32_t t) const { return t == kNil ? 0 : count[t]; }
    void update(std::uint32_t t) { count[t] = 1 + size_of(left[t]) + size_of(right[t]); }

    // The first k items of t go to a, the rest to b.
    void split(std::uint32_t t, std::uint32_t k, std::uint32_t& a, std::uint32_t& b) {
        if (t == kNil) {
            a = b = kNil;
            return;
        }
        if (size_of(left[t]) < k) {
            split(right[t], k - size_of(left[t]) - 1, right[t], b);
            a = t;
        } else {
            split(left[t], k, a, left[t]);
            b = t;
        }
        update(t);
    }
    std::uint32_t merge(std::uint32_t a, std::uint32_t b) {
        if (a == kNil) return b;
        if (b == kNil) return a;
        if (priority[a] > priority[b]) {
            right[a] = merge(right[a], b);
            update(a);
            return a;
        }
        left[b] = merge(a, left[b]);
        update(b);
        return b;
    }

    explicit Sequence(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) root = merge(root, make(i));
    }
    void insert(std::uint32_t at, std::uint32_t t) {
        std::uint32_t a, b;
        split(root, at, a, b);
        root = merge(merge(a, t), b);
    }
    std::uint32_t erase(std::uint32_t at) {
        std::uint32_t a, b, m;
        split(root, at, a, b);
        split(b, 1, m, b);
        root = merge(a, b);
        return m;
    }
    template <class F>
    void each(std::uint32_t t, F&& f) const {
        if (t == kNil) return;
        each(left[t], f);
        f(item[t]);
        each(right[t], f);
    }
};

// Applies ops[begin, end), child ops on one slot of target, with the same effects
// and failures as one by one: an item below the list's old length names an old
// child, any other the node of the InsertChild op at (item - old length).
std::optional<Failure> apply_run(node::Node& target, Vector<Op>& ops, std::size_t begin, std::size_t end) {
    const String& slot = *child_slot(ops[begin]);
    Vector<node::Node>* list = target.slots.find(slot);
    std::size_t old_size = list ? list->size() : 0;
    bool present = list != nullptr;
    Sequence seq(old_size);
    for (std::size_t at = begin; at < end; ++at) {
        Op& op = ops[at];
        std::uint32_t size = seq.size();
        if (auto* o = std::get_if<InsertChild>(&op)) {
            if (auto failure = depth_failure(at, op)) return failure;
            present = true;
            if (o->index > size) return index_failure(at, op, "index", o->index, "greater than", size, slot);
            seq.insert(static_cast<std::uint32_t>(o->index), seq.make(old_size + at));
        } else if (!present) {
            continue;
        } else if (auto* o = std::get_if<RemoveChild>(&op)) {
            if (o->index >= size) return index_failure(at, op, "index", o->index, "at or past", size, slot);
            seq.erase(static_cast<std::uint32_t>(o->index));
            present = seq.size() > 0;
        } else {
            auto& m = std::get<MoveChild>(op);
            if (m.from >= size) return index_failure(at, op, "from", m.from, "at or past", size, slot);
            if (m.to >= size)
                return index_failure(at, op, "to", m.to, "greater than", size - 1, slot, " without the moved child");
            seq.insert(static_cast<std::uint32_t>(m.to), seq.erase(static_cast<std::uint32_t>(m.from)));
        }
    }
    if (!present) {
        if (list) target.slots.erase(slot);
        return std::nullopt;
    }
    Vector<node::Node> result;
    result.reserve(seq.size());
    seq.each(seq.root, [&](std::size_t item) {
        if (item < old_size) result.push_back(std::move((*list)[item]));
        else result.push_back(std::move(*std::get<InsertChild>(ops[item - old_size]).node));
    });
    if (list) *list = std::move(result);
    else target.slots.set(slot, std::move(result));
    return std::nullopt;
}

}  // namespace

std::string_view op_name(const Op& op) { return kOpNames[op.index()]; }

// ---- writing ------------------------------------------------------------------------

void write_path_seg(json::Writer& w, const PathSeg& seg) {
    w.raw("{\"slot\":");
    w.string(seg.slot);
    w.raw(",\"index\":");
    w.u64(seg.index);
    w.raw('}');
}

void write_op(json::Writer& w, const Op& op) {
    w.raw('{');
    w.key(op_name(op));
    w.raw('{');
    std::visit(
        [&](const auto& o) {
            write_path(w, o.path);
            write_body(w, o);
        },
        op);
    w.raw("}}");
}

void write_ops(json::Writer& w, const Vector<Op>& ops) {
    w.raw("{\"ops\":[");
    for (std::size_t i = 0; i < ops.size(); ++i) {
        if (i) w.raw(',');
        write_op(w, ops[i]);
    }
    w.raw("]}");
}

// ---- reading ------------------------------------------------------------------------

bool read_path_seg(json::Reader& r, PathSeg& out) {
    static constexpr Field<PathSeg> kFields[] = {
        {"slot", [](json::Reader& r, PathSeg& s) { return r.read_string(s.slot); }},
        {"index", [](json::Reader& r, PathSeg& s) { return r.read_u64(s.index, "usize"); }}};
    return read_record(r, out, kFields, "struct PathSeg", "struct PathSeg with 2 elements");
}

bool read_op(json::Reader& r, Op& out) {
    std::string_view name;
    int c = r.peek_ws();
    if (c == '"') {
        r.bump();
        if (!r.parse_string(name)) return false;
        if (op_index(name) < 0) return unknown_op(r, name);
        return r.fail_unpositioned(json::invalid_type("unit variant", "struct variant"));
    }
    if (c != '{') return r.fail_peek(c < 0 ? "EOF while parsing a value" : "expected value");
    if (!r.enter()) return false;
    c = r.peek_ws();
    if (c != '"') {
        if (c == '}') return r.fail_peek("expected value");
        return r.fail_peek(c < 0 ? "EOF while parsing an object" : "key must be a string");
    }
    r.bump();
    if (!r.parse_string(name)) return false;
    int index = op_index(name);
    if (index < 0) return unknown_op(r, name);
    if (!r.colon() || !read_body(r, index, out)) return false;
    r.leave();
    return r.end_variant();
}

bool read_patch(json::Reader& r, Patch& out) {
    int c = r.peek_ws();
    if (c == '{') return r.in_object([&] {
        bool first = true;
        bool seen = false;
        std::string_view key;
        for (;;) {
            int k = r.next_key(first, key);
            if (k < 0) return false;
            if (k == 0) break;
            if (key != "ops") {
                if (!r.colon() || !r.skip_value()) return false;
                continue;
            }
            if (seen) return r.fail_unpositioned(json::duplicate_field("ops"));
            seen = true;
            if (!r.colon() || !read_op_list(r, out.ops)) return false;
        }
        if (!seen) return r.fail_unpositioned(json::missing_field("ops"));
        return true;
    });
    if (c == '[') return r.in_array([&] {
        bool first = true;
        int e = r.next_element(first);
        if (e < 0) return false;
        if (e == 0) return r.fail_unpositioned(json::invalid_length(0, "struct Patch with 1 element"));
        return read_op_list(r, out.ops);
    });
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("struct Patch");
}

Result<Patch> read_patch_text(std::string_view text) {
    Patch patch;
    json::Reader r(text);
    if (!read_patch(r, patch) || !r.end_of_text()) return fail(r.error().text());
    return patch;
}

// ---- diff ---------------------------------------------------------------------------

Path child_path(const Path& path, std::string_view slot, std::uint64_t index) {
    Path p;
    p.reserve(path.size() + 1);
    p = path;
    p.push_back(PathSeg{String(slot), index});
    return p;
}

void diff_node(const Path& path, const node::Node& old_node, node::Node& new_node, Vector<Op>& ops) {
    Differ d{{}, ops};
    d.steps.reserve(path.size() + 16);
    for (const PathSeg& s : path) d.steps.push_back(Step{s.slot, s.index});
    d.compare(old_node, new_node);
}

void keyed_passes(const Path& path, std::string_view slot, const std::vector<std::string_view>& old_keys,
                  const std::vector<std::string_view>& new_keys, Vector<Op>& ops,
                  std::vector<std::size_t>& origin) {
    KeyGroups groups(old_keys);
    keyed_passes_grouped(path, slot, groups, new_keys, ops, origin);
}

// ---- application --------------------------------------------------------------------

Result<std::monostate> apply_patch(node::Node& tree, Patch& patch) {
    Vector<Op>& ops = patch.ops;
    for (std::size_t at = 0; at < ops.size(); ++at) {
        const Path& path = path_of(ops[at]);
        node::Node* target = &tree;
        for (const PathSeg& seg : path) {
            Vector<node::Node>* list = target->slots.find(seg.slot);
            if (!list) return fail("path references an existing slot");
            if (seg.index >= list->size())
                return index_failure(at, ops[at], "path index", seg.index, "at or past", list->size(), seg.slot);
            target = &(*list)[seg.index];
        }
        // A run of child ops on one slot changes nothing on its path: apply it as a whole.
        if (const String* slot = child_slot(ops[at])) {
            std::size_t end = at + 1;
            while (end < ops.size() && child_slot(ops[end]) && *child_slot(ops[end]) == *slot &&
                   path_of(ops[end]) == path)
                ++end;
            if (end - at >= kRunLimit) {
                std::optional<Failure> failure = apply_run(*target, ops, at, end);
                if (failure) return std::move(*failure);
                at = end - 1;
                continue;
            }
        }
        std::optional<Failure> failure = apply_op(*target, ops[at], at);
        if (failure) return std::move(*failure);
    }
    return std::monostate{};
}

}  // namespace vorlan::diff
