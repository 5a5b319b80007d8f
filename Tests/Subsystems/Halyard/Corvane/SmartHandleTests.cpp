#include "Halyard/Corvane/SmartHandle.h"

#include "EventLogTestSupport.h"

using namespace EventLogTesting;
using namespace EventsApiUtils;

namespace {

// A result set of the test store; its handle stops working once closed.
EVT_HANDLE OpenResultSet() {
    return EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath);
}

bool IsOpenResultSet(EVT_HANDLE handle) {
    DWORD returned = 0;
    EVT_HANDLE event = nullptr;
    const BOOL ok = EvtNext(handle, 1, &event, 0, 0, &returned);
    if (ok) {
        EvtClose(event);
    }
    return ok || GetLastError() != ERROR_INVALID_HANDLE;
}

} // namespace

// Each kind of handle is closed by its own operation when its owner goes; moving transfers it, and
// assigning closes the handle held before.
TEST(SmartHandle, ClosesEachKindWithItsOwnOperation) {
    const EVT_HANDLE replaced = OpenResultSet();
    const EVT_HANDLE resultSet = OpenResultSet();
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE classic = OpenEventLogW(nullptr, L"Application");
    ASSERT_NE(resultSet, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(classic, nullptr);
    {
        SmartHandle evt = MakeSmartEvtHandle(resultSet);
        const SmartHandle kernel = MakeSmartHandle(event);
        const SmartHandle log = MakeSmartEventLogHandle(classic);
        SmartHandle moved = MakeSmartEvtHandle(replaced);
        moved = std::move(evt);
        EXPECT_FALSE(IsOpenResultSet(replaced));
        EXPECT_EQ(RawHandle(evt), nullptr);
        EXPECT_EQ(RawHandle(moved), resultSet);
        EXPECT_TRUE(IsOpenResultSet(resultSet));
    }
    EXPECT_FALSE(IsOpenResultSet(resultSet));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseEventLog(classic));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RawHandle(SmartHandle()), nullptr);
}

// A close that fails is logged with the text of its kind and keeps the thread's last error, so
// that cleanup during a failure does not hide it.
TEST(SmartHandle, FailedClosesAreLoggedAndKeepTheLastError) {
    const LogCapture log("ERR");
    const HANDLE classic = OpenEventLogW(nullptr, L"Application");
    ASSERT_NE(classic, nullptr);
    {
        const SmartHandle closedTwice = MakeSmartEventLogHandle(classic);
        ASSERT_TRUE(CloseEventLog(classic));
        const SmartHandle bogus = MakeSmartEvtHandle(reinterpret_cast<EVT_HANDLE>(0x12345));
        SetLastError(ERROR_TIMEOUT);
    }
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    const auto lines = log.Texts();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with(L"Close evt_handle failed due to: 0x80070006 ")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with(L"EventsApiUtils::OpenEventLogFile::<lambda_1>::operator () "
                                     L"failed: Failed close eventlog handler due to: 0x80070006 "))
        << lines[1];

    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(Detail::CloseHandle(&handle).Succeeded());
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(Detail::CloseHandle(&handle).Succeeded()); // a null handle is no call
    HANDLE closed = reinterpret_cast<HANDLE>(0x777);
    EXPECT_EQ(Detail::CloseHandle(&closed).Code(), HresultFromWin32(ERROR_INVALID_HANDLE));
    EXPECT_EQ(closed, nullptr);
}

TEST(SmartHandle, EventVectorsOwnEveryHandleInOrder) {
    std::vector<EVT_HANDLE> raw;
    for (int i = 0; i < 3; ++i) {
        raw.push_back(OpenResultSet());
    }
    {
        const SmartEvtVector owned = MakeSmartEvtVector(raw);
        ASSERT_EQ(owned.size(), raw.size());
        for (size_t i = 0; i < raw.size(); ++i) {
            EXPECT_EQ(RawHandle(owned[i]), raw[i]);
        }
    }
    for (const EVT_HANDLE handle : raw) {
        EXPECT_FALSE(IsOpenResultSet(handle));
    }
}
