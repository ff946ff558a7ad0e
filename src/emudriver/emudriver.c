/* The emulator's device driver: gives fcboot.exe real Windows devices
   "\\.\Scsi<n>:" and hands every create, close and device control on them to
   fcboot-emu's serving mode over a named pipe, which answers each one as the
   emulated adapter. It adds nothing of its own: what the caller gets back is
   the serving emulator's status and output bytes, or, when no serving
   emulator can be reached, EMUDRV_STATUS_NOT_CONNECTED. It trusts the
   serving emulator no further than that: a status outside the documented
   mapping is refused, and only the system and administrators may open its
   devices. */
#include <ntifs.h>

#include "emudriver/emudriver.h"

#define PORT_COUNT 256
#define NOT_A_PORT 0xFFFFFFFFu
#define POOL_TAG 0x76644546u /* "FEdv" */

typedef struct DEVICE_EXTENSION {
    ULONG port; /* NOT_A_PORT for the control device */
} DEVICE_EXTENSION;

static PDEVICE_OBJECT g_control;
static PDEVICE_OBJECT g_ports[PORT_COUNT];
static UCHAR g_linked[PORT_COUNT / 8];
/* The pipe to the serving emulator, NULL while none is connected. */
static HANDLE g_pipe;
/* One request on the pipe at a time. */
static KMUTEX g_lock;

/* The namespace of the links: the global one, where a name taken from any
   session is seen. A system without that directory (Wine, which has one
   namespace for every process) gets them in \DosDevices, its only one. */
static const WCHAR *g_namespace = L"\\GLOBAL??\\";

/* `first` then `second`, cut to fit. */
static void Concat(WCHAR *buffer, size_t count, const WCHAR *first, const WCHAR *second)
{
    size_t n = 0;
    while (*first && n + 1 < count) buffer[n++] = *first++;
    while (*second && n + 1 < count) buffer[n++] = *second++;
    buffer[n] = 0;
}

static void PortName(WCHAR *buffer, size_t count, const WCHAR *prefix, ULONG port,
                     const WCHAR *suffix)
{
    size_t n = 0;
    WCHAR digits[4];
    int d = 0;
    while (*prefix && n + 1 < count) buffer[n++] = *prefix++;
    do {
        digits[d++] = (WCHAR)(L'0' + port % 10);
        port /= 10;
    } while (port != 0);
    while (d > 0 && n + 1 < count) buffer[n++] = digits[--d];
    while (*suffix && n + 1 < count) buffer[n++] = *suffix++;
    buffer[n] = 0;
}

/* A name already taken (a real adapter's port on a Windows machine) fails:
   requests meant for the emulator must never reach a real device. */
static NTSTATUS SetLink(ULONG port, BOOLEAN wanted)
{
    WCHAR prefix[24], link[40], device[48];
    UNICODE_STRING linkName, deviceName;
    NTSTATUS status = STATUS_SUCCESS;
    const BOOLEAN linked = (g_linked[port / 8] >> (port % 8)) & 1;
    if (wanted == linked) return STATUS_SUCCESS;
    Concat(prefix, 24, g_namespace, L"Scsi");
    PortName(link, 40, prefix, port, L":");
    RtlInitUnicodeString(&linkName, link);
    if (wanted) {
        PortName(device, 48, L"\\Device\\FcbootEmuDrvScsi", port, L"");
        RtlInitUnicodeString(&deviceName, device);
        status = IoCreateSymbolicLink(&linkName, &deviceName);
        if (NT_SUCCESS(status)) g_linked[port / 8] |= (UCHAR)(1u << (port % 8));
    } else {
        IoDeleteSymbolicLink(&linkName);
        g_linked[port / 8] &= (UCHAR) ~(1u << (port % 8));
    }
    return status;
}

static void ClosePipe(void)
{
    if (g_pipe != NULL) ZwClose(g_pipe);
    g_pipe = NULL;
}

static NTSTATUS PipeTransfer(BOOLEAN write, void *bytes, ULONG size)
{
    IO_STATUS_BLOCK io;
    NTSTATUS status;
    ULONG done = 0;
    while (done < size) {
        if (write)
            status = ZwWriteFile(g_pipe, NULL, NULL, NULL, &io, (UCHAR *)bytes + done, size - done,
                                 NULL, NULL);
        else
            status = ZwReadFile(g_pipe, NULL, NULL, NULL, &io, (UCHAR *)bytes + done, size - done,
                                NULL, NULL);
        if (!NT_SUCCESS(status)) return status;
        if (io.Information == 0) return STATUS_PIPE_BROKEN;
        done += (ULONG)io.Information;
    }
    return STATUS_SUCCESS;
}

/* A status the request may be completed with: success, the driver's own, or
   one of the mapping. Anything else (STATUS_PENDING would leave the caller
   waiting on a request no one completes) is the serving emulator's fault. */
static BOOLEAN Deliverable(NTSTATUS status)
{
#define EMUDRV_IS_MAPPED(error, mapped) || (ULONG)status == (mapped)
    return status == STATUS_SUCCESS ||
           status == EMUDRV_STATUS_NOT_CONNECTED EMUDRV_MAPPED_STATUSES(EMUDRV_IS_MAPPED);
#undef EMUDRV_IS_MAPPED
}

