// The component frame and request dispatch, through the module object linked into this program.
#include "Components/ComponentObject.h"
#include "Halyard/Corvane/Corvane.h"
#include "TestHost.h"

#include <gtest/gtest.h>

extern "C" HRESULT GetComponentsModuleObject(Halyard::Interfaces::IModule** module);

using namespace Halyard::Interfaces;

namespace {

IModule* Module() {
    IModule* module = nullptr;
    EXPECT_EQ(GetComponentsModuleObject(&module), S_OK);
    return module;
}

uint32_t IsLocked() {
    uint32_t locked = 99;
    EXPECT_EQ(Module()->IsLocked(&locked), S_OK);
    return locked;
}

} // namespace

TEST(ModuleObject, InterfaceAndArguments) {
    EXPECT_EQ(GetComponentsModuleObject(nullptr), E_INVALIDARG);
    IModule* module = Module();
    EXPECT_EQ(module->AddRef(), 0xFFFFFFFFu);
    EXPECT_EQ(module->Release(), 0xFFFFFFFFu);
    void* itf = nullptr;
    EXPECT_EQ(module->QueryInterface(&IID_Module, &itf), S_OK);
    EXPECT_EQ(itf, module);
    EXPECT_EQ(module->QueryInterface(&IID_Configure, &itf), E_NOINTERFACE);
    EXPECT_EQ(module->QueryInterface(nullptr, &itf), E_INVALIDARG);
    EXPECT_EQ(module->IsLocked(nullptr), E_POINTER);
    EXPECT_EQ(module->Initialize(), S_OK);
    EXPECT_EQ(module->DumpAliveObjects(), S_OK);
}

TEST(ModuleObject, CreateInstanceFailuresLeaveNoLiveObject) {
    IModule* module = Module();
    const GUID unknown = {0xDEAD, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    void* itf = nullptr;
    EXPECT_EQ(module->CreateInstance(&unknown, &IID_Configure, &itf), REGDB_E_CLASSNOTREG);
    const uint32_t locks = static_cast<Components::CModuleObject*>(module)->LockCount();
    EXPECT_EQ(module->CreateInstance(&CLSID_Corvane, &IID_Module, &itf), E_NOINTERFACE);
    EXPECT_EQ(module->CreateInstance(&CLSID_Corvane, nullptr, &itf), E_INVALIDARG);
    EXPECT_EQ(static_cast<Components::CModuleObject*>(module)->LockCount(), locks);
}

TEST(ModuleObject, LockCountFollowsComponentsAndExplicitLocks) {
    IModule* module = Module();
    EXPECT_EQ(IsLocked(), 0u);
    {
        TestHost::Component component;
        component.Create(module);
        EXPECT_EQ(IsLocked(), 1u);
        // The interfaces of one object: every query adds a reference, every release drops one.
        EXPECT_EQ(component.configure->AddRef(), 4u);
        EXPECT_EQ(component.configure->Release(), 3u);
    }
    EXPECT_EQ(IsLocked(), 0u);
    EXPECT_EQ(module->Lock(), 1u);
    EXPECT_EQ(IsLocked(), 1u);
    EXPECT_EQ(module->Unlock(), 0u);
}

TEST(CCorvane, FirstReleaseDestroysACreatedComponent) {
    IBase* primary = nullptr;
    ASSERT_EQ(
        Module()->CreateInstance(&CLSID_Corvane, &IID_Base, reinterpret_cast<void**>(&primary)),
        S_OK);
    EXPECT_EQ(IsLocked(), 1u);
    EXPECT_EQ(primary->Release(), 0u);
    EXPECT_EQ(IsLocked(), 0u);
}

TEST(CCorvane, ConfigureReadsTheChannel) {
    TestHost::Component component;
    component.Create(Module());
    EXPECT_EQ(component.configure->Configure(nullptr), E_POINTER);
    EXPECT_EQ(component.configure->Configure(TestHost::Config(nullptr).Get()), HR_NOT_FOUND);
    EXPECT_EQ(component.configure->Configure(TestHost::Config(L"Application").Get()), S_OK);
    auto* corvane = static_cast<Halyard::CCorvane*>(component.configure);
    EXPECT_EQ(corvane->ChannelName(), L"Application");
    EXPECT_EQ(component.shutdown->Shutdown(), S_OK);
}

TEST(CCorvane, ConfigureFailsWithoutTheConfigServer) {
    TestHost::Component component;
    component.Create(Module());
    const NodeTree::Utf16Arg name(L"ConfigServer.Proxy");
    void* proxy = nullptr;
    ASSERT_EQ(TrGetNamedInstance(name.Get(), 0, &IID_ConfigServerProxy, &proxy), S_OK);
    ASSERT_EQ(TrRevokeNamedInstance(name.Get()), S_OK);
    EXPECT_EQ(component.configure->Configure(TestHost::Config(L"Application").Get()), HR_NOT_FOUND);
    EXPECT_EQ(TrRegisterNamedInstance(name.Get(), &IID_ConfigServerProxy, proxy), S_OK);
    static_cast<IBase*>(proxy)->Release();
    EXPECT_EQ(component.configure->Configure(TestHost::Config(L"Application").Get()), S_OK);
}

class RequestDispatch : public testing::Test {
protected:
    void SetUp() override {
        m_component.Create(Module());
        ASSERT_EQ(m_component.configure->Configure(TestHost::Config(L"Application").Get()), S_OK);
    }

    TestHost::Component m_component;
};

TEST_F(RequestDispatch, UnknownRequestIsReportedInTheEnvelope) {
    for (const wchar_t* name : {L"NoSuchRequest", L"getdatarequest", L""}) {
        const EkNodePtr request = EkNodePtr::CreateNode(name, nullptr);
        const EkNodePtr response = m_component.Send(request);
        ASSERT_TRUE(response);
        EXPECT_EQ(response.GetNodeName(), L"EventViewerResponse");
        uint16_t type = 0;
        ASSERT_TRUE(response.HasAttribute(L"ResultCode", &type));
        EXPECT_EQ(type, EKN_TYPE_INT32);
        EXPECT_EQ(static_cast<HRESULT>(response.GetInt64(L"ResultCode")), HR_UNKNOWN_REQUEST);
        EXPECT_EQ(response.GetString(L"ErrorSerialized").rfind(L"0x80040513", 0), 0u);
        EXPECT_TRUE(response.GetChildByName(L"ContinuationMark", false));
        EXPECT_TRUE(request.GetChildByName(L"ContinuationMark", false))
            << "the host's request gains the mark in place";
    }
}

TEST_F(RequestDispatch, NullArgumentsStoreNothing) {
    void* response = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(m_component.process->ProcessRequest(nullptr, &response), E_POINTER);
    EXPECT_EQ(response, reinterpret_cast<void*>(0x1));
    const EkNodePtr request = EkNodePtr::CreateNode(L"GetDataRequest", nullptr);
    EXPECT_EQ(m_component.process->ProcessRequest(request.Get(), nullptr), E_POINTER);
}
