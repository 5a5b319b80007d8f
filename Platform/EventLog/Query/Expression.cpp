// Compiled XPath evaluated against compact events without allocating: the walk over paths, and
// the fast form of selections that read fixed System numbers and times only.
#include "PalEventLog/Query/Expression.h"

#include "PalEventLog/Query/XPathParser.h"

#include "Win32/WinError.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace PalEventLog {

namespace {

template <class T>
bool Apply(CompareOp op, T a, T b) {
    switch (op) {
    case CompareOp::Eq:
        return a == b;
    case CompareOp::Ne:
        return a != b;
    case CompareOp::Lt:
        return a < b;
    case CompareOp::Le:
        return a <= b;
    case CompareOp::Gt:
        return a > b;
    case CompareOp::Ge:
        return a >= b;
    }
    return false;
}

// XPath number comparison: NaN compares unequal to everything and orders with nothing.
bool ApplyNumber(CompareOp op, double a, double b) {
    if (std::isnan(a) || std::isnan(b)) {
        return op == CompareOp::Ne;
    }
    return Apply(op, a, b);
}

struct Node {
    NodeKind kind;
    uint32_t item; // item index relative to the event's first item
};

} // namespace

// Evaluates an Expression's tables against one event. Everything lives on the stack.
struct Evaluator {
    const Expression& x;
    const Store& store;
    const Channel& channel;
    const Event& event;
    uint64_t now;

    bool Has(uint32_t bit) const { return (event.present & bit) != 0; }

    bool Exists(NodeKind kind) const {
        switch (kind) {
        case NodeKind::System:
            return true;
        case NodeKind::Provider:
            return Has(kHasProvider);
        case NodeKind::EventID:
            return Has(kHasEventId);
        case NodeKind::Version:
            return Has(kHasVersion);
        case NodeKind::Level:
            return Has(kHasLevel);
        case NodeKind::Task:
            return Has(kHasTask);
        case NodeKind::Opcode:
            return Has(kHasOpcode);
        case NodeKind::Keywords:
            return Has(kHasKeywords);
        case NodeKind::TimeCreated:
            return Has(kHasTimeCreated);
        case NodeKind::EventRecordID:
            return Has(kHasRecordId);
        case NodeKind::Correlation:
            return Has(kHasCorrelation);
        case NodeKind::Execution:
            return Has(kHasExecution);
        case NodeKind::Channel:
            return event.channel != 0;
        case NodeKind::Computer:
            return event.computer != 0;
        case NodeKind::Security:
            return Has(kHasSecurity);
        case NodeKind::EventData:
            return event.payload == Payload::EventData;
        case NodeKind::UserData:
            return event.payload == Payload::UserData;
        default:
            return false;
        }
    }

    template <class F>
    bool Any(const Path& path, uint32_t index, Node context, F& f) const {
        if (index == path.stepCount) {
            return f(context);
        }
        const Step& step = x.steps[path.firstStep + index];
        auto tryNode = [&](Node node, uint32_t position) {
            for (uint32_t p = 0; p < step.predicateCount; ++p) {
                if (!Eval(x.predicates[step.firstPredicate + p], node, position)) {
                    return false;
                }
            }
            return Any(path, index + 1, node, f);
        };
        switch (step.kind) {
        case NodeKind::Nothing:
            return false;
        case NodeKind::Item: {
            if (context.kind != NodeKind::EventData && context.kind != NodeKind::UserDataRoot) {
                return false;
            }
            uint32_t position = 0;
            for (uint32_t i = 0; i < event.itemCount; ++i) {
                const Item& item = channel.items[event.firstItem + i];
                if (!step.name.empty() && store.String(item.element) != step.name) {
                    continue;
                }
                if (tryNode(Node{NodeKind::Item, i}, ++position)) {
                    return true;
                }
            }
            return false;
        }
        case NodeKind::UserDataRoot:
            if (context.kind != NodeKind::UserData || event.userDataElement == 0 ||
                (!step.name.empty() && store.String(event.userDataElement) != step.name)) {
                return false;
            }
            return tryNode(Node{NodeKind::UserDataRoot, 0}, 1);
        case NodeKind::System:
        case NodeKind::EventData:
        case NodeKind::UserData:
            if (context.kind != NodeKind::Event || !Exists(step.kind)) {
                return false;
            }
            return tryNode(Node{step.kind, 0}, 1);
        default:
            if (context.kind != NodeKind::System || !Exists(step.kind)) {
                return false;
            }
            return tryNode(Node{step.kind, 0}, 1);
        }
    }

