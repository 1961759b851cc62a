#pragma once
#include <cstddef>
#include <optional>
#include <string_view>

namespace kivo::refservice {

// The words that stand for the values of an enumeration in options, control calls and logs.
template <typename E> struct Named {
    E value;
    const char* name;
};

template <typename E, size_t N> const char* nameOf(const Named<E> (&table)[N], E value) {
    for (const Named<E>& entry : table) {
        if (entry.value == value)
            return entry.name;
    }
    return "?";
}

template <typename E, size_t N>
std::optional<E> valueNamed(const Named<E> (&table)[N], std::string_view name) {
    for (const Named<E>& entry : table) {
        if (name == entry.name)
            return entry.value;
    }
    return std::nullopt;
}

} // namespace kivo::refservice
