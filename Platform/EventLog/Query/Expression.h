// A compiled XPath of the subset the Windows event log accepts: flat tables of expressions,
// paths, steps and literals that evaluate against a compact event without allocating, with a fast
// form for selections that read fixed System numbers and times only.
#pragma once

#include "PalEventLog/Query/Syntax.h"
#include "PalEventLog/Store/Store.h"

#include "Win32/WinTypes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace PalEventLog {

// One compiled XPath: the event test, or for value paths the node selection.
class Expression : public Syntax {
public:
    // Compiles a bare XPath selecting events ("*", "Event[...]", "*[System[Level=2]]").
    static bool CompileFilter(std::wstring_view xpath, Expression& out, QueryError& error);
    // Compiles a path selecting values of an event ("Event/System/Level",
    // "Event/EventData/Data[@Name='x']").
    static bool CompileValuePath(std::wstring_view path, Expression& out, QueryError& error);

    // Whether an event matches; `now` is the FILETIME timediff() measures against. Comparisons
    // that need a value's text may allocate (and throw std::bad_alloc).
    bool Matches(const Store& store, const Channel& channel, const Event& event,
                 uint64_t now) const;
    // Matches by walking the compiled paths, also for a selection that has a fast form (which
    // must give the same answer).
    bool MatchesByPaths(const Store& store, const Channel& channel, const Event& event,
                        uint64_t now) const;

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
                      Visit&& visit) const;

    bool IsEventDataArrayPath() const noexcept { return m_eventDataArray; }
    // Whether the selection reads fixed System numbers and times only; then MatchesFast is
    // Matches without its arguments.
    bool IsFast() const noexcept { return !m_fast.empty(); }
    bool MatchesFast(const Event& event) const noexcept;
    // The first position in [from, length) whose event a fast selection matches, `length` when
    // none: events[position], or events[top - 1 - position] when `reverse`.
    size_t ScanFast(const EventList& events, size_t from, size_t length, size_t top,
                    bool reverse) const noexcept;
    // Whether evaluation reads the clock (timediff()).
    bool UsesTime() const noexcept;

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
                     bool (*visit)(void*, const Value&), void* context) const;
};

template <class Visit>
void Expression::ForEachValue(const Store& store, const Channel& channel, const Event& event,
                              Visit&& visit) const {
    VisitValues(
        store, channel, event,
        [](void* context, const Value& value) { return (*static_cast<Visit*>(context))(value); },
        &visit);
}

} // namespace PalEventLog