    Expression::Value ValueOf(Node node, Field field) const {
        using Type = Expression::Value::Type;
        Expression::Value v;
        v.node = node.kind;
        v.field = field;
        auto set = [&](Type type, uint64_t number) {
            v.type = type;
            v.number = number;
        };
        auto setText = [&](Type type, std::wstring_view text) {
            v.type = type;
            v.text = text;
        };
        switch (field) {
        case Field::Text:
            switch (node.kind) {
            case NodeKind::EventID:
                set(Type::UInt, event.eventId);
                break;
            case NodeKind::Version:
                set(Type::UInt, event.version);
                break;
            case NodeKind::Level:
                set(Type::UInt, event.level);
                break;
            case NodeKind::Task:
                set(Type::UInt, event.task);
                break;
            case NodeKind::Opcode:
                set(Type::UInt, event.opcode);
                break;
            case NodeKind::Keywords:
                set(Type::Hex, event.keywords);
                break;
            case NodeKind::EventRecordID:
                set(Type::UInt, event.recordId);
                break;
            case NodeKind::Channel:
                setText(Type::String, store.String(event.channel));
                break;
            case NodeKind::Computer:
                setText(Type::String, store.String(event.computer));
                break;
            case NodeKind::Item:
                setText(Type::String, channel.ItemText(channel.items[event.firstItem + node.item]));
                break;
            default:
                setText(Type::String, L"");
                break;
            }
            break;
        case Field::ProviderName:
            setText(Type::String, store.String(event.provider));
            break;
        case Field::EventSourceName:
            if (event.eventSourceName != 0) {
                setText(Type::String, store.String(event.eventSourceName));
            }
            break;
        case Field::ProviderGuid:
            if (event.providerGuid != 0) {
                v.type = Type::Guid;
                v.guid = event.providerGuid;
            }
            break;
        case Field::ActivityID:
            if (event.activityId != 0) {
                v.type = Type::Guid;
                v.guid = event.activityId;
            }
            break;
        case Field::RelatedActivityID:
            if (event.relatedActivityId != 0) {
                v.type = Type::Guid;
                v.guid = event.relatedActivityId;
            }
            break;
        case Field::Qualifiers:
            if (Has(kHasQualifiers)) {
                set(Type::UInt, event.qualifiers);
            }
            break;
        case Field::SystemTime:
            if (Has(kHasTimeCreated)) {
                set(Type::Time, event.timeCreated);
            }
            break;
        case Field::ProcessID:
            if (Has(kHasProcessId)) {
                set(Type::UInt, event.processId);
            }
            break;
        case Field::ThreadID:
            if (Has(kHasThreadId)) {
                set(Type::UInt, event.threadId);
            }
            break;
        case Field::UserID:
            if (event.userSid != 0) {
                setText(Type::Sid, store.String(event.userSid));
            }
            break;
        case Field::ItemName: {
            const Item& item = channel.items[event.firstItem + node.item];
            if (item.name != 0) {
                setText(Type::String, store.String(item.name));
            }
            break;
        }
        case Field::None:
            break;
        }
        return v;
    }

