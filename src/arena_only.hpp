#pragma once
// arena_only<T>: every piece of memory a T can own comes from the operation's
// arena, so a T may be dropped without running its destructor. Checked from T's
// members: a std::string or std::vector with the heap's allocator anywhere
// inside makes it false, and so does any class the check cannot see into.
#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "arena.hpp"
#include "box.hpp"
#include "sorted_map.hpp"

namespace vorlan {
namespace detail {

// The member types of an aggregate, found by brace-initialising it from as many
// convertible placeholders as it has members and binding its members by
// structure.
struct AnyMember {
    template <class U>
    operator U() const;
};

template <class T, std::size_t... I>
constexpr bool brace_init_from(std::index_sequence<I...>) {
    return requires {
        T{(static_cast<void>(I), AnyMember{})...};
    };
}

template <class T, std::size_t N = 0>
constexpr std::size_t member_count() {
    if constexpr (N > 16)
        return N;  // more than records have: reported as not arena-only
    else if constexpr (brace_init_from<T>(std::make_index_sequence<N + 1>{}))
        return member_count<T, N + 1>();
    else
        return N;
}

template <class... M>
using MemberTypes = std::tuple<std::remove_cvref_t<M>...>;

// Only named inside decltype: the body is compiled for its return type, never run.
template <class T>
auto member_types(T& t) {
    constexpr std::size_t n = member_count<T>();
    if constexpr (n == 1) {
        auto& [a] = t;
        return std::type_identity<MemberTypes<decltype(a)>>{};
    } else if constexpr (n == 2) {
        auto& [a, b] = t;
        return std::type_identity<MemberTypes<decltype(a), decltype(b)>>{};
    } else if constexpr (n == 3) {
        auto& [a, b, c] = t;
        return std::type_identity<MemberTypes<decltype(a), decltype(b), decltype(c)>>{};
    } else if constexpr (n == 4) {
        auto& [a, b, c, d] = t;
        return std::type_identity<MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d)>>{};
    } else if constexpr (n == 5) {
        auto& [a, b, c, d, e] = t;
        return std::type_identity<MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d), decltype(e)>>{};
    } else if constexpr (n == 6) {
        auto& [a, b, c, d, e, f] = t;
        return std::type_identity<
            MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d), decltype(e), decltype(f)>>{};
    } else if constexpr (n == 7) {
        auto& [a, b, c, d, e, f, g] = t;
        return std::type_identity<
            MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d), decltype(e), decltype(f), decltype(g)>>{};
    } else if constexpr (n == 8) {
        auto& [a, b, c, d, e, f, g, h] = t;
        return std::type_identity<MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d), decltype(e),
                                              decltype(f), decltype(g), decltype(h)>>{};
    } else if constexpr (n == 9) {
        auto& [a, b, c, d, e, f, g, h, i] = t;
        return std::type_identity<MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d), decltype(e),
                                              decltype(f), decltype(g), decltype(h), decltype(i)>>{};
    } else if constexpr (n == 10) {
        auto& [a, b, c, d, e, f, g, h, i, j] = t;
        return std::type_identity<MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d), decltype(e),
                                              decltype(f), decltype(g), decltype(h), decltype(i), decltype(j)>>{};
    } else if constexpr (n == 11) {
        auto& [a, b, c, d, e, f, g, h, i, j, k] = t;
        return std::type_identity<
            MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d), decltype(e), decltype(f), decltype(g),
                        decltype(h), decltype(i), decltype(j), decltype(k)>>{};
    } else if constexpr (n == 12) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l] = t;
        return std::type_identity<
            MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d), decltype(e), decltype(f), decltype(g),
                        decltype(h), decltype(i), decltype(j), decltype(k), decltype(l)>>{};
    } else if constexpr (n == 13) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m] = t;
        return std::type_identity<
            MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d), decltype(e), decltype(f), decltype(g),
                        decltype(h), decltype(i), decltype(j), decltype(k), decltype(l), decltype(m)>>{};
    } else if constexpr (n == 14) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n] = t;
        return std::type_identity<
            MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d), decltype(e), decltype(f), decltype(g),
                        decltype(h), decltype(i), decltype(j), decltype(k), decltype(l), decltype(m), decltype(n)>>{};
    } else if constexpr (n == 15) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o] = t;
        return std::type_identity<MemberTypes<decltype(a), decltype(b), decltype(c), decltype(d), decltype(e),
                                              decltype(f), decltype(g), decltype(h), decltype(i), decltype(j),
                                              decltype(k), decltype(l), decltype(m), decltype(n), decltype(o)>>{};
    } else if constexpr (n == 16) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p] = t;
        return std::type_identity<MemberTypes<
            decltype(a), decltype(b), decltype(c), decltype(d), decltype(e), decltype(f), decltype(g), decltype(h),
            decltype(i), decltype(j), decltype(k), decltype(l), decltype(m), decltype(n), decltype(o), decltype(p)>>{};
    } else {
        return std::type_identity<void>{};  // not seen into
    }
}

