#include "PalEventLog/Store/AppendOnly.h"

#include <gtest/gtest.h>

#ifdef PAL_APPEND_ONLY_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

using namespace PalEventLog;

namespace {

std::vector<int> Range(int first, int last) {
    std::vector<int> values(static_cast<size_t>(last - first + 1));
    std::iota(values.begin(), values.end(), first);
    return values;
}

} // namespace

// Elements across chunk boundaries (chunks of 4, 8, 16, ... here), after adopted ones or not: read
// by index, by iterators, in runs both ways (as the query engine scans) and copied out.
TEST(AppendOnlyVector, ElementsAndRunsAcrossChunks) {
    for (const int adopted : {0, 5}) {
        AppendOnlyVector<int, 2> values;
        if (adopted != 0) {
            values.Adopt(Range(0, adopted - 1));
        }
        while (values.size() < 100) {
            values.push_back(static_cast<int>(values.size()));
        }
        const int more[] = {100, 101, 102};
        values.Append(more, 3);
        ASSERT_EQ(values.size(), 103u);
        EXPECT_EQ(std::vector<int>(values.begin(), values.end()), Range(0, 102));
        EXPECT_EQ(std::lower_bound(values.begin(), values.end(), 50) - values.begin(), 50);
        std::vector<int> up;
        for (size_t i = 3; i < 97;) {
            const auto [first, count] = values.Run(i, 97);
            ASSERT_GT(count, 0u);
            up.insert(up.end(), first, first + count);
            i += count;
        }
        EXPECT_EQ(up, Range(3, 96)) << adopted;
        std::vector<int> down;
        for (size_t i = 96;;) {
            const auto [last, count] = values.RunDown(i, 3);
            ASSERT_GT(count, 0u);
            for (size_t k = 0; k < count; ++k) {
                down.push_back(*(last - k));
            }
            if (i < 3 + count) {
                break;
            }
            i -= count;
        }
        std::vector<int> expected = Range(3, 96);
        std::reverse(expected.begin(), expected.end());
        EXPECT_EQ(down, expected) << adopted;
        std::vector<int> copied;
        values.CopyTo(2, copied);
        EXPECT_EQ(copied, Range(2, 102));
    }
}

// A text appended in one piece stays in one piece, also where it does not fit into what is left
// of a chunk or is longer than the next one.
TEST(AppendOnlyVector, TextsLieInOnePiece) {
    AppendOnlyVector<wchar_t, 2> text;
    std::vector<std::pair<size_t, std::wstring>> placed;
    for (const std::wstring value : {L"ab", L"cdefg", L"", L"h", L"ijklmnopqrstuvwxyz0123", L"!"}) {
        placed.emplace_back(text.AppendContiguous(value.data(), value.size(), L'\0'), value);
    }
    for (const auto& [at, value] : placed) {
        if (!value.empty()) {
            EXPECT_EQ(std::wstring_view(&text[at], value.size()), value);
        }
    }
    EXPECT_EQ(placed.back().first + 1, text.size());
}

#ifdef PAL_APPEND_ONLY_LEAK_CHECKED
// Elements that own heap memory, in chunks mapped from the system: the leak checker, which does
// not scan mapped memory by itself, must see that memory as held, and as freed once it is.
TEST(AppendOnlyVector, MemoryItsElementsOwnIsNotReportedAsLeaked) {
    {
        AppendOnlyVector<std::vector<uint8_t>, 2> owners;
        for (int i = 0; i < 40; ++i) {
            owners.push_back(std::vector<uint8_t>(32, static_cast<uint8_t>(i)));
        }
        EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
        EXPECT_EQ(owners[39][31], 39);
    }
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
}
#endif
