#include "ErrorHandling/ComMethodBoundary.h"

#include "ErrorHandling/ErrorDescription.h"
#include "ErrorHandling/ErrorMessages.h"

#include "Common/Logging/LogTestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// Takes the thread's error object; true when there was one.
bool TakeThreadErrorObject() {
    IErrorInfo* info = nullptr;
    const bool present = GetErrorInfo(0, &info) == S_OK && info != nullptr;
    if (info != nullptr) {
        info->Release();
    }
    return present;
}

class ComMethodBoundaryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_log.Registered()); }
    LogCapture m_log{"ERR"};
};

} // namespace

TEST_F(ComMethodBoundaryTest, AnHrxIsLoggedFromTheMethodAndBecomesTheThreadsErrorObject) {
    const int line = __LINE__ + 1;
    const FailureLine site = FAILURE_LINE(L"Halyard::Test::Method", L"Method failed due to: ");
    const HRESULT result = ComMethodBoundary(site, [] { RaiseError(E_ACCESSDENIED); });
    EXPECT_EQ(result, E_ACCESSDENIED);
    EXPECT_TRUE(TakeThreadErrorObject());
    const auto lines = m_log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(MessageOf(lines[0]).starts_with(
        L"Halyard::Test::Method failed: Method failed due to: 0x80070005 " +
        GetErrorMessage(E_ACCESSDENIED) + L" ["))
        << lines[0];
    EXPECT_NE(lines[0].find(L"| ERR  |"), std::wstring::npos);
    EXPECT_NE(lines[0].find(L"ComMethodBoundaryTests.cpp:" + std::to_wstring(line)),
              std::wstring::npos)
        << "the line names the method's source position, not the boundary's";

    // Without a name, the context stands alone; without a failure line nothing is logged.
    ComMethodBoundary(FAILURE_LINE(nullptr, L"Sweep has error: "), [] { RaiseError(E_FAIL); });
    ComMethodBoundary([] { RaiseError(E_FAIL); });
    const auto messages = m_log.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[1].starts_with(L"Sweep has error: 0x80004005 ")) << messages[1];
    TakeThreadErrorObject();
}

TEST_F(ComMethodBoundaryTest, ResultsAndOtherExceptions) {
    EXPECT_EQ(ComMethodBoundary([] {}), S_OK);
    EXPECT_EQ(ComMethodBoundary([] { return S_FALSE; }), S_FALSE);
    const FailureLine site = FAILURE_LINE(L"Halyard::Test::Method", L"failed due to: ");
    EXPECT_EQ(ComMethodBoundary(site, [] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(ComMethodBoundary(site, [] { throw std::runtime_error("no thread"); }), E_FAIL);
    EXPECT_EQ(ComMethodBoundary([] { throw 7; }), E_FAIL);
    EXPECT_FALSE(TakeThreadErrorObject());
    // A thread body's failure is reported whatever was thrown: the line has the code's text.
    const auto messages = m_log.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(
        messages[0].starts_with(L"Halyard::Test::Method failed: failed due to: 0x8007000E "))
        << messages[0];
    EXPECT_TRUE(
        messages[1].starts_with(L"Halyard::Test::Method failed: failed due to: 0x80004005 "))
        << messages[1];
    EXPECT_NE(messages[1].find(L"(no thread)"), std::wstring::npos) << messages[1];
}