template <class T, class... Seen>
struct ArenaOnly;

template <class T, class... Seen>
constexpr bool arena_only_v() {
    using U = std::remove_cv_t<T>;
    // A type met again inside itself (a tree's children) is being checked
    // already.
    if constexpr ((std::is_same_v<U, Seen> || ...))
        return true;
    else
        return ArenaOnly<U, Seen...>::value;
}

template <class Tuple, class... Seen>
struct AllArenaOnly;
template <class... M, class... Seen>
struct AllArenaOnly<std::tuple<M...>, Seen...> {
    static constexpr bool value = (arena_only_v<M, Seen...>() && ...);
};

// Classes: aggregates by their members; a class made of one member `v` (a
// variant with constructors around it) by that member; any other class is not
// seen into.
template <class T, class... Seen>
struct ArenaOnly {
    static constexpr bool value = [] {
        if constexpr (std::is_trivially_destructible_v<T>) {
            return true;  // its destructor frees nothing, so skipping it loses nothing
        } else if constexpr (std::is_aggregate_v<T>) {
            using Members = typename decltype(member_types(std::declval<T&>()))::type;
            if constexpr (std::is_void_v<Members>)
                return false;
            else
                return AllArenaOnly<Members, T, Seen...>::value;
        } else if constexpr (requires { &T::v; }) {
            using V = std::remove_cvref_t<decltype(std::declval<T&>().v)>;
            return sizeof(T) == sizeof(V) && arena_only_v<V, T, Seen...>();
        } else {
            return false;
        }
    }();
};

template <class C, class... Seen>
struct ArenaOnly<std::basic_string<C, std::char_traits<C>, ArenaAllocator<C>>, Seen...> : std::true_type {};
template <class E, class... Seen>
struct ArenaOnly<std::vector<E, ArenaAllocator<E>>, Seen...> {
    static constexpr bool value = arena_only_v<E, Seen...>();
};
template <class E, class... Seen>
struct ArenaOnly<SortedMap<E>, Seen...> {
    static constexpr bool value = arena_only_v<E, Seen...>();
};
template <class E, class... Seen>
struct ArenaOnly<Box<E>, Seen...> {
    static constexpr bool value = arena_only_v<E, Seen...>();
};
template <class E, class... Seen>
struct ArenaOnly<std::optional<E>, Seen...> {
    static constexpr bool value = arena_only_v<E, Seen...>();
};
template <class A, class B, class... Seen>
struct ArenaOnly<std::pair<A, B>, Seen...> {
    static constexpr bool value = arena_only_v<A, Seen...>() && arena_only_v<B, Seen...>();
};
template <class... A, class... Seen>
struct ArenaOnly<std::variant<A...>, Seen...> {
    static constexpr bool value = (arena_only_v<A, Seen...>() && ...);
};

}  // namespace detail

template <class T>
inline constexpr bool arena_only = detail::arena_only_v<T>();

}  // namespace vorlan
