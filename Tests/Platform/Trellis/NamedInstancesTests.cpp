// Named instances of the component framework.
#include "Platform/Utf16Names.h"
#include "Trellis/Trellis.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace Halyard::Interfaces;

namespace {

// A published object that counts its references; it is never deleted by Release.
struct Probe : IBase {
    std::atomic<uint32_t> refs{1};
    uint32_t HALYARD_CALL AddRef() noexcept override { return ++refs; }
    uint32_t HALYARD_CALL Release() noexcept override { return --refs; }
    HRESULT HALYARD_CALL QueryInterface(const GUID* iid, void** object) noexcept override {
        if (iid == nullptr || object == nullptr) {
            return E_INVALIDARG;
        }
        *object = nullptr;
        if (*iid != IID_Base && *iid != IID_Configure) {
            return E_NOINTERFACE;
        }
        AddRef();
        *object = this;
        return S_OK;
    }
};

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

TEST(TrellisNamedInstances, BuiltInInstancesArePublishedAtLoad) {
    void* object = nullptr;
    ASSERT_EQ(TrGetNamedInstance(u"ConfigServer.Proxy", 0, &IID_ConfigServerProxy, &object), S_OK);
    ASSERT_NE(object, nullptr);
    auto* proxy = static_cast<IBase*>(object);
    void* base = nullptr;
    EXPECT_EQ(proxy->QueryInterface(&IID_Base, &base), S_OK);
    EXPECT_EQ(base, object);
    static_cast<IBase*>(base)->Release();
    // The published reference and ours: releasing ours leaves the published one.
    EXPECT_EQ(proxy->Release(), 1u);

    ASSERT_EQ(TrGetNamedInstance(u"Core.RequestContextMgr", 0, &IID_RequestContextMgr, &object),
              S_OK);
    static_cast<IBase*>(object)->Release();
}

TEST(TrellisNamedInstances, LookupFailuresAreDistinguished) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(TrGetNamedInstance(u"No.Such.Name", 0, &IID_Base, &object), kNotFound);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(TrGetNamedInstance(u"ConfigServer.Proxy", 0, &IID_RequestContextMgr, &object),
              E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(TrGetNamedInstance(nullptr, 0, &IID_Base, &object), E_INVALIDARG);
    EXPECT_EQ(TrGetNamedInstance(u"ConfigServer.Proxy", 0, nullptr, &object), E_INVALIDARG);
    EXPECT_EQ(TrGetNamedInstance(u"ConfigServer.Proxy", 0, &IID_Base, nullptr), E_INVALIDARG);
}

TEST(TrellisNamedInstances, RegistrationHoldsOneReferenceUntilRevokedOrReplaced) {
    Probe first;
    Probe second;
    ASSERT_EQ(TrRegisterNamedInstance(u"Test.Probe", &IID_Configure, &first), S_OK);
    EXPECT_EQ(first.refs, 2u);
    void* object = nullptr;
    ASSERT_EQ(TrGetNamedInstance(u"Test.Probe", 0, &IID_Configure, &object), S_OK);
    EXPECT_EQ(object, &first);
    EXPECT_EQ(first.refs, 3u);
    first.Release();
    EXPECT_EQ(TrGetNamedInstance(u"Test.Probe", 0, &IID_Shutdown, &object), E_NOINTERFACE);
    EXPECT_EQ(first.refs, 2u);

    ASSERT_EQ(TrRegisterNamedInstance(u"Test.Probe", &IID_Configure, &second), S_OK);
    EXPECT_EQ(first.refs, 1u);
    EXPECT_EQ(second.refs, 2u);
    EXPECT_EQ(TrRevokeNamedInstance(u"Test.Probe"), S_OK);
    EXPECT_EQ(second.refs, 1u);
    EXPECT_EQ(TrRevokeNamedInstance(u"Test.Probe"), kNotFound);
    EXPECT_EQ(TrGetNamedInstance(u"Test.Probe", 0, &IID_Base, &object), kNotFound);
    EXPECT_EQ(TrRegisterNamedInstance(u"Test.Probe", &IID_Base, nullptr), E_INVALIDARG);
    EXPECT_EQ(TrRegisterNamedInstance(u"", &IID_Base, &first), E_INVALIDARG);
}

} // namespace
