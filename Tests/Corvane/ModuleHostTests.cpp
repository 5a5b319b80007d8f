// The built module loaded as a host loads it: dlopen, the one export, the C interfaces.
#include "TestHost.h"

#include <gtest/gtest.h>

using namespace Halyard::Interfaces;

namespace {

class LoadedModule : public testing::Test {
protected:
    void SetUp() override {
        m_library =
            dlopen(TestHost::BesideTestProgram("Corvane.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_library, nullptr) << dlerror();
        auto get = reinterpret_cast<PFN_GetComponentsModuleObject>(
            dlsym(m_library, "GetComponentsModuleObject"));
        ASSERT_NE(get, nullptr);
        ASSERT_EQ(get(&m_module), S_OK);
    }

    void TearDown() override {
        if (m_library != nullptr) {
            dlclose(m_library);
        }
    }

    void* m_library = nullptr;
    IModule* m_module = nullptr;
};

} // namespace

TEST_F(LoadedModule, ExportsOnlyTheModuleObject) {
    EXPECT_EQ(dlsym(m_library, "CreateErrorInfo"), dlsym(RTLD_DEFAULT, "CreateErrorInfo"))
        << "the platform comes from its own library, not from the module";
    EXPECT_EQ(dlsym(m_library, "_ZN7Halyard8CCorvane9ConfigureEPv"), nullptr);
}

TEST_F(LoadedModule, ServesRequestsThroughTheCInterfaces) {
    {
        TestHost::Component component;
        component.Create(m_module);
        ASSERT_EQ(component.configure->Configure(TestHost::Config(L"Application").Get()), S_OK);

        const EkNodePtr unknown = EkNodePtr::CreateNode(L"NoSuchRequest", nullptr);
        const EkNodePtr response = component.Send(unknown);
        EXPECT_EQ(static_cast<HRESULT>(response.GetInt64(L"ResultCode")),
                  static_cast<HRESULT>(0x80040513));
        EXPECT_FALSE(response.GetString(L"ErrorSerialized").empty());

        uint32_t locked = 0;
        EXPECT_EQ(m_module->IsLocked(&locked), S_OK);
        EXPECT_EQ(locked, 1u);
        EXPECT_EQ(component.shutdown->Shutdown(), S_OK);
    }
    uint32_t locked = 1;
    EXPECT_EQ(m_module->IsLocked(&locked), S_OK);
    EXPECT_EQ(locked, 0u);
}
