// Object namespace and objects: device and driver objects, device names, symbolic links, device
// interfaces, device stacks, driver object extensions.
#include "internal.h"

#include <cstring>
#include <set>

namespace {

enum class NAME_KIND { Device, SymbolicLink };

struct NAME_ENTRY {
    NAME_KIND Kind;
    PDEVICE_OBJECT Device;
    std::u16string Target;
    PDRIVER_OBJECT Owner;
};

struct INTERFACE_ENTRY {
    std::u16string Link; // as returned to the driver
    PDEVICE_OBJECT Pdo;
    GUID Class;
    bool Enabled;
    PDRIVER_OBJECT EnabledBy;
};

struct OB_STATE {
    std::mutex M;
    std::map<std::u16string, NAME_ENTRY> Names;           // canonical name -> entry
    std::map<std::u16string, INTERFACE_ENTRY> Interfaces; // canonical link -> entry
    std::set<PDRIVER_OBJECT> Drivers;
    std::set<_DEVOBJ_EXTENSION*> Extensions;
};

OB_STATE& Ob()
{
    static OB_STATE* S = new OB_STATE;
    return *S;
}

const std::u16string DOS_DEVICES = u"\\DOSDEVICES\\";
const std::u16string QQ = u"\\??\\";

// Upper case, with \DosDevices\ folded into \??\ (the same directory).
std::u16string Canonical(const std::u16string& Name)
{
    std::u16string U = Upcase(Name);
    if (U.compare(0, DOS_DEVICES.size(), DOS_DEVICES) == 0) U = QQ + U.substr(DOS_DEVICES.size());
    if (U.compare(0, 4, u"\\\\.\\") == 0) U = QQ + U.substr(4);
    return U;
}

size_t Round16(size_t N)
{
    return (N + 15) & ~size_t(15);
}

std::u16string GuidText(const GUID& G)
{
    char Text[40];
    snprintf(Text, sizeof(Text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", G.Data1,
             G.Data2, G.Data3, G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3], G.Data4[4],
             G.Data4[5], G.Data4[6], G.Data4[7]);
    return kivrt::ToU16(Text);
}

// A live device object, or NULL: a deleted one may already be back in the pool.
_DEVOBJ_EXTENSION* Ext(PDEVICE_OBJECT Dev)
{
    ULONG Tag;
    if (Dev == nullptr || !PoolIsLiveBlock(Dev, &Tag) || Tag != kivrt::TAG_DEVICE) return nullptr;
    if (Dev->DeviceObjectExtension == nullptr ||
        Dev->DeviceObjectExtension->Magic != _DEVOBJ_EXTENSION::MAGIC)
        return nullptr;
    return Dev->DeviceObjectExtension;
}

// Fills a driver's UNICODE_STRING from pool it owns (freed with RtlFreeUnicodeString).
NTSTATUS MakeDriverString(const std::u16string& Text, PUNICODE_STRING Out)
{
    size_t Bytes = Text.size() * sizeof(WCHAR);
    auto* Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Bytes + sizeof(WCHAR), kivrt::TAG_NAME);
    if (Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(Buffer, Text.data(), Bytes);
    Buffer[Text.size()] = 0;
    Out->Buffer = Buffer;
    Out->Length = USHORT(Bytes);
    Out->MaximumLength = USHORT(Bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

} // namespace

std::mutex& ObLock()
{
    return Ob().M;
}

std::u16string Upcase(const std::u16string& S)
{
    std::u16string U = S;
    for (char16_t& C : U)
        C = RtlUpcaseUnicodeChar(C);
    return U;
}

std::u16string FromUnicodeString(PCUNICODE_STRING S)
{
    if (S == nullptr || S->Buffer == nullptr) return {};
    return std::u16string(S->Buffer, S->Length / sizeof(WCHAR));
}

// ---------------------------------------------------------------------------------------------
// Drivers

DRIVER_PRIVATE* DriverPrivate(PDRIVER_OBJECT Driver)
{
    if (Driver == nullptr) return nullptr;
    auto* P = (DRIVER_PRIVATE*)Driver->DriverSection;
    if (P == nullptr || P->Magic != DRIVER_PRIVATE::MAGIC) return nullptr;
    return P;
}

std::string DriverName(PDRIVER_OBJECT Driver)
{
    DRIVER_PRIVATE* P = DriverPrivate(Driver);
    return P ? kivrt::ToNarrow(P->Name) : std::string("(system)");
}

NTSTATUS IopCreateDriver(const std::u16string& Name, bool Internal, PDRIVER_OBJECT* Out)
{
    auto* P = new DRIVER_PRIVATE;
    P->Name = u"\\Driver\\" + Name;
    P->RegistryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Name;
    P->Internal = Internal;
    PDRIVER_OBJECT D = &P->Object;
    D->Type = IO_TYPE_DRIVER;
    D->Size = sizeof(DRIVER_OBJECT);
    D->DriverSection = P;
    D->DriverExtension = &P->Extension;
    P->Extension.DriverObject = D;
    D->DriverName.Buffer = P->Name.data();
    D->DriverName.Length = USHORT(P->Name.size() * sizeof(WCHAR));
    D->DriverName.MaximumLength = D->DriverName.Length;
    P->RegistryPathString.Buffer = P->RegistryPath.data();
    P->RegistryPathString.Length = USHORT(P->RegistryPath.size() * sizeof(WCHAR));
    P->RegistryPathString.MaximumLength = P->RegistryPathString.Length;
    for (PDRIVER_DISPATCH& F : D->MajorFunction)
        F = IopInvalidDeviceRequest;
    {
        std::lock_guard<std::mutex> G(Ob().M);
        Ob().Drivers.insert(D);
    }
    *Out = D;
    return STATUS_SUCCESS;
}

void IopFreeDriver(PDRIVER_OBJECT Driver)
{
    DRIVER_PRIVATE* P = DriverPrivate(Driver);
    if (P == nullptr) return;
    {
        std::lock_guard<std::mutex> G(Ob().M);
        Ob().Drivers.erase(Driver);
    }
    for (auto& [Id, Block] : P->ClientExtensions)
        PoolFreeSystem(Block);
    P->Magic = 0;
    delete P;
}

bool IsLiveDriver(PDRIVER_OBJECT Driver)
{
    std::lock_guard<std::mutex> G(Ob().M);
    return Ob().Drivers.count(Driver) != 0;
}

// The extension block a driver allocated under Id, or null; the caller holds
// the object lock.
static PVOID FindClientExtension(DRIVER_PRIVATE* P, PVOID Id)
{
    for (auto& [Owner, Block] : P->ClientExtensions)
        if (Owner == Id) return Block;
    return nullptr;
}

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject,
                                         PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize,
                                         PVOID* DriverObjectExtension)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "IoAllocateDriverObjectExtension", 0);
    *DriverObjectExtension = nullptr;
    DRIVER_PRIVATE* P = DriverPrivate(DriverObject);
    if (P == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> G(Ob().M);
    if (FindClientExtension(P, ClientIdentificationAddress) != nullptr)
        return STATUS_OBJECT_NAME_COLLISION;
    if (InjectFailure(INJECT_KIND::Pool, kivrt::TAG_DRIVER)) return STATUS_INSUFFICIENT_RESOURCES;
    PVOID Block = PoolAllocateSystem(NonPagedPool, DriverObjectExtensionSize, kivrt::TAG_DRIVER);
    if (Block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    P->ClientExtensions.push_back({ClientIdentificationAddress, Block});
    *DriverObjectExtension = Block;
    return STATUS_SUCCESS;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "IoGetDriverObjectExtension", 0);
    DRIVER_PRIVATE* P = DriverPrivate(DriverObject);
    if (P == nullptr) return nullptr;
    std::lock_guard<std::mutex> G(Ob().M);
    return FindClientExtension(P, ClientIdentificationAddress);
}

