#pragma once
// The custom-elements manifest import: the manifest records, the prop types made
// from type texts, and the component schemas built from the manifest.
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "box.hpp"
#include "json/json.hpp"
#include "result.hpp"

namespace vorlan::cem {

// ---- manifest records (read one at a time: parse_cem_json keeps none past its declaration) ----

struct TypeText {
    std::optional<std::string> text;
};

struct Named {
    std::string name;
};

struct Attribute {
    std::string name;
    std::optional<TypeText> type;
    std::optional<std::string> default_;
    std::optional<std::string> description;
};

struct Member {
    std::string kind;
    std::string name;
    std::optional<TypeText> type;
    std::optional<std::string> privacy;
    bool static_ = false;
    bool readonly = false;
    bool inherited_from = false;  // present and not null: a value of any shape, never looked at
    std::optional<std::string> attribute;
    std::optional<std::string> default_;
    std::optional<std::string> description;
};

// ---- prop types ---------------------------------------------------------

struct PropType;

namespace prop {
struct Bool {
    friend bool operator==(const Bool&, const Bool&) = default;
};
struct Str {
    friend bool operator==(const Str&, const Str&) = default;
};
struct Number {
    friend bool operator==(const Number&, const Number&) = default;
};
struct Enum {
    std::vector<std::string> values;
    friend bool operator==(const Enum&, const Enum&) = default;
};
struct Optional {
    Box<PropType> inner;
    friend bool operator==(const Optional&, const Optional&);
};
struct Any {
    friend bool operator==(const Any&, const Any&) = default;
};
}  // namespace prop

struct PropType {
    std::variant<prop::Bool, prop::Str, prop::Number, prop::Enum, prop::Optional, prop::Any> v;
    friend bool operator==(const PropType&, const PropType&) = default;
};

namespace prop {
inline bool operator==(const Optional& a, const Optional& b) { return a.inner == b.inner; }
}  // namespace prop

// Absent texts stand for a type or default the manifest does not give.
PropType parse_type(std::optional<std::string_view> t);
std::optional<std::string> opaque_type_text(std::optional<std::string_view> t);
std::optional<std::string> clean_default(std::optional<std::string_view> d);

void write_prop_type(json::Writer& w, const PropType& t);

// ---- component schemas --------------------------------------------------

struct PropSchema {
    std::string name;
    PropType ty;
    std::optional<std::string> type_text;
    std::optional<std::string> default_;
    std::optional<std::string> doc;
};

inline constexpr std::string_view BUILTIN_MEMBERS[] = {
    "accessKey", "adoptedStyleSheets", "attributes", "autocapitalize", "autofocus", "classList", "className",
    "contentEditable", "dataset", "dir", "draggable", "enterKeyHint", "hidden", "id", "innerHTML", "innerText",
    "inert", "lang", "nodeValue", "nonce", "outerHTML", "outerText", "part", "popover", "shadowRoot", "slot",
    "spellcheck", "style", "tabIndex", "textContent", "title", "translate",
};

inline constexpr std::string_view OPAQUE_TYPE_NAMES[] = {
    "AbortController", "AbortSignal", "CSSResult", "CSSResultArray", "CSSResultGroup", "CSSStyleDeclaration",
    "CSSStyleSheet", "Document", "DocumentFragment", "Element", "ElementInternals", "EventTarget",
    "IntersectionObserver", "MutationObserver", "Node", "NodeList", "ResizeObserver", "ShadowRoot", "StyleSheet",
    "StyleSheetList", "TemplateResult",
};

std::string pascal_case(std::string_view tag);
// True when every piece of the type text is undefined, null or a DOM/rendering
// object type, and at least one is the latter.
bool is_opaque_only(std::string_view type_text);

void write_prop_schema(json::Writer& w, const PropSchema& p);

}  // namespace vorlan::cem