/* Sends one request and takes the answer. A failure of the pipe itself (as
   opposed to a status the serving emulator chose) drops the connection and
   gives EMUDRV_STATUS_NOT_CONNECTED; so does a status it may not choose. */
static NTSTATUS Forward(EMUDRV_REQUEST *request, const void *input, void *output,
                        ULONG_PTR *information)
{
    NTSTATUS status = EMUDRV_STATUS_NOT_CONNECTED;
    EMUDRV_REQUEST *message = NULL;
    EMUDRV_REPLY reply;
    *information = 0;
    KeWaitForSingleObject(&g_lock, Executive, KernelMode, FALSE, NULL);
    if (g_pipe == NULL || request->input_length > EMUDRV_MAX_DATA ||
        request->output_length > EMUDRV_MAX_DATA)
        goto done;
    request->length = EMUDRV_REQ_HEADER_SIZE + request->input_length;
    message = ExAllocatePoolWithTag(PagedPool, request->length, POOL_TAG);
    if (message == NULL) goto done;
    RtlCopyMemory(message, request, EMUDRV_REQ_HEADER_SIZE);
    if (request->input_length != 0) RtlCopyMemory(message + 1, input, request->input_length);
    if (!NT_SUCCESS(PipeTransfer(TRUE, message, request->length)) ||
        !NT_SUCCESS(PipeTransfer(FALSE, &reply, EMUDRV_REP_HEADER_SIZE))) {
        ClosePipe();
        goto done;
    }
    if (!Deliverable(reply.status)) {
        DbgPrint("fcboot-emudrv: refused status 0x%08lx from the serving emulator; "
                 "connection dropped\n",
                 (unsigned long)(ULONG)reply.status);
        ClosePipe();
        goto done;
    }
    if (reply.information > request->output_length ||
        reply.length != EMUDRV_REP_HEADER_SIZE + reply.information ||
        (reply.information != 0 && !NT_SUCCESS(reply.status)) ||
        (reply.information != 0 && !NT_SUCCESS(PipeTransfer(FALSE, output, reply.information)))) {
        ClosePipe();
        goto done;
    }
    status = reply.status;
    *information = reply.information;
done:
    KeReleaseMutex(&g_lock, FALSE);
    if (message != NULL) ExFreePoolWithTag(message, POOL_TAG);
    return status;
}

static NTSTATUS Connect(const EMUDRV_CONNECT *connect)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    NTSTATUS status;
    ULONG port;
    if (connect->version != EMUDRV_VERSION) return STATUS_REVISION_MISMATCH;
    KeWaitForSingleObject(&g_lock, Executive, KernelMode, FALSE, NULL);
    ClosePipe();
    RtlInitUnicodeString(&name, EMUDRV_PIPE_NAME);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    status = ZwCreateFile(&g_pipe, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io,
                          NULL, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(status)) g_pipe = NULL;
    for (port = 0; NT_SUCCESS(status) && port < PORT_COUNT; ++port)
        status = SetLink(port, (connect->ports[port / 8] >> (port % 8)) & 1);
    if (!NT_SUCCESS(status)) ClosePipe();
    KeReleaseMutex(&g_lock, FALSE);
    return status;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS ControlRequest(PIRP irp, PIO_STACK_LOCATION stack)
{
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS, 0);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case EMUDRV_IOCTL_CONNECT:
            if (stack->Parameters.DeviceIoControl.InputBufferLength != EMUDRV_CONNECT_SIZE)
                return Complete(irp, STATUS_INVALID_PARAMETER, 0);
            return Complete(irp, Connect((const EMUDRV_CONNECT *)irp->AssociatedIrp.SystemBuffer),
                            0);
        case EMUDRV_IOCTL_DISCONNECT:
            KeWaitForSingleObject(&g_lock, Executive, KernelMode, FALSE, NULL);
            ClosePipe();
            KeReleaseMutex(&g_lock, FALSE);
            return Complete(irp, STATUS_SUCCESS, 0);
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const DEVICE_EXTENSION *extension = device->DeviceExtension;
    EMUDRV_REQUEST request;
    ULONG_PTR information = 0;
    NTSTATUS status;
    void *buffer = irp->AssociatedIrp.SystemBuffer;

    if (extension->port == NOT_A_PORT) return ControlRequest(irp, stack);
    RtlZeroMemory(&request, sizeof request);
    request.file = (uint64_t)(ULONG_PTR)stack->FileObject;
    request.port = extension->port;
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            /* The access mask is not passed here (the security context is
               empty under Wine) and neither is the disposition. */
            request.kind = EMUDRV_KIND_CREATE;
            request.share_access = stack->Parameters.Create.ShareAccess;
            request.options = stack->Parameters.Create.Options;
            break;
        case IRP_MJ_CLOSE:
            request.kind = EMUDRV_KIND_CLOSE;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            request.kind = EMUDRV_KIND_IOCTL;
            request.ioctl_code = stack->Parameters.DeviceIoControl.IoControlCode;
            /* Only buffered requests have their bytes in the system buffer;
               any other method reaches the emulator without bytes. */
            if (METHOD_FROM_CTL_CODE(request.ioctl_code) == METHOD_BUFFERED) {
                request.input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
                request.output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
            }
            break;
        default:
            /* Cleanup: the close that follows is what the emulator sees. */
            return Complete(irp, STATUS_SUCCESS, 0);
    }
    status = Forward(&request, buffer, buffer, &information);
    return Complete(irp, status, information);
}