size_t DriverDeviceCount(PDRIVER_OBJECT Driver)
{
    std::lock_guard<std::mutex> G(Ob().M);
    size_t N = 0;
    for (PDEVICE_OBJECT D = Driver->DeviceObject; D != nullptr; D = D->NextDevice)
        N++;
    return N;
}

// ---------------------------------------------------------------------------------------------
// Devices

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject)
{
    VfIrqlExactly(PASSIVE_LEVEL, "IoCreateDevice", 0);
    return IopCreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                           DeviceCharacteristics, Exclusive, DeviceObject, true);
}

NTSTATUS IopCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                         PDEVICE_OBJECT* DeviceObject, bool Inject)
{
    *DeviceObject = nullptr;
    if (DriverPrivate(DriverObject) == nullptr) return STATUS_INVALID_PARAMETER;
    if (Inject && InjectFailure(INJECT_KIND::Device)) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string Name = FromUnicodeString(DeviceName);
    std::u16string Key = Canonical(Name);
    OB_STATE& S = Ob();
    std::lock_guard<std::mutex> G(S.M);
    if (!Name.empty() && S.Names.count(Key) != 0) return STATUS_OBJECT_NAME_COLLISION;
    size_t Size = Round16(sizeof(DEVICE_OBJECT)) + Round16(DeviceExtensionSize);
    auto* Block = (char*)PoolAllocateSystem(NonPagedPool, Size, kivrt::TAG_DEVICE);
    if (Block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memset(Block, 0, Size);
    auto* D = (PDEVICE_OBJECT)Block;
    D->Type = IO_TYPE_DEVICE;
    D->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    D->DriverObject = DriverObject;
    D->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) D->Flags |= DO_EXCLUSIVE;
    if (!Name.empty()) D->Flags |= DO_DEVICE_HAS_NAME;
    D->Characteristics = DeviceCharacteristics;
    D->DeviceExtension = DeviceExtensionSize ? Block + Round16(sizeof(DEVICE_OBJECT)) : nullptr;
    D->DeviceType = DeviceType;
    D->StackSize = 1;
    KeInitializeDeviceQueue(&D->DeviceQueue);
    KeInitializeEvent(&D->DeviceLock, SynchronizationEvent, TRUE);
    auto* E = new _DEVOBJ_EXTENSION;
    S.Extensions.insert(E);
    E->Device = D;
    E->Name = Name;
    D->DeviceObjectExtension = E;
    if (!Name.empty()) S.Names[Key] = {NAME_KIND::Device, D, {}, DriverObject};
    D->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = D;
    *DeviceObject = D;
    return STATUS_SUCCESS;
}

