#pragma once
// Object members in key order, the last of a repeated key winning: the one rule
// for generic values, the maps of records, the MessagePack a JSON text packs into
// and the JSON text a MessagePack map is written as.
#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

namespace vorlan::json {

// Whether the keys ascend strictly by bytes, so that none repeats and nothing is to sort.
template <class It, class Key>
bool keys_ascend(It first, It last, Key key) {
    if (first == last) return true;
    for (It m = std::next(first); m != last; ++m)
        if (!(std::string_view(key(*std::prev(m))) < std::string_view(key(*m)))) return false;
    return true;
}

// Sorts the members by key bytes, stable, then calls each(member, kept) on them
// in that order, kept false for all but the last of each repeated key.
template <class It, class Key, class Each>
void sort_keys(It first, It last, Key key, Each each) {
    auto less = [&](const auto& a, const auto& b) { return std::string_view(key(a)) < std::string_view(key(b)); };
    if (last - first <= 16) {
        // Objects are small: a stable insertion sort needs no buffer.
        for (It i = std::next(first); i < last; ++i) {
            if (!less(*i, *std::prev(i))) continue;
            auto m = std::move(*i);
            It j = i;
            for (; j > first && less(m, *std::prev(j)); --j) *j = std::move(*std::prev(j));
            *j = std::move(m);
        }
    } else {
        std::stable_sort(first, last, less);
    }
    for (It m = first; m != last; ++m) {
        const bool kept = std::next(m) == last || std::string_view(key(*std::next(m))) != std::string_view(key(*m));
        each(*m, kept);
    }
}

// The members of list (a vector) read in text order, sorted once by key bytes, only
// the last of each repeated key kept.
template <class List, class Key>
void sort_keep_last(List& list, Key key) {
    if (keys_ascend(list.begin(), list.end(), key)) return;
    auto out = list.begin();
    sort_keys(list.begin(), list.end(), key, [&](auto& m, bool kept) {
        if (!kept) return;
        if (&m != &*out) *out = std::move(m);
        ++out;
    });
    list.erase(out, list.end());
}

}  // namespace vorlan::json
