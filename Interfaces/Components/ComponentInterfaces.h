// The component interfaces between the host's framework and a component module. Every interface
// starts with the three base slots in this order: add reference, release, query interface.
#pragma once

#include "Platform.h"

#include <cstdint>

#if defined(_WIN32)
#define HALYARD_CALL __stdcall
#else
#define HALYARD_CALL
#endif

namespace Halyard::Interfaces {

// {51C3FBA2-85FE-436B-A0FF-1C61A5C0C585}
constexpr GUID IID_Base = {
    0x51C3FBA2, 0x85FE, 0x436B, {0xA0, 0xFF, 0x1C, 0x61, 0xA5, 0xC0, 0xC5, 0x85}};
// {989524A9-625D-48C8-AB03-7C084EB5265D}
constexpr GUID IID_Module = {
    0x989524A9, 0x625D, 0x48C8, {0xAB, 0x03, 0x7C, 0x08, 0x4E, 0xB5, 0x26, 0x5D}};
// {9FD0681A-A35D-48EF-A226-DE3846E19D38}
constexpr GUID IID_Configure = {
    0x9FD0681A, 0xA35D, 0x48EF, {0xA2, 0x26, 0xDE, 0x38, 0x46, 0xE1, 0x9D, 0x38}};
// {A3A15500-301B-4D78-B415-14E2A67399F3}
constexpr GUID IID_ProcessRequest = {
    0xA3A15500, 0x301B, 0x4D78, {0xB4, 0x15, 0x14, 0xE2, 0xA6, 0x73, 0x99, 0xF3}};
// {45622F80-2F68-4571-BCBC-70651601771B}
constexpr GUID IID_Shutdown = {
    0x45622F80, 0x2F68, 0x4571, {0xBC, 0xBC, 0x70, 0x65, 0x16, 0x01, 0x77, 0x1B}};
// The class of the Corvane component: {CF1EB2C7-41D9-4CC8-891A-61E46E8234B1}
constexpr GUID CLSID_Corvane = {
    0xCF1EB2C7, 0x41D9, 0x4CC8, {0x89, 0x1A, 0x61, 0xE4, 0x6E, 0x82, 0x34, 0xB1}};

// The three base slots.
struct IBase {
    virtual uint32_t HALYARD_CALL AddRef() noexcept = 0;
    virtual uint32_t HALYARD_CALL Release() noexcept = 0;
    // E_INVALIDARG for a null GUID or output, E_NOINTERFACE for an unknown GUID; on success the
    // interface is stored with one reference added.
    virtual HRESULT HALYARD_CALL QueryInterface(const GUID* iid, void** object) noexcept = 0;

protected:
    ~IBase() = default;
};

// The module object's interface, reached through GetComponentsModuleObject.
struct IModule : IBase {
    // Does nothing; S_OK.
    virtual HRESULT HALYARD_CALL Initialize() noexcept = 0;
    // Writes the live component objects to the log; S_OK.
    virtual HRESULT HALYARD_CALL DumpAliveObjects() noexcept = 0;
    // Adds or removes an explicit lock; returns the new lock count.
    virtual uint32_t HALYARD_CALL Lock() noexcept = 0;
    virtual uint32_t HALYARD_CALL Unlock() noexcept = 0;
    // Stores 1 while components are alive or locks are held, else 0; E_POINTER for null.
    virtual HRESULT HALYARD_CALL IsLocked(uint32_t* locked) noexcept = 0;
    // Creates a component of a registered class and queries it for an interface:
    // REGDB_E_CLASSNOTREG for an unknown class.
    virtual HRESULT HALYARD_CALL CreateInstance(const GUID* clsid, const GUID* iid,
                                                void** object) noexcept = 0;

protected:
    ~IModule() = default;
};

// A component's primary interface: the base slots and a virtual destructor.
struct IComponent : IBase {
    virtual ~IComponent() = default;
};

struct IConfigure : IBase {
    // Hands the component its configuration node (the host keeps its handle).
    virtual HRESULT HALYARD_CALL Configure(void* configNode) noexcept = 0;

protected:
    ~IConfigure() = default;
};

struct IProcessRequest : IBase {
    // Serves one request. The host keeps its request handle; on S_OK *response receives a node
    // handle that the host then owns.
    virtual HRESULT HALYARD_CALL ProcessRequest(void* request, void** response) noexcept = 0;

protected:
    ~IProcessRequest() = default;
};

struct IShutdown : IBase {
    virtual HRESULT HALYARD_CALL Shutdown() noexcept = 0;

protected:
    ~IShutdown() = default;
};

} // namespace Halyard::Interfaces

// The module's single export.
using PFN_GetComponentsModuleObject = HRESULT(HALYARD_CALL*)(Halyard::Interfaces::IModule** module);