// Unlinks the device from its driver and frees it. ObLock must not be held.
void IopFinishDelete(PDEVICE_OBJECT Dev)
{
    PDRIVER_OBJECT Driver = Dev->DriverObject;
    {
        std::lock_guard<std::mutex> G(Ob().M);
        for (PDEVICE_OBJECT* Link = &Driver->DeviceObject; *Link != nullptr;
             Link = &(*Link)->NextDevice) {
            if (*Link == Dev) {
                *Link = Dev->NextDevice;
                break;
            }
        }
    }
    _DEVOBJ_EXTENSION* E = Dev->DeviceObjectExtension;
    {
        std::lock_guard<std::mutex> G(Ob().M);
        Ob().Extensions.erase(E);
    }
    E->Magic = 0;
    delete E;
    Dev->DeviceObjectExtension = nullptr;
    PoolFreeSystem(Dev);
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    VfIrqlAtMost(APC_LEVEL, "IoDeleteDevice", 0);
    _DEVOBJ_EXTENSION* E = Ext(DeviceObject);
    if (E == nullptr) {
        VfError("bad-device", 0, 0x240, "IoDeleteDevice(%p): not a live device object",
                (void*)DeviceObject);
        return;
    }
    if (E->DeletePending) {
        VfError("device-double-delete", 0, 0x240, "IoDeleteDevice(%p) called twice",
                (void*)DeviceObject);
        return;
    }
    // Freeing a device that is still attached to another would leave the stack pointing at
    // freed memory: report it and keep the device.
    if (E->AttachedTo != nullptr) {
        VfError("delete-attached", 0, 0x201,
                "IoDeleteDevice(%p): the device is still attached to %p; detach it first",
                (void*)DeviceObject, (void*)E->AttachedTo);
        return;
    }
    if (PnpInSurpriseRemoval(DeviceObject))
        VfError("delete-in-surprise-removal", 0, 0x242,
                "IoDeleteDevice(%p) during IRP_MN_SURPRISE_REMOVAL", (void*)DeviceObject);
    bool Now;
    {
        std::lock_guard<std::mutex> G(Ob().M);
        if (E->FileRefs > 0)
            VfWarning("delete-with-open-files", 0, 0,
                      "IoDeleteDevice(%p): %d file object reference(s) remain", (void*)DeviceObject,
                      E->FileRefs);
        E->DeletePending = true;
        if (!E->Name.empty()) Ob().Names.erase(Canonical(E->Name));
        // In the removal order a device is deleted while the one above it still has to detach
        // (it passed the IRP down first); the memory goes when that detach comes.
        Now = E->FileRefs == 0 && DeviceObject->AttachedDevice == nullptr;
    }
    if (Now) IopFinishDelete(DeviceObject);
}

