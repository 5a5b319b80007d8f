// The request nodes a client of the component sends, built one way for the tests and the
// benchmarks: filter sets, continuation marks, page requests and requests that name a session.
#pragma once

#include "NodeTree/EkNodePtr.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace CorvaneRequests {

// A new root node (a request, or a node of one).
inline EkNodePtr Node(const wchar_t* name, const wchar_t* type = nullptr) {
    return EkNodePtr::CreateNode(name, type);
}

// A filter set ("Filters") holding the given filter nodes.
inline EkNodePtr Filters(std::initializer_list<EkNodePtr> children) {
    const EkNodePtr filters = Node(L"Filters");
    for (const EkNodePtr& child : children) {
        filters.AddChild(child);
    }
    return filters;
}

// A filter node of `type` with one list attribute.
inline EkNodePtr ListFilter(const wchar_t* type, const wchar_t* attribute,
                            const std::vector<std::wstring>& values) {
    const EkNodePtr filter = Node(nullptr, type);
    filter.SetAttribute(attribute, values);
    return filter;
}

inline EkNodePtr SearchFilter(const wchar_t* text) {
    const EkNodePtr filter = Node(nullptr, L"SearchFilter");
    filter.SetAttribute(L"SearchString", text);
    return filter;
}

// A continuation mark as a client first sends it; a session id and a view time when given.
inline EkNodePtr NewMark(int64_t count, const GUID* id = nullptr,
                         const std::wstring& firstEventTime = {}) {
    const EkNodePtr mark = Node(L"ContinuationMark");
    if (id != nullptr) {
        mark.SetAttribute(L"SessionId", *id);
    }
    mark.SetAttribute(L"Position", int64_t{0});
    mark.SetAttribute(L"Count", count);
    if (!firstEventTime.empty()) {
        mark.SetAttribute(L"FirstEventTime", firstEventTime);
    }
    return mark;
}

// A request named `name` with copies of the mark and the filters, each when given.
inline EkNodePtr MarkRequest(const wchar_t* name, const EkNodePtr& mark,
                             const EkNodePtr& filters = {}) {
    const EkNodePtr request = Node(name);
    if (mark) {
        request.AddChild(mark.CloneNode(EKN_DEPTH_ALL));
    }
    if (filters) {
        request.AddChild(filters.CloneNode(EKN_DEPTH_ALL));
    }
    return request;
}

// A page request (direction 0: the next page, 1: the one before) with copies of the mark and the
// filters.
inline EkNodePtr PageRequest(const EkNodePtr& mark, uint32_t direction, int64_t count,
                             const EkNodePtr& filters = {}) {
    const EkNodePtr request = MarkRequest(L"GetDataRequest", mark, filters);
    request.SetAttribute(L"Direction", static_cast<int32_t>(direction));
    request.SetAttribute(L"EventsCount", count);
    return request;
}

// A request that names a session and carries only a new mark of it.
inline EkNodePtr SessionRequest(const wchar_t* name, const GUID& id, int64_t count = 20) {
    const EkNodePtr mark = NewMark(count, &id);
    return MarkRequest(name, mark);
}

} // namespace CorvaneRequests
