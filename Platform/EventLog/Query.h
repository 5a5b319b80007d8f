// The query engine: structured queries (QueryList/Query/Select/Suppress) and bare XPath over the
// subset the Windows event log accepts, compiled once into flat tables that evaluate against a
// compact event without allocating.
#pragma once

#include "Store.h"

#include "Win32/WinTypes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace PalEventLog {

// A failed compilation: the Win32 code (ERROR_EVT_INVALID_QUERY, ERROR_EVT_MALFORMED_XML_TEXT)
// and a text naming what is wrong and where.
struct QueryError {
    DWORD code = 0;
    std::wstring message;
};

// Nodes of the event tree a path can reach. System's children are fixed, so names resolve to
// these kinds when the path is compiled.
enum class NodeKind : uint8_t {
    Event,
    System,
    Provider,
    EventID,
    Version,
    Level,
    Task,
    Opcode,
    Keywords,
    TimeCreated,
    EventRecordID,
    Correlation,
    Execution,
    Channel,
    Computer,
    Security,
    EventData,
    UserData,
    UserDataRoot,
    Item,
    Nothing
};

// What the end of a path reads: a node's text or one of its attributes.
enum class Field : uint8_t {
    Text,
    ProviderName,
    ProviderGuid,
    EventSourceName,
    Qualifiers,
    SystemTime,
    ActivityID,
    RelatedActivityID,
    ProcessID,
    ThreadID,
    UserID,
    ItemName,
    None
};

enum class CompareOp : uint8_t { Eq, Ne, Lt, Le, Gt, Ge };

struct Literal {
    enum class Type : uint8_t { Number, Time, String, Guid } type = Type::String;
    bool integral = false; // a Number that is a whole non-negative value, exact in `unsignedValue`
    uint64_t unsignedValue = 0;
    double number = 0;
    uint64_t time = 0;
    std::wstring text;
};

struct Step {
    NodeKind kind = NodeKind::Nothing;
    std::wstring name; // element name filter for items and the UserData child; empty: any
    uint32_t firstPredicate = 0;
    uint32_t predicateCount = 0;
};

struct Path {
    uint32_t firstStep = 0;
    uint32_t stepCount = 0;
    Field field = Field::Text;
};

struct Expr {
    enum class Kind : uint8_t { Or, And, True, Exists, Compare, Position } kind = Kind::True;
    enum class Function : uint8_t { None, Timediff, Band } function = Function::None;
    CompareOp op = CompareOp::Eq;
    bool hasComparison = false; // Band without a comparison tests for a non-zero result
    uint32_t a = 0;             // Or/And: left expr; Exists/Compare: path
    uint32_t b = 0;             // Or/And: right expr
    uint32_t literal = 0;       // Compare/Position: the literal compared with
    uint32_t mask = 0;          // Band: the literal of the mask
};

// One compiled XPath: the event test, or for value paths the node selection.
class Expression {
public:
    // Compiles a bare XPath selecting events ("*", "Event[...]", "*[System[Level=2]]").
    static bool CompileFilter(std::wstring_view xpath, Expression& out, QueryError& error);
    // Compiles a path selecting values of an event ("Event/System/Level",
    // "Event/EventData/Data[@Name='x']").
    static bool CompileValuePath(std::wstring_view path, Expression& out, QueryError& error);

    // Whether an event matches; `now` is the FILETIME timediff() measures against. Comparisons
    // that need a value's text may allocate (and throw std::bad_alloc).
    bool Matches(const Store& store, const Channel& channel, const Event& event, uint64_t now) const
        REQUIRES_SHARED(store.Mutex());
    // Matches by walking the compiled paths, also for a selection that has a fast form (which
    // must give the same answer).
    bool MatchesByPaths(const Store& store, const Channel& channel, const Event& event,
                        uint64_t now) const REQUIRES_SHARED(store.Mutex());

    // A value a value path reaches: typed for System values, text for the rest.
    struct Value {
        enum class Type : uint8_t { Null, UInt, Hex, Time, String, Guid, Sid } type = Type::Null;
        NodeKind node = NodeKind::Nothing;
        Field field = Field::Text;
        uint64_t number = 0;
        std::wstring_view text;
        uint32_t guid = 0;
    };
    // Calls `visit` for each value a value path selects, in document order, until it returns
    // false.
    template <class Visit>
    void ForEachValue(const Store& store, const Channel& channel, const Event& event,
                      Visit&& visit) const REQUIRES_SHARED(store.Mutex());

    bool IsEventDataArrayPath() const noexcept { return m_eventDataArray; }
    // Whether the selection reads fixed System numbers and times only; then MatchesFast is
    // Matches without its arguments.
    bool IsFast() const noexcept { return !m_fast.empty(); }
    bool MatchesFast(const Event& event) const noexcept;
    // The first position in [from, length) whose event a fast selection matches, `length` when
    // none: events[position], or events[top - 1 - position] when `reverse`.
    size_t ScanFast(const std::vector<Event>& events, size_t from, size_t length, size_t top,
                    bool reverse) const noexcept;
    // Whether evaluation reads the clock (timediff()).
    bool UsesTime() const noexcept;

    // Tables the evaluator walks; public for the parser.
    std::vector<Expr> exprs;
    std::vector<Path> paths;
    std::vector<Step> steps;
    std::vector<uint32_t> predicates; // expr indexes, referenced by steps
    std::vector<Literal> literals;
    uint32_t root = 0;
    uint32_t valuePath = 0;

    // One step of a selection that reads fixed System numbers and times only, flattened into
    // postfix order: such a selection is evaluated without walking paths.
    struct FastStep {
        // In: the value is one of those whose bits `literal` sets (values below 64).
        enum class Op : uint8_t { True, Present, Compare, In, And, Or } op = Op::True;
        NodeKind kind = NodeKind::Nothing; // Present, Compare: the System child read
        CompareOp compare = CompareOp::Eq;
        uint32_t present = 0; // the child's presence bit
        uint64_t literal = 0; // a whole number, or a FILETIME for TimeCreated
    };

private:
    friend struct Evaluator;
    bool m_eventDataArray = false;
    // The selection as fast steps; empty when it reads anything else.
    std::vector<FastStep> m_fast;
    bool BuildFast(uint32_t index, NodeKind context, size_t& depth, size_t& maxDepth);
    void VisitValues(const Store& store, const Channel& channel, const Event& event,
                     bool (*visit)(void*, const Value&), void* context) const
        REQUIRES_SHARED(store.Mutex());
};

template <class Visit>
void Expression::ForEachValue(const Store& store, const Channel& channel, const Event& event,
                              Visit&& visit) const REQUIRES_SHARED(store.Mutex()) {
    VisitValues(
        store, channel, event,
        [](void* context, const Value& value) { return (*static_cast<Visit*>(context))(value); },
        &visit);
}

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
    bool Matches(const Store& store, const Channel& channel, const Event& event, uint64_t now) const
        REQUIRES_SHARED(store.Mutex());
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
