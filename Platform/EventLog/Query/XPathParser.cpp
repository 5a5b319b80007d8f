// The parser of the XPath subset: a filter or a value path, read once into the flat tables of a
// Syntax that the evaluator walks.
#include "PalEventLog/Query/XPathParser.h"

#include "PalEventLog/Store/Text.h"

#include "Win32/WinError.h"

#include <cmath>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

namespace PalEventLog {

bool IsLeaf(NodeKind kind) {
    switch (kind) {
    case NodeKind::Event:
    case NodeKind::System:
    case NodeKind::EventData:
    case NodeKind::UserData:
    case NodeKind::UserDataRoot:
        return false;
    default:
        return true;
    }
}

namespace {

bool IsNameStart(wchar_t c) {
    return std::iswalpha(static_cast<wint_t>(c)) || c == L'_';
}
bool IsNameChar(wchar_t c) {
    return IsNameStart(c) || std::iswdigit(static_cast<wint_t>(c)) || c == L'-' || c == L'.' ||
           c == L':';
}

NodeKind ResolveChild(NodeKind parent, std::wstring_view name) {
    struct Entry {
        std::wstring_view name;
        NodeKind kind;
    };
    static constexpr Entry kSystem[] = {
        {L"Provider", NodeKind::Provider},
        {L"EventID", NodeKind::EventID},
        {L"Version", NodeKind::Version},
        {L"Level", NodeKind::Level},
        {L"Task", NodeKind::Task},
        {L"Opcode", NodeKind::Opcode},
        {L"Keywords", NodeKind::Keywords},
        {L"TimeCreated", NodeKind::TimeCreated},
        {L"EventRecordID", NodeKind::EventRecordID},
        {L"Correlation", NodeKind::Correlation},
        {L"Execution", NodeKind::Execution},
        {L"Channel", NodeKind::Channel},
        {L"Computer", NodeKind::Computer},
        {L"Security", NodeKind::Security},
    };
    switch (parent) {
    case NodeKind::Event:
        if (name == L"System") {
            return NodeKind::System;
        }
        if (name == L"EventData") {
            return NodeKind::EventData;
        }
        if (name == L"UserData") {
            return NodeKind::UserData;
        }
        return NodeKind::Nothing;
    case NodeKind::System:
        for (const Entry& e : kSystem) {
            if (e.name == name) {
                return e.kind;
            }
        }
        return NodeKind::Nothing;
    case NodeKind::EventData:
    case NodeKind::UserDataRoot:
        return NodeKind::Item;
    case NodeKind::UserData:
        return NodeKind::UserDataRoot;
    default:
        return NodeKind::Nothing;
    }
}

// The attributes of System's elements and of EventData's and UserData's items that a step can test.
Field ResolveAttribute(NodeKind kind, std::wstring_view name) {
    struct Entry {
        NodeKind kind;
        std::wstring_view name;
        Field field;
    };
    static constexpr Entry kAttributes[] = {
        {NodeKind::Provider, L"Name", Field::ProviderName},
        {NodeKind::Provider, L"Guid", Field::ProviderGuid},
        {NodeKind::Provider, L"EventSourceName", Field::EventSourceName},
        {NodeKind::EventID, L"Qualifiers", Field::Qualifiers},
        {NodeKind::TimeCreated, L"SystemTime", Field::SystemTime},
        {NodeKind::Correlation, L"ActivityID", Field::ActivityID},
        {NodeKind::Correlation, L"RelatedActivityID", Field::RelatedActivityID},
        {NodeKind::Execution, L"ProcessID", Field::ProcessID},
        {NodeKind::Execution, L"ThreadID", Field::ThreadID},
        {NodeKind::Security, L"UserID", Field::UserID},
        {NodeKind::Item, L"Name", Field::ItemName},
    };
    for (const Entry& e : kAttributes) {
        if (e.kind == kind && e.name == name) {
            return e.field;
        }
    }
    return Field::None;
}

CompareOp Mirror(CompareOp op) {
    switch (op) {
    case CompareOp::Lt:
        return CompareOp::Gt;
    case CompareOp::Le:
        return CompareOp::Ge;
    case CompareOp::Gt:
        return CompareOp::Lt;
    case CompareOp::Ge:
        return CompareOp::Le;
    default:
        return op;
    }
}

// The parser. Expressions are built bottom-up into the Syntax's tables; steps and predicate
// lists are collected locally and appended whole so each path's steps stay contiguous.
class Parser {
public:
    Parser(std::wstring_view text, Syntax& out, QueryError& error)
        : m_text(text), m_out(out), m_error(error) {}

