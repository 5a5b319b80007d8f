// The query engine: structured queries (QueryList/Query/Select/Suppress) and bare XPath over the
// subset the Windows event log accepts, compiled once into flat tables that evaluate against a
// compact event without allocating.
#pragma once

#include "PalEventLog/Query/Expression.h"

#include "Win32/WinTypes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace PalEventLog {

// The selectors of one Query element for one channel or file.
struct Selector {
    std::wstring path;
    bool file = false;
    bool suppress = false;
    Expression expression;
};

struct QueryPart {
    std::vector<Selector> selectors;
};

// A compiled EvtQuery/EvtSubscribe query: the union of its Query elements.
struct CompiledQuery {
    std::vector<QueryPart> parts;

    // Compiles a structured query or bare XPath; `defaultPath` is the path argument, used where the
    // query names none. Null, empty or "*" selects every event.
    static bool Compile(const wchar_t* query, std::wstring_view defaultPath, bool defaultIsFile,
                        CompiledQuery& out, QueryError& error);

    // The distinct paths the query reads, in order of first mention.
    std::vector<std::pair<std::wstring, bool>> Paths() const;
};

// The selectors of a compiled query that apply to one path, for fast evaluation.
class PathMatcher {
public:
    PathMatcher() = default;
    PathMatcher(const CompiledQuery& query, std::wstring_view path);
    bool Matches(const Store& store, const Channel& channel, const Event& event,
                 uint64_t now) const;
    bool UsesTime() const noexcept { return m_usesTime; }
    // The one selection of the path when it has no suppression and is fast (see Expression);
    // null otherwise.
    const Expression* Fast() const noexcept { return m_single; }

private:
    bool m_usesTime = false;
    // The one selection of a path without suppressions when it is a fast one.
    const Expression* m_single = nullptr;
    struct Part {
        std::vector<const Expression*> selects;
        std::vector<const Expression*> suppresses;
    };
    std::vector<Part> m_parts;
};

} // namespace PalEventLog
