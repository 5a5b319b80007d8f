// A node or attribute name written once in the node library's encoding: a constant of the code
// that sets the same attributes on many nodes costs no conversion per call.
#pragma once

#include "Quarry/Quarry.h"

#include <array>
#include <cstddef>

namespace NodeTree {

class NodeName {
public:
    static constexpr size_t Capacity = 32;

    // From a wide literal of ASCII characters (anything else does not compile).
    template <size_t Size>
    consteval NodeName(const wchar_t (&text)[Size]) : m_wide(text) {
        static_assert(Size <= Capacity, "a longer name needs a larger Capacity");
        for (size_t i = 0; i < Size; ++i) {
            if (static_cast<unsigned long>(text[i]) > 0x7F) {
                throw "names are ASCII";
            }
            m_units[i] = static_cast<EKNCHAR>(text[i]);
        }
    }

    // The name as the module writes it (log lines).
    constexpr const wchar_t* Wide() const noexcept { return m_wide; }
    // The NUL-terminated name in the node library's encoding.
    constexpr const EKNCHAR* Units() const noexcept { return m_units.data(); }

private:
    const wchar_t* m_wide;
    std::array<EKNCHAR, Capacity> m_units{};
};

} // namespace NodeTree
