// Structured queries (QueryList, Query, Select, Suppress) over channels and log files, each
// selection a compiled Expression.
#include "PalEventLog/Query/Query.h"

#include "PalEventLog/Query/XPathParser.h"

#include "Win32/WinError.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace PalEventLog {

namespace {

// Windows refuses selections of more than about 32 conditions (20 in a bare XPath). Off by default;
// PAL_EVENTLOG_STRICT_QUERIES=1 makes the stand-in refuse them too.
bool WithinStrictLimit(const Expression& e, size_t limit, QueryError& error) {
    const char* value = std::getenv("PAL_EVENTLOG_STRICT_QUERIES");
    const bool strict = value != nullptr && *value == '1';
    if (!strict) {
        return true;
    }
    // Conditions are comparisons and tests for leaf nodes; "System[...]" itself is none.
    size_t conditions = 0;
    for (const Expr& x : e.exprs) {
        if (x.kind == Expr::Kind::Compare || x.kind == Expr::Kind::Position) {
            ++conditions;
        } else if (x.kind == Expr::Kind::Exists) {
            const Path& path = e.paths[x.a];
            const bool leaf = path.field != Field::Text || path.stepCount == 0 ||
                              IsLeaf(e.steps[path.firstStep + path.stepCount - 1].kind);
            conditions += leaf ? 1 : 0;
        }
    }
    if (conditions <= limit) {
        return true;
    }
    error = {ERROR_EVT_INVALID_QUERY, L"the selection has " + std::to_wstring(conditions) +
                                          L" conditions, more than the " + std::to_wstring(limit) +
                                          L" allowed"};
    return false;
}

bool IsStructured(std::wstring_view query) {
    query = Trim(query);
    return !query.empty() && query.front() == L'<';
}

void SplitPath(std::wstring_view path, bool defaultIsFile, std::wstring& out, bool& file) {
    if (path.substr(0, 7) == L"file://") {
        out = path.substr(7);
        file = true;
    } else {
        out = path;
        file = defaultIsFile;
    }
}

} // namespace

