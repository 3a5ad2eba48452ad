// Call descriptions, read at compile time from each callable's doc string
// "name(p1, p2=default, *args, **kwargs)\n--\n\n<body>". The doc string is the
// one place a callable's Python name and parameters are written down.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quill::py {

template <std::size_t N>
struct fixed_string {
    char data[N]{};
    constexpr fixed_string(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) data[i] = s[i];
    }
    constexpr std::string_view view() const { return {data, N - 1}; }
};

inline constexpr std::size_t max_params = 12;

struct CallSpec {
    std::string_view owner;  // class name; empty for module functions
    std::string_view name;   // Python name; "__new__" for constructors
    std::array<std::string_view, max_params> params{};
    std::uint8_t nparams = 0;
    std::uint8_t required = 0;
    bool self = false;     // instance method ("$self")
    bool varargs = false;  // "*name": extra positional arguments
    bool varkw = false;    // "**name": extra keyword arguments
};

// Plain loops rather than std::string_view's searches: those use compiler
// builtins that sanitizer builds refuse in constant expressions.
constexpr std::size_t index_of(std::string_view s, char c) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == c) return i;
    }
    return std::string_view::npos;
}

constexpr bool same(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

constexpr bool begins_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && same(s.substr(0, prefix.size()), prefix);
}

constexpr std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

constexpr CallSpec parse_spec(std::string_view owner, std::string_view doc, bool constructor) {
    CallSpec spec;
    spec.owner = owner;
    const std::size_t open = index_of(doc, '(');
    const std::size_t close = index_of(doc, ')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        throw "doc string lacks a signature";
    }
    // A class doc string names the class; its constructor is reported as "__new__".
    if (constructor) {
        spec.owner = doc.substr(0, open);
        spec.name = "__new__";
    } else {
        spec.name = doc.substr(0, open);
    }
    std::string_view rest = doc.substr(open + 1, close - open - 1);
    bool seen_default = false;
    while (!rest.empty()) {
        const std::size_t comma = index_of(rest, ',');
        std::string_view tok = trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (tok.empty()) continue;
        if (same(tok, "$self")) {
            spec.self = true;
        } else if (begins_with(tok, "**")) {
            spec.varkw = true;
        } else if (begins_with(tok, "*")) {
            spec.varargs = true;
        } else {
            const std::size_t eq = index_of(tok, '=');
            const bool has_default = eq != std::string_view::npos;
            if (has_default) tok = trim(tok.substr(0, eq));
            if (!has_default) {
                if (seen_default) throw "required parameter after a default";
                ++spec.required;
            }
            seen_default = seen_default || has_default;
            if (spec.nparams == max_params) throw "too many parameters";
            spec.params[spec.nparams++] = tok;
        }
    }
    return spec;
}

// The Python name as a NUL-terminated array, for PyMethodDef::ml_name.
template <fixed_string Doc>
struct NameOf {
    static constexpr std::size_t length = index_of(Doc.view(), '(');
    static constexpr auto value = [] {
        std::array<char, length + 1> out{};
        for (std::size_t i = 0; i < length; ++i) out[i] = Doc.data[i];
        return out;
    }();
};

}  // namespace quill::py