    bool ParseFilter() {
        m_out.exprs.push_back(Expr{}); // index 0: True
        Ws();
        if (!ParseRoot()) {
            return false;
        }
        std::vector<uint32_t> conditions;
        if (!ParsePredicates(NodeKind::Event, conditions)) {
            return false;
        }
        if (Peek(L'/')) {
            Path path;
            if (!ParsePathSteps(NodeKind::Event, path, true)) {
                return false;
            }
            Expr exists;
            exists.kind = Expr::Kind::Exists;
            exists.a = AddPath(path);
            conditions.push_back(Add(exists));
        }
        Ws();
        if (m_pos != m_text.size()) {
            return Fail(L"unexpected text");
        }
        uint32_t root = 0;
        for (uint32_t c : conditions) {
            root = root == 0 ? c : And(root, c);
        }
        m_out.root = root;
        return true;
    }

    bool ParseValuePath() {
        m_out.exprs.push_back(Expr{});
        Ws();
        Eat(L'/'); // "/Event/System/Level" is "Event/System/Level"
        if (!ParseRoot()) {
            return false;
        }
        Path path;
        if (Peek(L'/') && !ParsePathSteps(NodeKind::Event, path, true)) {
            return false;
        }
        Ws();
        if (m_pos != m_text.size()) {
            return Fail(L"unexpected text");
        }
        m_out.valuePath = AddPath(path);
        return true;
    }

private:
    struct Operand {
        enum class Kind { Path, Literal, Position, Timediff, Band } kind = Kind::Path;
        uint32_t index = 0; // path or literal
        uint32_t mask = 0;
    };

    bool Fail(std::wstring_view what) {
        if (m_error.code == 0) {
            m_error.code = ERROR_EVT_INVALID_QUERY;
            m_error.message = std::wstring(what) + L" at position " + std::to_wstring(m_pos + 1) +
                              L" in '" + std::wstring(m_text) + L"'";
        }
        return false;
    }
    void Ws() {
        while (m_pos < m_text.size() && std::iswspace(static_cast<wint_t>(m_text[m_pos]))) {
            ++m_pos;
        }
    }
    bool Peek(wchar_t c) {
        Ws();
        return m_pos < m_text.size() && m_text[m_pos] == c;
    }
    bool Eat(wchar_t c) {
        if (Peek(c)) {
            ++m_pos;
            return true;
        }
        return false;
    }
    bool Expect(wchar_t c) {
        if (Eat(c)) {
            return true;
        }
        return Fail(std::wstring(L"expected '") + c + L"'");
    }
    bool PeekName() {
        Ws();
        return m_pos < m_text.size() && IsNameStart(m_text[m_pos]);
    }
    std::wstring_view Name() {
        Ws();
        const size_t start = m_pos;
        while (m_pos < m_text.size() && IsNameChar(m_text[m_pos])) {
            ++m_pos;
        }
        return m_text.substr(start, m_pos - start);
    }
    // A keyword ("and", "or") followed by something that cannot continue a name.
    bool EatKeyword(std::wstring_view word) {
        Ws();
        if (m_text.substr(m_pos, word.size()) != word) {
            return false;
        }
        const size_t after = m_pos + word.size();
        if (after < m_text.size() && IsNameChar(m_text[after])) {
            return false;
        }
        m_pos = after;
        return true;
    }

    uint32_t Add(const Expr& e) {
        m_out.exprs.push_back(e);
        return static_cast<uint32_t>(m_out.exprs.size() - 1);
    }
    uint32_t And(uint32_t a, uint32_t b) {
        Expr e;
        e.kind = Expr::Kind::And;
        e.a = a;
        e.b = b;
        return Add(e);
    }
    uint32_t AddPath(const Path& p) {
        m_out.paths.push_back(p);
        return static_cast<uint32_t>(m_out.paths.size() - 1);
    }
    uint32_t AddLiteral(Literal l) {
        m_out.literals.push_back(std::move(l));
        return static_cast<uint32_t>(m_out.literals.size() - 1);
    }