bool CompiledQuery::Compile(const wchar_t* query, std::wstring_view defaultPath, bool defaultIsFile,
                            CompiledQuery& out, QueryError& error) {
    out = CompiledQuery{};
    const std::wstring_view text = query ? std::wstring_view(query) : std::wstring_view();
    if (!IsStructured(text)) {
        Selector selector;
        if (defaultPath.empty()) {
            error = {ERROR_EVT_INVALID_QUERY, L"the query names no channel or log file"};
            return false;
        }
        SplitPath(defaultPath, defaultIsFile, selector.path, selector.file);
        const std::wstring_view xpath = Trim(text).empty() ? std::wstring_view(L"*") : text;
        if (!Expression::CompileFilter(xpath, selector.expression, error) ||
            !WithinStrictLimit(selector.expression, 20, error)) {
            return false;
        }
        QueryPart part;
        part.selectors.push_back(std::move(selector));
        out.parts.push_back(std::move(part));
        return true;
    }

    const std::string utf8 = Base::Utf8FromWide(text);
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(utf8.data(), utf8.size());
    if (!parsed) {
        error = {ERROR_EVT_MALFORMED_XML_TEXT, L"malformed query XML: " +
                                                   Base::WideFromUtf8(parsed.description()) +
                                                   L" at offset " + std::to_wstring(parsed.offset)};
        return false;
    }
    const pugi::xml_node root = document.document_element();
    if (std::string_view(root.name()) != "QueryList") {
        error = {ERROR_EVT_INVALID_QUERY, L"the query's root element is not QueryList"};
        return false;
    }
    for (pugi::xml_node q = root.first_child(); q; q = q.next_sibling()) {
        if (q.type() != pugi::node_element) {
            continue;
        }
        const std::wstring id = Base::WideFromUtf8(q.attribute("Id").value());
        if (std::string_view(q.name()) != "Query") {
            error = {ERROR_EVT_INVALID_QUERY,
                     L"unexpected element '" + Base::WideFromUtf8(q.name()) + L"' in QueryList"};
            return false;
        }
        const std::wstring queryPath = q.attribute("Path")
                                           ? Base::WideFromUtf8(q.attribute("Path").value())
                                           : std::wstring(defaultPath);
        QueryPart part;
        for (pugi::xml_node s = q.first_child(); s; s = s.next_sibling()) {
            if (s.type() != pugi::node_element) {
                continue;
            }
            const std::string_view name = s.name();
            if (name != "Select" && name != "Suppress") {
                error = {ERROR_EVT_INVALID_QUERY, L"unexpected element '" +
                                                      Base::WideFromUtf8(name) +
                                                      L"' in Query Id='" + id + L"'"};
                return false;
            }
            Selector selector;
            selector.suppress = name == "Suppress";
            const std::wstring path =
                s.attribute("Path") ? Base::WideFromUtf8(s.attribute("Path").value()) : queryPath;
            if (path.empty()) {
                error = {ERROR_EVT_INVALID_QUERY,
                         Base::WideFromUtf8(name) + L" of Query Id='" + id + L"' names no path"};
                return false;
            }
            SplitPath(path, defaultIsFile && !s.attribute("Path") && !q.attribute("Path"),
                      selector.path, selector.file);
            const std::wstring xpath = Base::WideFromUtf8(s.text().get());
            if (s.first_element_by_path("*") ||
                !Expression::CompileFilter(xpath, selector.expression, error) ||
                !WithinStrictLimit(selector.expression, 32, error)) {
                if (error.code == 0) {
                    error = {ERROR_EVT_INVALID_QUERY,
                             L"elements inside " + Base::WideFromUtf8(name)};
                }
                error.message =
                    Base::WideFromUtf8(name) + L" of Query Id='" + id + L"': " + error.message;
                return false;
            }
            part.selectors.push_back(std::move(selector));
        }
        out.parts.push_back(std::move(part));
    }
    if (out.parts.empty()) {
        error = {ERROR_EVT_INVALID_QUERY, L"the QueryList holds no Query"};
        return false;
    }
    return true;
}

std::vector<std::pair<std::wstring, bool>> CompiledQuery::Paths() const {
    std::vector<std::pair<std::wstring, bool>> result;
    for (const QueryPart& part : parts) {
        for (const Selector& s : part.selectors) {
            if (s.suppress) {
                continue;
            }
            bool seen = false;
            for (const auto& [path, file] : result) {
                seen = seen || (file == s.file && EqualsNoCase(path, s.path));
            }
            if (!seen) {
                result.emplace_back(s.path, s.file);
            }
        }
    }
    return result;
}

PathMatcher::PathMatcher(const CompiledQuery& query, std::wstring_view path) {
    for (const QueryPart& part : query.parts) {
        Part p;
        for (const Selector& s : part.selectors) {
            if (!EqualsNoCase(s.path, path)) {
                continue;
            }
            (s.suppress ? p.suppresses : p.selects).push_back(&s.expression);
            m_usesTime = m_usesTime || s.expression.UsesTime();
        }
        if (!p.selects.empty()) {
            m_parts.push_back(std::move(p));
        }
    }
    if (m_parts.size() == 1 && m_parts.front().selects.size() == 1 &&
        m_parts.front().suppresses.empty() && m_parts.front().selects.front()->IsFast()) {
        m_single = m_parts.front().selects.front();
    }
}

bool PathMatcher::Matches(const Store& store, const Channel& channel, const Event& event,
                          uint64_t now) const {
    if (m_single != nullptr) {
        return m_single->MatchesFast(event);
    }
    for (const Part& part : m_parts) {
        bool selected = false;
        for (const Expression* e : part.selects) {
            if (e->Matches(store, channel, event, now)) {
                selected = true;
                break;
            }
        }
        if (!selected) {
            continue;
        }
        bool suppressed = false;
        for (const Expression* e : part.suppresses) {
            if (e->Matches(store, channel, event, now)) {
                suppressed = true;
                break;
            }
        }
        if (!suppressed) {
            return true;
        }
    }
    return false;
}

} // namespace PalEventLog