static void Unload(PDRIVER_OBJECT driver)
{
    WCHAR name[40];
    UNICODE_STRING link;
    ULONG port;
    (void)driver;
    ClosePipe();
    for (port = 0; port < PORT_COUNT; ++port) {
        (void)SetLink(port, FALSE);
        if (g_ports[port] != NULL) IoDeleteDevice(g_ports[port]);
    }
    Concat(name, 40, g_namespace, EMUDRV_CONTROL_LINK_NAME);
    RtlInitUnicodeString(&link, name);
    IoDeleteSymbolicLink(&link);
    if (g_control != NULL) IoDeleteDevice(g_control);
}

/* The devices' access rules, in SDDL "D:P(A;;FA;;;SY)(A;;FA;;;BA)": the
   system and administrators, nobody else, as for an adapter's own device.
   Set on the device object itself; FILE_DEVICE_SECURE_OPEN makes an open of
   any name below the device check them too. */
static NTSTATUS Secure(PDEVICE_OBJECT device)
{
    SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    ULONG system[4], admins[4]; /* a SID with up to two subauthorities */
    PSID systemSid = (PSID)system, adminsSid = (PSID)admins;
    SECURITY_DESCRIPTOR descriptor;
    PACL acl;
    ULONG aclSize;
    HANDLE handle;
    NTSTATUS status;
    RtlInitializeSid(systemSid, &nt, 1);
    *RtlSubAuthoritySid(systemSid, 0) = SECURITY_LOCAL_SYSTEM_RID;
    RtlInitializeSid(adminsSid, &nt, 2);
    *RtlSubAuthoritySid(adminsSid, 0) = SECURITY_BUILTIN_DOMAIN_RID;
    *RtlSubAuthoritySid(adminsSid, 1) = DOMAIN_ALIAS_RID_ADMINS;
    aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG)) +
              RtlLengthSid(systemSid) + RtlLengthSid(adminsSid);
    acl = ExAllocatePoolWithTag(PagedPool, aclSize, POOL_TAG);
    if (acl == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    status = RtlCreateAcl(acl, aclSize, ACL_REVISION);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, systemSid);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, adminsSid);
    if (NT_SUCCESS(status))
        status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    /* Nothing inherited from the object directory: these two entries alone. */
    descriptor.Control |= SE_DACL_PROTECTED;
    if (NT_SUCCESS(status))
        status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL,
                                       KernelMode, &handle);
    if (NT_SUCCESS(status)) {
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
        ZwClose(handle);
    }
    ExFreePoolWithTag(acl, POOL_TAG);
    return status;
}

static NTSTATUS AddDevice(PDRIVER_OBJECT driver, const WCHAR *name, ULONG port,
                          PDEVICE_OBJECT *device)
{
    UNICODE_STRING deviceName;
    NTSTATUS status;
    RtlInitUnicodeString(&deviceName, name);
    status = IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), &deviceName, FILE_DEVICE_CONTROLLER,
                            FILE_DEVICE_SECURE_OPEN, FALSE, device);
    if (!NT_SUCCESS(status)) return status;
    status = Secure(*device);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*device);
        *device = NULL;
        return status;
    }
    ((DEVICE_EXTENSION *)(*device)->DeviceExtension)->port = port;
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING link, target;
    WCHAR name[48];
    NTSTATUS status;
    ULONG port;
    (void)registryPath;
    KeInitializeMutex(&g_lock, 0);
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;

    status = AddDevice(driver, EMUDRV_CONTROL_DEVICE_NAME, NOT_A_PORT, &g_control);
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&target, EMUDRV_CONTROL_DEVICE_NAME);
        Concat(name, 48, g_namespace, EMUDRV_CONTROL_LINK_NAME);
        RtlInitUnicodeString(&link, name);
        status = IoCreateSymbolicLink(&link, &target);
        if (status == STATUS_OBJECT_PATH_NOT_FOUND) {
            g_namespace = L"\\DosDevices\\";
            Concat(name, 48, g_namespace, EMUDRV_CONTROL_LINK_NAME);
            RtlInitUnicodeString(&link, name);
            status = IoCreateSymbolicLink(&link, &target);
        }
    }
    /* A device per port, linked only while a served fleet holds the port. */
    for (port = 0; NT_SUCCESS(status) && port < PORT_COUNT; ++port) {
        PortName(name, 48, L"\\Device\\FcbootEmuDrvScsi", port, L"");
        status = AddDevice(driver, name, port, &g_ports[port]);
    }
    if (!NT_SUCCESS(status)) Unload(driver);
    return status;
}
