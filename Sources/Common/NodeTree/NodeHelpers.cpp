#include "NodeTree/EkNodePtr.h"

#include <cstring>

void CopyAttribute(const wchar_t* sourceName, const EkNodePtr& source, const wchar_t* targetName,
                   const EkNodePtr& target, std::vector<uint8_t>& scratch, bool* changed,
                   bool mustExist) {
    uint16_t type = 0;
    if (!source.GetRawAttribute(sourceName, scratch, type)) {
        if (mustExist) {
            RaiseError(HR_NOT_FOUND);
        }
        return;
    }
    if (changed != nullptr) {
        std::vector<uint8_t> current;
        uint16_t currentType = 0;
        if (target.GetRawAttribute(targetName, current, currentType) && currentType == type &&
            current == scratch) {
            *changed = false;
            return;
        }
        *changed = true;
    }
    target.SetRawAttribute(targetName, type, scratch.empty() ? nullptr : scratch.data(),
                           static_cast<uint32_t>(scratch.size()));
}

namespace {

// How far the absolute `path` and the full path of the start node share whole components:
// the length of the shared prefix, which ends at a "\" or where both texts end or reach one.
size_t CommonPrefixLength(const std::wstring& full, const std::wstring& path) {
    size_t i = 1;
    size_t lastSeparator = 0;
    while (i < full.size() && i < path.size() && full[i] == path[i]) {
        if (full[i] == L'\\') {
            lastSeparator = i;
        }
        ++i;
    }
    const bool fullAtBoundary = i == full.size() || full[i] == L'\\';
    const bool pathAtBoundary = i == path.size() || path[i] == L'\\';
    return fullAtBoundary && pathAtBoundary ? i : lastSeparator;
}

EkNodePtr FindNode(const EkNodePtr& start, const std::wstring& path, uint32_t flags) {
    EkNodePtr current = start;
    std::wstring remaining = path;
    if (!path.empty() && path.front() == L'\\') {
        const std::wstring full = start.GetNodeName(EKN_NAME_FULL_PATH);
        const size_t prefix = CommonPrefixLength(full, path);
        if (prefix < 2) {
            return EkNodePtr();
        }
        size_t levels = 0;
        for (size_t i = prefix; i < full.size(); ++i) {
            if (full[i] == L'\\') {
                ++levels;
            }
        }
        if (levels > 0 && (flags & FIND_NO_CLIMB) != 0) {
            return EkNodePtr();
        }
        for (; levels > 0 && current; --levels) {
            current = current.GetParent();
        }
        remaining = path.substr(prefix);
    }
    size_t begin = 0;
    while (current && begin < remaining.size()) {
        size_t end = remaining.find(L'\\', begin);
        if (end == std::wstring::npos) {
            end = remaining.size();
        }
        if (end > begin) {
            const std::wstring name = remaining.substr(begin, end - begin);
            current = current.GetChildByName(name.c_str(), false);
        }
        begin = end + 1;
    }
    return current;
}

} // namespace

EkNodePtr FindNodeByPath(const EkNodePtr& start, const std::wstring& path, uint32_t flags) {
    EkNodePtr found = FindNode(start, path, flags);
    if (!found && (flags & FIND_MUST_EXIST) != 0) {
        RaiseError(HR_NOT_FOUND);
    }
    return found;
}