    bool ParseRoot() {
        if (Eat(L'*')) {
            return true;
        }
        if (PeekName() && Name() == L"Event") {
            return true;
        }
        return Fail(L"a path must start with '*' or 'Event'");
    }

    bool ParsePredicates(NodeKind kind, std::vector<uint32_t>& conditions) {
        while (Eat(L'[')) {
            const bool outerUsedPosition = m_usedPosition;
            m_usedPosition = false;
            const size_t start = m_pos;
            uint32_t condition = 0;
            Ws();
            // "[n]" is "[position()=n]".
            size_t scan = m_pos;
            while (scan < m_text.size() && std::iswdigit(static_cast<wint_t>(m_text[scan]))) {
                ++scan;
            }
            size_t after = scan;
            while (after < m_text.size() && std::iswspace(static_cast<wint_t>(m_text[after]))) {
                ++after;
            }
            if (scan > m_pos && after < m_text.size() && m_text[after] == L']') {
                Literal l;
                l.type = Literal::Type::Number;
                l.integral = true;
                l.unsignedValue = ParseUnsigned(m_text.substr(m_pos, scan - m_pos)).value_or(0);
                l.number = static_cast<double>(l.unsignedValue);
                Expr e;
                e.kind = Expr::Kind::Position;
                e.literal = AddLiteral(std::move(l));
                condition = Add(e);
                m_usedPosition = true;
                m_pos = after;
            } else if (!ParseOr(kind, condition)) {
                return false;
            }
            if (m_usedPosition && !IsLeaf(kind)) {
                m_pos = start;
                return Fail(L"position() applies to leaf nodes only");
            }
            m_usedPosition = outerUsedPosition;
            if (!Expect(L']')) {
                return false;
            }
            conditions.push_back(condition);
        }
        return true;
    }

    // Steps after the context node: "/System[...]/Level", "EventData/Data[@Name='x']", "@Name".
    // `leadingSlash`: the path continues a root ("Event/...") and starts with '/'.
    bool ParsePathSteps(NodeKind kind, Path& path, bool leadingSlash) {
        std::vector<Step> steps;
        std::vector<std::vector<uint32_t>> stepPredicates;
        bool first = true;
        while (true) {
            if (!first || leadingSlash) {
                if (!Eat(L'/')) {
                    break;
                }
                if (Peek(L'/')) {
                    return Fail(L"the descendant axis is not supported");
                }
            }
            first = false;
            if (Eat(L'@')) {
                if (!PeekName()) {
                    return Fail(L"expected an attribute name");
                }
                path.field = ResolveAttribute(kind, Name());
                break;
            }
            Step step;
            std::wstring_view name;
            if (Eat(L'*')) {
                name = L"*";
            } else if (PeekName()) {
                name = Name();
                if (Peek(L'(')) {
                    if (name != L"text") {
                        return Fail(L"a function cannot be a path step");
                    }
                    ++m_pos;
                    if (!Expect(L')')) {
                        return false;
                    }
                    continue; // text() reads the node's text, as the path end does anyway
                }
                if (Peek(L':') && m_pos + 1 < m_text.size() && m_text[m_pos + 1] == L':') {
                    return Fail(L"axes are not supported");
                }
            } else {
                return Fail(L"expected a node name");
            }
            const NodeKind child = name == L"*" && kind != NodeKind::EventData &&
                                           kind != NodeKind::UserData &&
                                           kind != NodeKind::UserDataRoot
                                       ? NodeKind::Nothing
                                       : ResolveChild(kind, name);
            step.kind = child;
            if (child == NodeKind::Item || child == NodeKind::UserDataRoot) {
                step.name = name == L"*" ? L"" : std::wstring(name);
            }
            std::vector<uint32_t> conditions;
            if (!ParsePredicates(child, conditions)) {
                return false;
            }
            steps.push_back(std::move(step));
            stepPredicates.push_back(std::move(conditions));
            kind = child;
        }
        path.firstStep = static_cast<uint32_t>(m_out.steps.size());
        path.stepCount = static_cast<uint32_t>(steps.size());
        for (size_t i = 0; i < steps.size(); ++i) {
            steps[i].firstPredicate = static_cast<uint32_t>(m_out.predicates.size());
            steps[i].predicateCount = static_cast<uint32_t>(stepPredicates[i].size());
            m_out.predicates.insert(m_out.predicates.end(), stepPredicates[i].begin(),
                                    stepPredicates[i].end());
            m_out.steps.push_back(std::move(steps[i]));
        }
        return true;
    }

