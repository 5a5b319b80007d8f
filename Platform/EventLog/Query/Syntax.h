// The syntax of the XPath subset the Windows event log accepts, as the parser reads it: flat
// tables of expressions, paths, steps and literals, built bottom-up and referenced by index.
#pragma once

#include "Win32/WinTypes.h"

#include <cstdint>
#include <string>
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

// One XPath read into tables: `root` is the expression a filter tests, `valuePath` the path a
// value path selects.
struct Syntax {
    std::vector<Expr> exprs;
    std::vector<Path> paths;
    std::vector<Step> steps;
    std::vector<uint32_t> predicates; // expr indexes, referenced by steps
    std::vector<Literal> literals;
    uint32_t root = 0;
    uint32_t valuePath = 0;
};

} // namespace PalEventLog
