// Number formatting: every locale formats like the invariant one here, with the caller's
// NUMBERFMTW when it gives one.

#include "PalWin32/ApiBoundary.h"
#include "Win32/WinBase.h"
#include "Win32/WinNls.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <string>

namespace {

// Groups the integer digits: "Grouping" is 0..9 (one size repeated) or 32 (3, then 2 repeated),
// as the Windows locale data writes it.
std::wstring GroupDigits(const std::wstring& digits, UINT grouping, const std::wstring& separator) {
    if (grouping == 0) {
        return digits;
    }
    UINT first = grouping;
    UINT rest = grouping;
    if (grouping >= 10) {
        first = grouping / 10;
        rest = grouping % 10;
    }
    std::wstring result;
    size_t end = digits.size();
    UINT size = first;
    while (end > size && size > 0) {
        result.insert(0, separator + digits.substr(end - size, size));
        end -= size;
        size = rest;
    }
    return digits.substr(0, end) + result;
}

} // namespace

int WINAPI GetNumberFormatW(LCID locale, DWORD flags, LPCWSTR value, const NUMBERFMTW* format,
                            LPWSTR numberText, int size) {
    return Base::CFunctionBoundary(Pal::FailWithLastError<int>(0), [&]() -> int {
        if (value == nullptr || size < 0 || (size > 0 && numberText == nullptr) ||
            (format != nullptr && flags != 0) ||
            (locale != LOCALE_INVARIANT && locale != LOCALE_USER_DEFAULT &&
             locale != LOCALE_SYSTEM_DEFAULT && locale != 0)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        wchar_t decimalDefault[] = L".";
        wchar_t thousandDefault[] = L",";
        const NUMBERFMTW invariant{2, 1, 3, decimalDefault, thousandDefault, 1};
        const NUMBERFMTW& fmt = format != nullptr ? *format : invariant;
        if (fmt.lpDecimalSep == nullptr || fmt.lpThousandSep == nullptr || fmt.NegativeOrder > 4 ||
            fmt.NumDigits > 9) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }

        // The value: an optional "-", digits, an optional "." with digits.
        std::wstring text(value);
        bool negative = false;
        size_t i = 0;
        if (i < text.size() && text[i] == L'-') {
            negative = true;
            ++i;
        }
        std::wstring integer;
        std::wstring fraction;
        while (i < text.size() && std::iswdigit(static_cast<wint_t>(text[i]))) {
            integer += text[i++];
        }
        if (i < text.size() && text[i] == L'.') {
            ++i;
            while (i < text.size() && std::iswdigit(static_cast<wint_t>(text[i]))) {
                fraction += text[i++];
            }
        }
        if (i != text.size() || (integer.empty() && fraction.empty())) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }

        // Round half up to NumDigits decimals.
        std::wstring digits = integer + fraction;
        const size_t keep = integer.size() + fmt.NumDigits;
        if (digits.size() > keep) {
            const bool roundUp = digits[keep] >= L'5';
            digits.resize(keep);
            if (roundUp) {
                size_t k = digits.size();
                while (k > 0 && digits[k - 1] == L'9') {
                    digits[--k] = L'0';
                }
                if (k == 0) {
                    digits.insert(0, 1, L'1');
                    integer.insert(0, 1, L'0'); // one more integer digit
                } else {
                    ++digits[k - 1];
                }
            }
        }
        digits.append(keep > digits.size() ? keep - digits.size() : 0, L'0');
        std::wstring whole = digits.substr(0, digits.size() - fmt.NumDigits);
        const std::wstring decimals = digits.substr(digits.size() - fmt.NumDigits);
        whole.erase(0, std::min(whole.find_first_not_of(L'0'), whole.size()));
        if (whole.empty() && fmt.LeadingZero != 0) {
            whole = L"0";
        }
        if (decimals.find_first_not_of(L'0') == std::wstring::npos &&
            whole.find_first_not_of(L'0') == std::wstring::npos) {
            negative = false; // no "-0"
        }
        std::wstring number = GroupDigits(whole, fmt.Grouping, fmt.lpThousandSep);
        if (fmt.NumDigits > 0) {
            number += fmt.lpDecimalSep;
            number += decimals;
        }
        if (negative) {
            switch (fmt.NegativeOrder) {
            case 0:
                number = L"(" + number + L")";
                break;
            case 1:
                number = L"-" + number;
                break;
            case 2:
                number = L"- " + number;
                break;
            case 3:
                number += L"-";
                break;
            default:
                number += L" -";
                break;
            }
        }
        const int needed = static_cast<int>(number.size() + 1);
        if (size == 0) {
            return needed;
        }
        if (size < needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::wmemcpy(numberText, number.c_str(), number.size() + 1);
        return needed;
    });
}