    bool ParseOr(NodeKind kind, uint32_t& result) {
        if (!ParseAnd(kind, result)) {
            return false;
        }
        while (EatKeyword(L"or")) {
            uint32_t right = 0;
            if (!ParseAnd(kind, right)) {
                return false;
            }
            Expr e;
            e.kind = Expr::Kind::Or;
            e.a = result;
            e.b = right;
            result = Add(e);
        }
        return true;
    }

    bool ParseAnd(NodeKind kind, uint32_t& result) {
        if (!ParseUnary(kind, result)) {
            return false;
        }
        while (EatKeyword(L"and")) {
            uint32_t right = 0;
            if (!ParseUnary(kind, right)) {
                return false;
            }
            result = And(result, right);
        }
        return true;
    }

    bool ParseUnary(NodeKind kind, uint32_t& result) {
        if (++m_depth > 64) {
            return Fail(L"expression nested too deeply");
        }
        bool ok = false;
        if (Eat(L'(')) {
            ok = ParseOr(kind, result) && Expect(L')');
        } else {
            ok = ParseComparison(kind, result);
        }
        --m_depth;
        return ok;
    }

    bool ParseCompareOp(CompareOp& op) {
        Ws();
        auto at = [&](std::wstring_view s) { return m_text.substr(m_pos, s.size()) == s; };
        if (at(L"!=")) {
            op = CompareOp::Ne;
            m_pos += 2;
        } else if (at(L"<=")) {
            op = CompareOp::Le;
            m_pos += 2;
        } else if (at(L">=")) {
            op = CompareOp::Ge;
            m_pos += 2;
        } else if (at(L"=")) {
            op = CompareOp::Eq;
            m_pos += 1;
        } else if (at(L"<")) {
            op = CompareOp::Lt;
            m_pos += 1;
        } else if (at(L">")) {
            op = CompareOp::Gt;
            m_pos += 1;
        } else {
            return false;
        }
        return true;
    }

    bool ParseComparison(NodeKind kind, uint32_t& result) {
        Operand left;
        if (!ParseOperand(kind, left)) {
            return false;
        }
        CompareOp op = CompareOp::Eq;
        if (!ParseCompareOp(op)) {
            Expr e;
            switch (left.kind) {
            case Operand::Kind::Path:
                e.kind = Expr::Kind::Exists;
                e.a = left.index;
                result = Add(e);
                return true;
            case Operand::Kind::Band:
                e.kind = Expr::Kind::Compare;
                e.function = Expr::Function::Band;
                e.a = left.index;
                e.mask = left.mask;
                result = Add(e);
                return true;
            default:
                return Fail(L"expected a comparison");
            }
        }
        Operand right;
        if (!ParseOperand(kind, right)) {
            return false;
        }
        if (left.kind == Operand::Kind::Literal) {
            std::swap(left, right);
            op = Mirror(op);
        }
        if (right.kind != Operand::Kind::Literal || left.kind == Operand::Kind::Literal) {
            return Fail(L"a comparison needs a node or function on one side and a literal on "
                        L"the other");
        }
        Expr e;
        e.op = op;
        e.hasComparison = true;
        e.literal = right.index;
        switch (left.kind) {
        case Operand::Kind::Position:
            e.kind = Expr::Kind::Position;
            break;
        case Operand::Kind::Timediff:
            e.kind = Expr::Kind::Compare;
            e.function = Expr::Function::Timediff;
            e.a = left.index;
            break;
        case Operand::Kind::Band:
            e.kind = Expr::Kind::Compare;
            e.function = Expr::Function::Band;
            e.a = left.index;
            e.mask = left.mask;
            break;
        default:
            e.kind = Expr::Kind::Compare;
            e.a = left.index;
            break;
        }
        result = Add(e);
        return true;
    }