    // The value's text when it must be compared as a string.
    std::wstring_view TextOf(const Expression::Value& v, std::wstring& scratch) const {
        using Type = Expression::Value::Type;
        switch (v.type) {
        case Type::UInt:
            scratch = std::to_wstring(v.number);
            return scratch;
        case Type::Hex: {
            wchar_t buffer[24];
            std::swprintf(buffer, 24, L"0x%llx", static_cast<unsigned long long>(v.number));
            scratch = buffer;
            return scratch;
        }
        case Type::Time:
            scratch = FormatSystemTime(v.number);
            return scratch;
        case Type::Guid:
            scratch = FormatGuid(store.Guid(v.guid));
            return scratch;
        default:
            return v.text;
        }
    }

    bool Compare(const Expression::Value& v, CompareOp op, const Literal& l) const {
        using Type = Expression::Value::Type;
        if (v.type == Type::Null) {
            return false;
        }
        std::wstring scratch;
        switch (l.type) {
        case Literal::Type::Number:
            if (v.type == Type::UInt || v.type == Type::Hex) {
                if (l.integral) {
                    return Apply(op, v.number, l.unsignedValue);
                }
                return ApplyNumber(op, static_cast<double>(v.number), l.number);
            }
            if (v.type == Type::String) {
                if (auto u = ParseUnsigned(v.text); u && l.integral) {
                    return Apply(op, *u, l.unsignedValue);
                }
                return ApplyNumber(op, ParseNumber(v.text), l.number);
            }
            return op == CompareOp::Ne;
        case Literal::Type::Time:
            if (v.type == Type::Time) {
                return Apply(op, v.number, l.time);
            }
            if (auto t = ParseSystemTime(TextOf(v, scratch))) {
                return Apply(op, *t, l.time);
            }
            return op == CompareOp::Ne;
        case Literal::Type::Guid:
            if (op == CompareOp::Eq || op == CompareOp::Ne) {
                auto mine = ParseGuid(TextOf(v, scratch));
                auto theirs = ParseGuid(l.text);
                const bool equal = mine && theirs && *mine == *theirs;
                return op == CompareOp::Eq ? equal : !equal;
            }
            return false;
        case Literal::Type::String:
            if (op == CompareOp::Eq || op == CompareOp::Ne) {
                const std::wstring_view text = TextOf(v, scratch);
                const bool equal = (v.type == Type::Sid || v.type == Type::Guid)
                                       ? EqualsNoCase(text, l.text)
                                       : text == l.text;
                return op == CompareOp::Eq ? equal : !equal;
            }
            // XPath 1.0: ordering compares numbers; a text that is not one matches nothing.
            return ApplyNumber(op, ParseNumber(TextOf(v, scratch)), ParseNumber(l.text)) &&
                   op != CompareOp::Ne;
        }
        return false;
    }

    bool Eval(uint32_t index, Node context, uint32_t position) const {
        const Expr& e = x.exprs[index];
        switch (e.kind) {
        case Expr::Kind::True:
            return true;
        case Expr::Kind::Or:
            return Eval(e.a, context, position) || Eval(e.b, context, position);
        case Expr::Kind::And:
            return Eval(e.a, context, position) && Eval(e.b, context, position);
        case Expr::Kind::Position:
            return Compare(
                Expression::Value{
                    Expression::Value::Type::UInt, NodeKind::Nothing, Field::Text, position, {}, 0},
                e.op, x.literals[e.literal]);
        case Expr::Kind::Exists: {
            const Path& path = x.paths[e.a];
            auto test = [&](Node node) {
                return path.field == Field::Text ||
                       ValueOf(node, path.field).type != Expression::Value::Type::Null;
            };
            return Any(path, 0, context, test);
        }
        case Expr::Kind::Compare: {
            const Path& path = x.paths[e.a];
            const Literal& literal = x.literals[e.literal];
            auto test = [&](Node node) {
                const Expression::Value v = ValueOf(node, path.field);
                switch (e.function) {
                case Expr::Function::None:
                    return Compare(v, e.op, literal);
                case Expr::Function::Timediff: {
                    std::wstring scratch;
                    std::optional<uint64_t> t;
                    if (v.type == Expression::Value::Type::Time) {
                        t = v.number;
                    } else if (v.type != Expression::Value::Type::Null) {
                        t = ParseSystemTime(TextOf(v, scratch));
                    }
                    if (!t) {
                        return false;
                    }
                    const double ms = (static_cast<double>(now) - static_cast<double>(*t)) / 1e4;
                    return ApplyNumber(e.op, ms, literal.number);
                }
                case Expr::Function::Band: {
                    uint64_t n = 0;
                    if (v.type == Expression::Value::Type::UInt ||
                        v.type == Expression::Value::Type::Hex) {
                        n = v.number;
                    } else if (auto u = ParseUnsigned(v.text);
                               v.type == Expression::Value::Type::String && u) {
                        n = *u;
                    } else {
                        return false;
                    }
                    const uint64_t result = n & x.literals[e.mask].unsignedValue;
                    if (!e.hasComparison) {
                        return result != 0;
                    }
                    return literal.integral
                               ? Apply(e.op, result, literal.unsignedValue)
                               : ApplyNumber(e.op, static_cast<double>(result), literal.number);
                }
                }
                return false;
            };
            return Any(path, 0, context, test);
        }
        }
        return false;
    }
};

