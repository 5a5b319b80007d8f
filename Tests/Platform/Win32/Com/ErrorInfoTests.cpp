#include "Platform.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// An error object with a description, as the error handling makes one.
IErrorInfo* MakeErrorInfo(const wchar_t* description) {
    ICreateErrorInfo* create = nullptr;
    EXPECT_EQ(CreateErrorInfo(&create), S_OK);
    EXPECT_EQ(create->SetDescription(const_cast<LPOLESTR>(description)), S_OK);
    IErrorInfo* info = nullptr;
    EXPECT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    create->Release();
    return info;
}

std::wstring DescriptionOf(IErrorInfo* info) {
    BSTR text = nullptr;
    EXPECT_EQ(info->GetDescription(&text), S_OK);
    std::wstring result = text != nullptr ? text : L"<null>";
    SysFreeString(text);
    return result;
}

} // namespace

TEST(ErrorInfo, KeepsWhatWasSet) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    constexpr GUID kGuid = {
        0x64107A4E, 0x9383, 0x4398, {0x97, 0xFF, 0xEE, 0x55, 0xF0, 0xDA, 0x7F, 0xDF}};
    EXPECT_EQ(create->SetGUID(kGuid), S_OK);
    EXPECT_EQ(create->SetSource(const_cast<LPOLESTR>(L"Source")), S_OK);
    EXPECT_EQ(create->SetHelpContext(42), S_OK);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    GUID guid{};
    EXPECT_EQ(info->GetGUID(&guid), S_OK);
    EXPECT_EQ(guid, kGuid);
    BSTR source = nullptr;
    EXPECT_EQ(info->GetSource(&source), S_OK);
    EXPECT_STREQ(source, L"Source");
    SysFreeString(source);
    // A field never set reads as a null BSTR.
    BSTR description = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(info->GetDescription(&description), S_OK);
    EXPECT_EQ(description, nullptr);
    DWORD context = 0;
    EXPECT_EQ(info->GetHelpContext(&context), S_OK);
    EXPECT_EQ(context, 42u);
    EXPECT_EQ(info->GetGUID(nullptr), E_INVALIDARG);
    info->Release();
    create->Release();
}

TEST(ErrorInfo, QueryInterfaceSharesOneIdentityAndCount) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    IUnknown* fromCreate = nullptr;
    IErrorInfo* info = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromCreate)), S_OK);
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    IUnknown* fromInfo = nullptr;
    ASSERT_EQ(info->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&fromInfo)), S_OK);
    EXPECT_EQ(fromCreate, fromInfo);
    ICreateErrorInfo* back = nullptr;
    ASSERT_EQ(info->QueryInterface(IID_ICreateErrorInfo, reinterpret_cast<void**>(&back)), S_OK);
    EXPECT_EQ(back, create);

    void* other = reinterpret_cast<void*>(1);
    constexpr IID kOther = {0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    EXPECT_EQ(info->QueryInterface(kOther, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(info->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // One creation and four successful queries: five references, counted down to zero.
    EXPECT_EQ(create->AddRef(), 6u);
    EXPECT_EQ(create->Release(), 5u);
    EXPECT_EQ(back->Release(), 4u);
    EXPECT_EQ(fromInfo->Release(), 3u);
    EXPECT_EQ(fromCreate->Release(), 2u);
    EXPECT_EQ(info->Release(), 1u);
    EXPECT_EQ(create->Release(), 0u);
}

TEST(ErrorInfo, CountsReferencesAcrossThreads) {
    IErrorInfo* info = MakeErrorInfo(L"shared");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([info] {
            for (int i = 0; i < 10000; ++i) {
                info->AddRef();
                info->Release();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(info->AddRef(), 2u);
    info->Release();
    EXPECT_EQ(info->Release(), 0u);
}

TEST(ThreadErrorInfo, GetHandsOverAndEmptiesTheSlot) {
    IErrorInfo* info = MakeErrorInfo(L"first");
    ASSERT_EQ(SetErrorInfo(0, info), S_OK);
    // The slot took its own reference.
    EXPECT_EQ(info->Release(), 1u);

    IErrorInfo* taken = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &taken), S_OK);
    ASSERT_EQ(taken, info);
    EXPECT_EQ(DescriptionOf(taken), L"first");

    IErrorInfo* again = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &again), S_FALSE);
    EXPECT_EQ(again, nullptr);
    // The reference handed over was the slot's: releasing it destroys the object.
    EXPECT_EQ(taken->Release(), 0u);
}

TEST(ThreadErrorInfo, SetReplacesAndNullClears) {
    IErrorInfo* first = MakeErrorInfo(L"first");
    IErrorInfo* second = MakeErrorInfo(L"second");
    ASSERT_EQ(SetErrorInfo(0, first), S_OK);
    ASSERT_EQ(SetErrorInfo(0, second), S_OK);
    // Replacing released the slot's reference on the first object.
    EXPECT_EQ(first->Release(), 0u);

    ASSERT_EQ(SetErrorInfo(0, nullptr), S_OK);
    EXPECT_EQ(second->Release(), 0u);
    IErrorInfo* taken = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &taken), S_FALSE);

    EXPECT_EQ(SetErrorInfo(1, nullptr), E_INVALIDARG);
    EXPECT_EQ(GetErrorInfo(0, nullptr), E_INVALIDARG);
}

TEST(ThreadErrorInfo, IsPerThread) {
    IErrorInfo* mine = MakeErrorInfo(L"main");
    ASSERT_EQ(SetErrorInfo(0, mine), S_OK);
    HRESULT otherResult = E_FAIL;
    std::wstring otherText;
    std::thread([&] {
        IErrorInfo* seen = nullptr;
        otherResult = GetErrorInfo(0, &seen);
        IErrorInfo* own = MakeErrorInfo(L"other");
        SetErrorInfo(0, own);
        own->Release();
        IErrorInfo* back = nullptr;
        GetErrorInfo(0, &back);
        otherText = DescriptionOf(back);
        back->Release();
    }).join();
    EXPECT_EQ(otherResult, S_FALSE);
    EXPECT_EQ(otherText, L"other");
    IErrorInfo* taken = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &taken), S_OK);
    EXPECT_EQ(taken, mine);
    taken->Release();
    EXPECT_EQ(mine->Release(), 0u);
}

TEST(ThreadErrorInfo, ThreadExitReleasesWhatIsLeft) {
    IErrorInfo* info = MakeErrorInfo(L"left behind");
    std::thread([info] { SetErrorInfo(0, info); }).join();
    // Only the test's own reference remains.
    EXPECT_EQ(info->Release(), 0u);
}