void ObReferenceDevice(PDEVICE_OBJECT Dev)
{
    std::lock_guard<std::mutex> G(Ob().M);
    Dev->DeviceObjectExtension->FileRefs++;
    Dev->ReferenceCount++;
}

void ObDereferenceDevice(PDEVICE_OBJECT Dev)
{
    bool Finish;
    {
        std::lock_guard<std::mutex> G(Ob().M);
        _DEVOBJ_EXTENSION* E = Dev->DeviceObjectExtension;
        E->FileRefs--;
        Dev->ReferenceCount--;
        Finish = E->FileRefs == 0 && E->DeletePending && Dev->AttachedDevice == nullptr;
    }
    if (Finish) IopFinishDelete(Dev);
}

// The device object Object is, or null once Caller's misuse is recorded: the
// object manager here holds device objects only.
static PDEVICE_OBJECT DeviceOfObject(PVOID Object, const char* Caller)
{
    auto* Dev = (PDEVICE_OBJECT)Object;
    if (Ext(Dev) != nullptr) return Dev;
    VfError("bad-object", 0, 0, "%s(%p): only device objects are supported", Caller, Object);
    return nullptr;
}

VOID ObReferenceObject(PVOID Object)
{
    if (PDEVICE_OBJECT Dev = DeviceOfObject(Object, "ObReferenceObject")) ObReferenceDevice(Dev);
}

VOID ObDereferenceObject(PVOID Object)
{
    if (PDEVICE_OBJECT Dev = DeviceOfObject(Object, "ObDereferenceObject"))
        ObDereferenceDevice(Dev);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> G(Ob().M);
    while (DeviceObject->AttachedDevice != nullptr)
        DeviceObject = DeviceObject->AttachedDevice;
    return DeviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_OBJECT Top = IoGetAttachedDevice(DeviceObject);
    ObReferenceDevice(Top);
    return Top;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    VfIrqlAtMost(DISPATCH_LEVEL, "IoAttachDeviceToDeviceStack", 0);
    if (Ext(SourceDevice) == nullptr || Ext(TargetDevice) == nullptr) {
        VfError("bad-device", 0, 0, "IoAttachDeviceToDeviceStack(%p, %p): not device objects",
                (void*)SourceDevice, (void*)TargetDevice);
        return nullptr;
    }
    std::lock_guard<std::mutex> G(Ob().M);
    PDEVICE_OBJECT Top = TargetDevice;
    while (Top->AttachedDevice != nullptr)
        Top = Top->AttachedDevice;
    if (Top->DeviceObjectExtension->DeletePending) return nullptr;
    Top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = CCHAR(Top->StackSize + 1);
    SourceDevice->AlignmentRequirement = Top->AlignmentRequirement;
    SourceDevice->DeviceObjectExtension->AttachedTo = Top;
    return Top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    VfIrqlExactly(PASSIVE_LEVEL, "IoDetachDevice", 0);
    if (PnpInSurpriseRemoval(TargetDevice))
        VfError("detach-in-surprise-removal", 0, 0x241,
                "IoDetachDevice(%p) during IRP_MN_SURPRISE_REMOVAL", (void*)TargetDevice);
    bool Finish;
    {
        std::lock_guard<std::mutex> G(Ob().M);
        PDEVICE_OBJECT Upper = TargetDevice->AttachedDevice;
        if (Upper == nullptr) {
            VfError("detach-nothing", 0, 0x202, "IoDetachDevice(%p): nothing is attached to it",
                    (void*)TargetDevice);
            return;
        }
        Upper->DeviceObjectExtension->AttachedTo = nullptr;
        TargetDevice->AttachedDevice = nullptr;
        _DEVOBJ_EXTENSION* E = TargetDevice->DeviceObjectExtension;
        Finish = E->DeletePending && E->FileRefs == 0;
    }
    if (Finish) IopFinishDelete(TargetDevice);
}

VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject)
{
    if (InterruptObject != nullptr)
        VfError("bad-interrupt", 0, 0,
                "IoDisconnectInterrupt(%p): no interrupt was ever connected here",
                (void*)InterruptObject);
}

// ---------------------------------------------------------------------------------------------
// Symbolic links and interfaces

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    VfIrqlExactly(PASSIVE_LEVEL, "IoCreateSymbolicLink", 0);
    std::u16string Link = Canonical(FromUnicodeString(SymbolicLinkName));
    if (Link.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> G(Ob().M);
    if (Ob().Names.count(Link) != 0) return STATUS_OBJECT_NAME_COLLISION;
    Ob().Names[Link] = {NAME_KIND::SymbolicLink, nullptr, FromUnicodeString(DeviceName),
                        CurrentThread()->CurrentDriver};
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    VfIrqlExactly(PASSIVE_LEVEL, "IoDeleteSymbolicLink", 0);
    std::u16string Link = Canonical(FromUnicodeString(SymbolicLinkName));
    std::lock_guard<std::mutex> G(Ob().M);
    auto It = Ob().Names.find(Link);
    if (It == Ob().Names.end() || It->second.Kind != NAME_KIND::SymbolicLink)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    Ob().Names.erase(It);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT ObResolveDevice(const std::u16string& Name)
{
    std::lock_guard<std::mutex> G(Ob().M);
    std::u16string Key = Canonical(Name);
    for (int Hops = 0; Hops < 16; Hops++) {
        auto I = Ob().Interfaces.find(Key);
        if (I != Ob().Interfaces.end())
            return I->second.Enabled && !I->second.Pdo->DeviceObjectExtension->DeletePending
                       ? I->second.Pdo
                       : nullptr;
        auto It = Ob().Names.find(Key);
        if (It == Ob().Names.end()) return nullptr;
        if (It->second.Kind == NAME_KIND::Device) return It->second.Device;
        Key = Canonical(It->second.Target);
    }
    return nullptr;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName)
{
    VfIrqlExactly(PASSIVE_LEVEL, "IoRegisterDeviceInterface", 0);
    _DEVOBJ_EXTENSION* E = Ext(PhysicalDeviceObject);
    if (E == nullptr || E->Node == nullptr) {
        VfError("not-a-pdo", 0, 0, "IoRegisterDeviceInterface(%p): not a physical device object",
                (void*)PhysicalDeviceObject);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string Path = DevNodeInstancePath(E->Node);
    for (char16_t& C : Path)
        if (C == u'\\') C = u'#';
    std::u16string Link = QQ + Path + u"#" + GuidText(*InterfaceClassGuid);
    std::u16string Ref = FromUnicodeString(ReferenceString);
    if (!Ref.empty()) Link += u"\\" + Ref;
    {
        std::lock_guard<std::mutex> G(Ob().M);
        std::u16string Key = Canonical(Link);
        if (Ob().Interfaces.count(Key) == 0)
            Ob().Interfaces[Key] = {Link, PhysicalDeviceObject, *InterfaceClassGuid, false,
                                    nullptr};
    }
    return MakeDriverString(Link, SymbolicLinkName);
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    VfIrqlExactly(PASSIVE_LEVEL, "IoSetDeviceInterfaceState", 0);
    std::lock_guard<std::mutex> G(Ob().M);
    auto It = Ob().Interfaces.find(Canonical(FromUnicodeString(SymbolicLinkName)));
    if (It == Ob().Interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    INTERFACE_ENTRY& I = It->second;
    if (Enable) {
        if (I.Enabled) return STATUS_OBJECT_NAME_EXISTS;
        I.Enabled = true;
        I.EnabledBy = CurrentThread()->CurrentDriver;
        return STATUS_SUCCESS;
    }
    if (!I.Enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    I.Enabled = false;
    I.EnabledBy = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceInterfaces(const GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject,
                               ULONG Flags, PWSTR* SymbolicLinkList)
{
    VfIrqlExactly(PASSIVE_LEVEL, "IoGetDeviceInterfaces", 0);
    std::u16string Multi;
    {
        std::lock_guard<std::mutex> G(Ob().M);
        for (auto& [Key, I] : Ob().Interfaces) {
            if (!IsEqualGUID(I.Class, *InterfaceClassGuid)) continue;
            if (PhysicalDeviceObject && I.Pdo != PhysicalDeviceObject) continue;
            if (!I.Enabled && !(Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE)) continue;
            Multi += I.Link;
            Multi += char16_t(0);
        }
    }
    Multi += char16_t(0);
    auto* Buffer =
        (PWSTR)ExAllocatePoolWithTag(PagedPool, Multi.size() * sizeof(WCHAR), kivrt::TAG_NAME);
    if (Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(Buffer, Multi.data(), Multi.size() * sizeof(WCHAR));
    *SymbolicLinkList = Buffer;
    return STATUS_SUCCESS;
}

void ObDisableInterfacesOf(PDEVICE_OBJECT Pdo)
{
    std::lock_guard<std::mutex> G(Ob().M);
    for (auto& [Key, I] : Ob().Interfaces)
        if (I.Pdo == Pdo) I.Enabled = false;
}

void ObForgetInterfacesOf(PDEVICE_OBJECT Pdo)
{
    std::lock_guard<std::mutex> G(Ob().M);
    for (auto It = Ob().Interfaces.begin(); It != Ob().Interfaces.end();)
        It = It->second.Pdo == Pdo ? Ob().Interfaces.erase(It) : std::next(It);
}

void ObReportDriverLeftovers(PDRIVER_OBJECT Driver)
{
    std::vector<std::string> Problems;
    {
        std::lock_guard<std::mutex> G(Ob().M);
        for (PDEVICE_OBJECT D = Driver->DeviceObject; D != nullptr; D = D->NextDevice) {
            char Text[96];
            snprintf(Text, sizeof(Text), "device %p %s", (void*)D,
                     D->DeviceObjectExtension->DeletePending
                         ? "was deleted while a device is still attached above it"
                         : "still exists");
            Problems.push_back(Text);
        }
        for (auto It = Ob().Names.begin(); It != Ob().Names.end();) {
            if (It->second.Kind == NAME_KIND::SymbolicLink && It->second.Owner == Driver) {
                Problems.push_back("symbolic link " + kivrt::ToNarrow(It->first) +
                                   " was not deleted");
                It = Ob().Names.erase(It);
            } else {
                ++It;
            }
        }
        for (auto& [Key, I] : Ob().Interfaces) {
            if (I.Enabled && I.EnabledBy == Driver) {
                Problems.push_back("interface " + kivrt::ToNarrow(I.Link) + " is still enabled");
                I.Enabled = false;
            }
        }
    }
    for (const std::string& P : Problems)
        VfError("unload-leftover", 0, 0, "driver %s unloaded but %s", DriverName(Driver).c_str(),
                P.c_str());
}

LONG ObStackFileRefs(PDEVICE_OBJECT Dev)
{
    std::lock_guard<std::mutex> G(Ob().M);
    while (Dev->DeviceObjectExtension->AttachedTo != nullptr)
        Dev = Dev->DeviceObjectExtension->AttachedTo;
    LONG Refs = 0;
    for (; Dev != nullptr; Dev = Dev->AttachedDevice)
        Refs += Dev->DeviceObjectExtension->FileRefs;
    return Refs;
}

// Everything is forgotten; device memory itself goes with the pool.
void ObReset()
{
    std::lock_guard<std::mutex> G(Ob().M);
    Ob().Names.clear();
    Ob().Interfaces.clear();
    for (PDRIVER_OBJECT D : Ob().Drivers) {
        DRIVER_PRIVATE* P = DriverPrivate(D);
        P->Magic = 0;
        delete P;
    }
    Ob().Drivers.clear();
    for (_DEVOBJ_EXTENSION* E : Ob().Extensions) {
        E->Device->DeviceObjectExtension = nullptr;
        delete E;
    }
    Ob().Extensions.clear();
}

namespace kivrt {

std::vector<std::u16string> EnumerateInterfaces(const GUID& InterfaceClass)
{
    std::lock_guard<std::mutex> G(Ob().M);
    std::vector<std::u16string> Out;
    for (auto& [Key, I] : Ob().Interfaces)
        if (I.Enabled && IsEqualGUID(I.Class, InterfaceClass)) Out.push_back(I.Link);
    return Out;
}

} // namespace kivrt