namespace {

using FastStep = Expression::FastStep;

// The presence bit of a System child that fast steps read; 0 for the others.
uint32_t FastBit(NodeKind kind) noexcept {
    switch (kind) {
    case NodeKind::EventID:
        return kHasEventId;
    case NodeKind::Version:
        return kHasVersion;
    case NodeKind::Level:
        return kHasLevel;
    case NodeKind::Task:
        return kHasTask;
    case NodeKind::Opcode:
        return kHasOpcode;
    case NodeKind::Keywords:
        return kHasKeywords;
    case NodeKind::TimeCreated:
        return kHasTimeCreated;
    case NodeKind::EventRecordID:
        return kHasRecordId;
    default:
        return 0;
    }
}

uint64_t FastValue(const Event& event, NodeKind kind) noexcept {
    switch (kind) {
    case NodeKind::EventID:
        return event.eventId;
    case NodeKind::Version:
        return event.version;
    case NodeKind::Level:
        return event.level;
    case NodeKind::Task:
        return event.task;
    case NodeKind::Opcode:
        return event.opcode;
    case NodeKind::Keywords:
        return event.keywords;
    case NodeKind::TimeCreated:
        return event.timeCreated;
    default:
        return event.recordId;
    }
}

// A step that reads the event (not And or Or), its value read by `read`.
template <class Read>
bool FastTest(const FastStep& step, const Event& event, Read read) noexcept {
    if (step.op == FastStep::Op::True) {
        return true;
    }
    if ((event.present & step.present) == 0) {
        return false;
    }
    switch (step.op) {
    case FastStep::Op::Compare:
        return Apply(step.compare, static_cast<uint64_t>(read(event)), step.literal);
    case FastStep::Op::In: {
        const auto value = static_cast<uint64_t>(read(event));
        return value < 64 && ((step.literal >> value) & 1) != 0;
    }
    default:
        return true; // Present
    }
}

bool FastTest(const FastStep& step, const Event& event) noexcept {
    return FastTest(step, event, [&step](const Event& e) { return FastValue(e, step.kind); });
}

// The first position in [from, length) whose event passes `test`.
template <class Test>
size_t ScanEvents(const EventList& events, size_t from, size_t length, size_t top, bool reverse,
                  Test test) noexcept {
    // Run by run of events next to one another in memory.
    for (size_t position = from; position < length;) {
        if (reverse) {
            const auto [last, count] = events.RunDown(top - 1 - position, top - length);
            for (size_t k = 0; k < count; ++k) {
                if (test(*(last - k))) {
                    return position + k;
                }
            }
            position += count;
        } else {
            const auto [first, count] = events.Run(position, length);
            for (size_t k = 0; k < count; ++k) {
                if (test(first[k])) {
                    return position + k;
                }
            }
            position += count;
        }
    }
    return length;
}

// A set of small values for an alternative of equalities with one System value.
std::optional<uint64_t> SmallValues(const FastStep& step) noexcept {
    if (step.op == FastStep::Op::In) {
        return step.literal;
    }
    if (step.op == FastStep::Op::Compare && step.compare == CompareOp::Eq &&
        step.kind != NodeKind::TimeCreated && step.literal < 64) {
        return uint64_t{1} << step.literal;
    }
    return std::nullopt;
}

constexpr size_t kFastDepth = 32;

} // namespace

