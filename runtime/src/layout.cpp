// Pins the kernel structure layouts and values that drivers and applications depend on.
#include "ntddk.h"
#include "kivrt.h"

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG are 32-bit");
static_assert(sizeof(NTSTATUS) == 4 && NTSTATUS(-1) < 0, "NTSTATUS is signed 32-bit");
static_assert(sizeof(ULONG_PTR) == sizeof(void*), "ULONG_PTR is pointer-sized");
static_assert(sizeof(WCHAR) == 2 && sizeof(BOOLEAN) == 1, "16-bit characters, byte booleans");
static_assert(sizeof(IO_STATUS_BLOCK) == 2 * sizeof(void*), "status block");
static_assert(offsetof(UNICODE_STRING, MaximumLength) == 2, "UNICODE_STRING layout");
static_assert(sizeof(KDEVICE_QUEUE_ENTRY) <= 4 * sizeof(PVOID),
              "DeviceQueueEntry overlays DriverContext");
static_assert(offsetof(IO_STACK_LOCATION, FileObject) <
                  offsetof(IO_STACK_LOCATION, CompletionRoutine),
              "copy-to-next stops before the completion routine");
static_assert(CTL_CODE(0x8004, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x80042000,
              "control code layout");
static_assert(kivrt::MakeTag("Norn") == 0x6E726F4E, "tags are bytes in memory order");
static_assert(offsetof(DEVICE_CAPABILITIES, Address) == 8, "capability flags are one ULONG");
