#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "action.hpp"

using namespace vorlan;
using namespace vorlan::action;

namespace {

Action read_action_text(const std::string& text) {
    json::Reader r(text);
    Action a;
    EXPECT_TRUE(read_action(r, a) && r.end_of_text()) << text << ": " << r.error().text();
    return a;
}

Expr read_expr_text(const std::string& text) {
    json::Reader r(text);
    Expr e;
    EXPECT_TRUE(read_expr(r, e) && r.end_of_text()) << text << ": " << r.error().text();
    return e;
}

std::string written(const Action& a) {
    json::Writer w;
    write_action(w, a);
    return w.out;
}

struct EqualityCase {
    const char* a;
    const char* b;
    bool equal;
};

// Equality is structural: input order of obj members is irrelevant, list order is not.
const EqualityCase kActionEquality[] = {
    {R"({"kind":"emit","event":"x"})", R"({"kind":"emit","event":"x","detail":null})", true},
    {R"({"kind":"invoke","target":{"ref":"this"},"method":"m","args":[{"expr":"field","name":"a"},{"expr":"field","name":"b"}]})",
     R"({"kind":"invoke","target":{"ref":"this"},"method":"m","args":[{"expr":"field","name":"b"},{"expr":"field","name":"a"}]})",
     false},
    {R"({"kind":"call","method":"GET","url":"x"})",
     R"({"kind":"call","method":"GET","url":{"expr":"lit","value":"x"}})", false},
    {R"({"kind":"call","method":"GET","url":{"expr":"lit","value":"x"}})",
     R"(["call","GET",["lit","x"],null,null,null])", true},
    {R"({"kind":"call","method":"GET","url":"x","request":{"key":"k","watch":["a","b"]}})",
     R"({"kind":"call","method":"GET","url":"x","request":{"key":"k","watch":["b","a"]}})", false},
    {R"({"kind":"call","method":"GET","url":"x","request":{"key":"k","watch":[]}})",
     R"({"kind":"call","method":"GET","url":"x","request":["k"]})", true},
    {R"({"kind":"call","method":"GET","url":"x","request":{"key":"k","pending":"p"}})",
     R"({"kind":"call","method":"GET","url":"x","request":{"key":"k"}})", false},
    {R"({"kind":"set-field","field":"f","value":{"expr":"obj","fields":{"b":{"expr":"event"},"a":{"expr":"item","path":""}}}})",
     R"({"kind":"set-field","field":"f","value":{"expr":"obj","fields":{"a":{"expr":"item","path":""},"b":{"expr":"event"}}}})",
     true},
    {R"({"kind":"set-field","field":"f","value":{"expr":"lit","value":1}})",
     R"({"kind":"set-field","field":"f","value":{"expr":"lit","value":1.0}})", false},
    {R"({"kind":"set-field","field":"f","value":{"expr":"lit","value":{"b":1,"a":[true,null]}}})",
     R"({"kind":"set-field","field":"f","value":{"expr":"lit","value":{"a":[true,null],"b":1}}})", true},
    {R"({"kind":"toggle","target":{"ref":"this"},"prop":"p"})", R"({"kind":"toggle","target":{"ref":"id","id":"x"},"prop":"p"})",
     false},
    {R"({"kind":"toggle","target":{"ref":"id","id":"x"},"prop":"p"})", R"({"kind":"toggle","target":{"ref":"id","id":"y"},"prop":"p"})",
     false},
    {R"({"kind":"toggle","target":{"ref":"this","id":"x"},"prop":"p"})", R"({"kind":"toggle","target":["this"],"prop":"p"})",
     true},
    {R"({"kind":"set-field","field":"f","value":{"expr":"event"}})",
     R"({"kind":"set-field","field":"f","value":{"expr":"event","path":""}})", false},
    {R"({"kind":"toggle-field","field":"f"})", R"({"kind":"toggle","target":{"ref":"this"},"prop":"f"})", false},
    {R"({"kind":"if","cond":{"expr":"lit","value":true},"then":{"kind":"js","handler":"h"}})",
     R"({"kind":"if","cond":{"expr":"lit","value":true},"then":{"kind":"js","handler":"h"},"else":{"kind":"js","handler":"h"}})",
     false},
};

TEST(ActionEquality, Table) {
    for (const EqualityCase& c : kActionEquality) {
        Action a = read_action_text(c.a);
        Action b = read_action_text(c.b);
        EXPECT_EQ(a == b, c.equal) << c.a << " vs " << c.b;
        EXPECT_TRUE(a == a) << c.a;
    }
}

TEST(ActionCopy, DeepCopySharesNothing) {
    Action a = read_action_text(
        R"({"kind":"if","cond":{"expr":"not","of":{"expr":"field","name":"x"}},"then":{"kind":"seq","actions":[{"kind":"js","handler":"h"}]},"else":{"kind":"emit","event":"e","detail":{"expr":"arr","of":[{"expr":"lit","value":[1]}]}}})");
    const std::string before = written(a);
    Action copy = a;
    EXPECT_TRUE(copy == a);
    auto& iff = std::get<Action::If>(copy.v);
    std::get<Expr::Field>(std::get<Expr::Not>(iff.cond.v).of->v).name = "changed";
    std::get<Action::Sequence>(iff.then->v).actions.clear();
    std::get<Action::Emit>((*iff.els)->v).detail.reset();
    EXPECT_EQ(written(a), before);
    EXPECT_FALSE(copy == a);
}

TEST(ExprJsonValueError, OutermostTagMustBeAString) {
    struct Case {
        const char* text;
        const char* error;  // "" when it reads
    };
    const Case cases[] = {
        {R"({"expr":7,"name":"x"})", "invalid type: integer `7`, expected variant identifier"},
        {R"({"expr":"not","of":{"expr":7,"name":"x"}})", ""},
        {R"(["field","x"])", ""},
        {R"([7,"x"])", "invalid type: integer `7`, expected variant identifier"},
        // Members are visited in ascending key order: "a" before "b".
        {R"({"expr":"eq","b":5,"a":null})", "invalid type: null, expected internally tagged enum Expr"},
        {R"("lit")", "invalid type: string \"lit\", expected internally tagged enum Expr"},
    };
    for (const Case& c : cases) {
        json::Reader r(c.text);
        json::JsonValue v;
        ASSERT_TRUE(r.parse_value(v)) << c.text;
        EXPECT_EQ(expr_json_value_error(v).value_or(""), c.error) << c.text;
    }
}

// Inside an enclosing text reader, errors found while building the variant take the
// enclosing reader's position; errors found while scanning keep their own.
TEST(ReadAction, NestedErrorPositions) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {R"({"a":{"kind":"js"} , "b":1})", "missing field `handler` at line 1 column 19"},
        {R"({"a":{"kind":"js"}})", "missing field `handler` at line 1 column 19"},
        {R"({"a":{"kind":"set","kind":"set"}})", "duplicate field `kind` at line 1 column 25"},
        {R"({"a":{"kind":"nope"}})", "unknown variant `nope`, expected one of `set`, `toggle`, `set-field`, "
                                     "`toggle-field`, `seq`, `emit`, `patch`, `if`, `call`, `invoke`, `set-storage`, "
                                     "`download`, `refresh`, `js` at line 1 column 19"},
        {R"({"a":{"kind":13,"handler":"h"}})", "invalid type: integer `13`, expected variant identifier at line 1 column 15"},
        {R"({"a":{"kind":"seq","actions":[{"kind":14}]}})",
         "invalid value: integer `14`, expected variant index 0 <= i < 14 at line 1 column 44"},
    };
    for (const Case& c : cases) {
        json::Reader r(c.text);
        bool ok = r.peek_ws() == '{' && r.in_object([&] {
            bool first = true;
            std::string_view key;
            for (;;) {
                int k = r.next_key(first, key);
                if (k < 0) return false;
                if (k == 0) return true;
                if (key == "a") {
                    Action a;
                    if (!r.colon() || !read_action(r, a)) return false;
                } else if (!r.colon() || !r.skip_value()) {
                    return false;
                }
            }
        });
        EXPECT_FALSE(ok) << c.text;
        EXPECT_EQ(r.error().text(), c.error) << c.text;
    }
}

TEST(ExprToJsonValue, SortsKeys) {
    Expr e = read_expr_text(R"({"expr":"call","target":{"ref":"id","id":"x"},"method":"m"})");
    EXPECT_EQ(json::to_text(expr_to_json_value(e)), R"({"expr":"call","method":"m","target":{"id":"x","ref":"id"}})");
}

}  // namespace