    bool ParseLiteral(Operand& operand) {
        Ws();
        Literal l;
        const wchar_t c = m_text[m_pos];
        if (c == L'\'' || c == L'"') {
            ++m_pos;
            std::wstring value;
            while (true) {
                if (m_pos >= m_text.size()) {
                    return Fail(L"unterminated string literal");
                }
                if (m_text[m_pos] == c) {
                    // A doubled delimiter is an escaped quote.
                    if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == c) {
                        value.push_back(c);
                        m_pos += 2;
                        continue;
                    }
                    ++m_pos;
                    break;
                }
                value.push_back(m_text[m_pos++]);
            }
            if (auto t = ParseSystemTime(value)) {
                l.type = Literal::Type::Time;
                l.time = *t;
            } else if (ParseGuid(value)) {
                l.type = Literal::Type::Guid;
            } else {
                l.type = Literal::Type::String;
            }
            l.text = std::move(value);
        } else {
            const size_t start = m_pos;
            if (m_text[m_pos] == L'-') {
                ++m_pos;
            }
            while (m_pos < m_text.size() &&
                   (std::iswalnum(static_cast<wint_t>(m_text[m_pos])) || m_text[m_pos] == L'.')) {
                ++m_pos;
            }
            const std::wstring_view number = m_text.substr(start, m_pos - start);
            l.type = Literal::Type::Number;
            l.text = number;
            if (auto u = ParseUnsigned(number)) {
                l.integral = true;
                l.unsignedValue = *u;
                l.number = static_cast<double>(*u);
            } else {
                l.number = ParseNumber(number);
                if (std::isnan(l.number)) {
                    m_pos = start;
                    return Fail(L"invalid number");
                }
            }
        }
        operand.kind = Operand::Kind::Literal;
        operand.index = AddLiteral(std::move(l));
        return true;
    }

    bool ParseOperand(NodeKind kind, Operand& operand) {
        Ws();
        if (m_pos >= m_text.size()) {
            return Fail(L"unexpected end of query");
        }
        const wchar_t c = m_text[m_pos];
        if (c == L'\'' || c == L'"' || std::iswdigit(static_cast<wint_t>(c)) || c == L'-') {
            return ParseLiteral(operand);
        }
        if (PeekName()) {
            const size_t start = m_pos;
            const std::wstring_view name = Name();
            if (Peek(L'(') && name != L"text") {
                ++m_pos;
                return ParseFunction(kind, name, operand);
            }
            m_pos = start;
        }
        if (c == L'@' || c == L'*' || IsNameStart(c)) {
            Path path;
            if (!ParsePathSteps(kind, path, false)) {
                return false;
            }
            operand.kind = Operand::Kind::Path;
            operand.index = AddPath(path);
            return true;
        }
        return Fail(std::wstring(L"unexpected '") + c + L"'");
    }

    bool ParseFunction(NodeKind kind, std::wstring_view name, Operand& operand) {
        if (name == L"position") {
            m_usedPosition = true;
            operand.kind = Operand::Kind::Position;
            return Expect(L')');
        }
        if (name == L"timediff") {
            Path path;
            if (!ParsePathSteps(kind, path, false)) {
                return false;
            }
            operand.kind = Operand::Kind::Timediff;
            operand.index = AddPath(path);
            return Expect(L')');
        }
        if (name == L"band") {
            Path path;
            if (!ParsePathSteps(kind, path, false) || !Expect(L',')) {
                return false;
            }
            Operand mask;
            if (!ParseOperand(kind, mask)) {
                return false;
            }
            if (mask.kind != Operand::Kind::Literal ||
                m_out.literals[mask.index].type != Literal::Type::Number) {
                return Fail(L"band() takes a node and a number");
            }
            operand.kind = Operand::Kind::Band;
            operand.index = AddPath(path);
            operand.mask = mask.index;
            return Expect(L')');
        }
        return Fail(L"unknown function '" + std::wstring(name) + L"'");
    }

    std::wstring_view m_text;
    Syntax& m_out;
    QueryError& m_error;
    size_t m_pos = 0;
    int m_depth = 0;
    bool m_usedPosition = false;
};

} // namespace

bool ParseFilterXPath(std::wstring_view text, Syntax& out, QueryError& error) {
    return Parser(text, out, error).ParseFilter();
}

bool ParseValuePathXPath(std::wstring_view text, Syntax& out, QueryError& error) {
    return Parser(text, out, error).ParseValuePath();
}

} // namespace PalEventLog
