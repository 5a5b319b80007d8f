#include "Base/Text.h"

#include <gtest/gtest.h>

#include <clocale>

#include <string>
#include <vector>

// The case-blind search scans for the characters that may start a match without asking the
// locale, and a prepared needle of 8 characters or more skips ahead by the character under its
// end; whatever either skips, it must find exactly what a search of the lower-cased copy finds:
// at the start, across and after its blocks of eight, at the very end, with capitals and with
// letters beyond ASCII on either side; in the C locale and in one that lower-cases beyond ASCII
// (where the Kelvin sign is a "k").
TEST(Text, ContainsLowerCasedFindsWhatTheLowerCasedCopyHolds) {
    const std::vector<std::wstring> texts = {
        L"",
        L"a",
        L"Service Control Manager",
        L"THE SERVICE ENTERED THE RUNNING STATE.",
        L"0123456789abcdefXYZ",
        L"Ünïcödé Évènement à 10:42, Größe \u212Aelvin \u0130stanbul",
        L"tail match at the very end: Needle",
        L"x\U0001F600y emoji and tab\tseparated",
    };
    const std::vector<std::wstring> needles = {
        L"",
        L"a",
        L"s",
        L"service",
        L"running state.",
        L"xyz",
        L"needle",
        L"é",
        L"évènement",
        L"größe",
        L"kelvin",
        L"istanbul",
        L"kelvin istanbul",
        L"not here either",
        L"the running state.",
        L"2, größe",
        L"42, größe",
        L"cödé évèn",
        L"\U0001F600y",
        L"\t",
        L"manager",
        L"not there",
        L"0123456789abcdefxyz!",
    };
    const auto compare = [&](const char* locale) {
        for (size_t t = 0; t < texts.size(); ++t) {
            const std::wstring lowered = Base::LowerCase(texts[t]);
            for (size_t n = 0; n < needles.size(); ++n) {
                const std::wstring needle = Base::LowerCase(needles[n]);
                const bool expected = lowered.find(needle) != std::wstring::npos;
                EXPECT_EQ(Base::ContainsLowerCased(texts[t], needle), expected)
                    << "locale " << locale << ", text " << t << ", needle " << n;
                EXPECT_EQ(Base::CaseBlindNeedle(needle).FoundIn(texts[t]), expected)
                    << "prepared, locale " << locale << ", text " << t << ", needle " << n;
            }
        }
    };
    compare("C");
    if (std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {
        EXPECT_TRUE(Base::ContainsLowerCased(texts[5], L"kelvin"));
        EXPECT_TRUE(Base::CaseBlindNeedle(L"kelvin istanbul").FoundIn(texts[5]));
        compare("C.UTF-8");
        std::setlocale(LC_CTYPE, "C");
    }
}