bool Expression::CompileFilter(std::wstring_view xpath, Expression& out, QueryError& error) {
    out = Expression{};
    if (!ParseFilterXPath(xpath, out, error)) {
        return false;
    }
    size_t depth = 0;
    size_t maxDepth = 0;
    if (!out.BuildFast(out.root, NodeKind::Event, depth, maxDepth) || maxDepth > kFastDepth) {
        out.m_fast.clear();
    }
    return true;
}

// Flattens the expression evaluated at a node of kind `context`; false (and the caller gives up
// the fast form) for anything but System, its numeric children and TimeCreated's time compared
// with whole numbers and times, combined with "and" and "or". The steps mean what the evaluator's
// walk means: a child that is absent matches nothing.
bool Expression::BuildFast(uint32_t index, NodeKind context, size_t& depth, size_t& maxDepth) {
    const Expr& e = exprs[index];
    const auto push = [&](FastStep step) {
        step.present = FastBit(step.kind);
        m_fast.push_back(step);
        if (step.op == FastStep::Op::And || step.op == FastStep::Op::Or) {
            --depth;
        } else {
            maxDepth = std::max(maxDepth, ++depth);
        }
    };
    switch (e.kind) {
    case Expr::Kind::True:
        push({FastStep::Op::True});
        return true;
    case Expr::Kind::And:
    case Expr::Kind::Or: {
        const size_t first = m_fast.size();
        if (!BuildFast(e.a, context, depth, maxDepth)) {
            return false;
        }
        const size_t second = m_fast.size();
        if (!BuildFast(e.b, context, depth, maxDepth)) {
            return false;
        }
        // "Level=4 or Level=5 or Level=0": one set of values.
        if (e.kind == Expr::Kind::Or && second == first + 1 && m_fast.size() == second + 1 &&
            m_fast[first].kind == m_fast[second].kind) {
            const std::optional<uint64_t> left = SmallValues(m_fast[first]);
            const std::optional<uint64_t> right = SmallValues(m_fast[second]);
            if (left && right) {
                m_fast[first].op = FastStep::Op::In;
                m_fast[first].literal = *left | *right;
                m_fast.pop_back();
                --depth;
                return true;
            }
        }
        push({e.kind == Expr::Kind::And ? FastStep::Op::And : FastStep::Op::Or});
        return true;
    }
    case Expr::Kind::Exists: {
        const Path& path = paths[e.a];
        if (path.stepCount != 1 || path.field != Field::Text) {
            return false;
        }
        const Step& step = steps[path.firstStep];
        // System is always there: its predicates alone decide.
        bool first = context == NodeKind::Event && step.kind == NodeKind::System;
        if (first && step.predicateCount == 0) {
            push({FastStep::Op::True});
        } else if (!first && context == NodeKind::System && FastBit(step.kind) != 0) {
            push({FastStep::Op::Present, step.kind});
        } else if (!first) {
            return false;
        }
        for (uint32_t p = 0; p < step.predicateCount; ++p) {
            if (!BuildFast(predicates[step.firstPredicate + p], step.kind, depth, maxDepth)) {
                return false;
            }
            if (!first) {
                push({FastStep::Op::And});
            }
            first = false;
        }
        return true;
    }
    case Expr::Kind::Compare: {
        const Path& path = paths[e.a];
        const Literal& literal = literals[e.literal];
        if (e.function != Expr::Function::None) {
            return false;
        }
        if (context == NodeKind::System && path.stepCount == 1 && path.field == Field::Text) {
            const Step& step = steps[path.firstStep];
            if (FastBit(step.kind) == 0 || step.kind == NodeKind::TimeCreated ||
                step.predicateCount != 0 || literal.type != Literal::Type::Number ||
                !literal.integral) {
                return false;
            }
            push({FastStep::Op::Compare, step.kind, e.op, 0, literal.unsignedValue});
            return true;
        }
        if (context == NodeKind::TimeCreated && path.stepCount == 0 &&
            path.field == Field::SystemTime && literal.type == Literal::Type::Time) {
            push({FastStep::Op::Compare, NodeKind::TimeCreated, e.op, 0, literal.time});
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}

bool Expression::MatchesFast(const Event& event) const noexcept {
    if (m_fast.size() == 1) {
        return FastTest(m_fast.front(), event);
    }
    bool stack[kFastDepth];
    size_t top = 0;
    for (const FastStep& step : m_fast) {
        switch (step.op) {
        case FastStep::Op::And:
            --top;
            stack[top - 1] = stack[top - 1] && stack[top];
            break;
        case FastStep::Op::Or:
            --top;
            stack[top - 1] = stack[top - 1] || stack[top];
            break;
        default:
            stack[top++] = FastTest(step, event);
            break;
        }
    }
    return top == 1 && stack[0];
}

size_t Expression::ScanFast(const EventList& events, size_t from, size_t length, size_t top,
                            bool reverse) const noexcept {
    // One step on the level, the event id or the task (the usual selections by level or id): the
    // value is read straight in the loop.
    if (m_fast.size() == 1) {
        const FastStep& step = m_fast.front();
        const auto scan = [&](auto read) {
            return ScanEvents(events, from, length, top, reverse,
                              [&](const Event& event) { return FastTest(step, event, read); });
        };
        switch (step.kind) {
        case NodeKind::Level:
            return scan([](const Event& e) { return e.level; });
        case NodeKind::EventID:
            return scan([](const Event& e) { return e.eventId; });
        case NodeKind::Task:
            return scan([](const Event& e) { return e.task; });
        default:
            break;
        }
    }
    return ScanEvents(events, from, length, top, reverse,
                      [this](const Event& event) { return MatchesFast(event); });
}

bool Expression::CompileValuePath(std::wstring_view path, Expression& out, QueryError& error) {
    out = Expression{};
    if (!ParseValuePathXPath(path, out, error)) {
        return false;
    }
    // "Event/EventData/Data" renders every Data value as one string array.
    const Path& p = out.paths[out.valuePath];
    out.m_eventDataArray = p.stepCount == 2 && p.field == Field::Text &&
                           out.steps[p.firstStep].kind == NodeKind::EventData &&
                           out.steps[p.firstStep].predicateCount == 0 &&
                           out.steps[p.firstStep + 1].kind == NodeKind::Item &&
                           out.steps[p.firstStep + 1].name == L"Data" &&
                           out.steps[p.firstStep + 1].predicateCount == 0;
    return true;
}

bool Expression::UsesTime() const noexcept {
    for (const Expr& e : exprs) {
        if (e.function == Expr::Function::Timediff) {
            return true;
        }
    }
    return false;
}

bool Expression::Matches(const Store& store, const Channel& channel, const Event& event,
                         uint64_t now) const {
    return !m_fast.empty() ? MatchesFast(event) : MatchesByPaths(store, channel, event, now);
}

bool Expression::MatchesByPaths(const Store& store, const Channel& channel, const Event& event,
                                uint64_t now) const {
    const Evaluator evaluator{*this, store, channel, event, now};
    return evaluator.Eval(root, Node{NodeKind::Event, 0}, 1);
}

void Expression::VisitValues(const Store& store, const Channel& channel, const Event& event,
                             bool (*visit)(void*, const Value&), void* context) const {
    const Evaluator evaluator{*this, store, channel, event, 0};
    const Path& path = paths[valuePath];
    auto test = [&](Node node) {
        const Value v = evaluator.ValueOf(node, path.field);
        return !visit(context, v);
    };
    evaluator.Any(path, 0, Node{NodeKind::Event, 0}, test);
}

} // namespace PalEventLog
