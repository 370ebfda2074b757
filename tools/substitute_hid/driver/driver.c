/* kelvo_substitute_hid.sys: a WDM HID minidriver presenting the substitute devices of the Windows
 * tests, each a root-enumerated device chosen by its hardware id (devices.c), under the system's
 * own HID class driver.
 *
 * Every feature and output report a device receives is recorded, taken or refused, in one
 * driver-wide list that the control device reads back; the control device also makes a named
 * device deliver an input report. All devices of the driver live in one image, so the list and
 * the device registry are plain globals under one spin lock (taken before a device's own). */
#include "devices.h"

#include "../substitute_hid_protocol.h"

#define INPUT_QUEUE_LENGTH 64
#define RECORD_CAPACITY 4096

struct device {
    LIST_ENTRY link; /* in devices, under registry_lock */
    const struct kelvo_device_kind *kind;
    char name[KELVO_HID_NAME_LENGTH];
    KSPIN_LOCK lock; /* the fields below */
    BOOLEAN removed;
    LIST_ENTRY pending_reads;
    UCHAR queue[INPUT_QUEUE_LENGTH][KELVO_HID_MAX_REPORT];
    UCHAR queue_length[INPUT_QUEUE_LENGTH];
    ULONG queue_head, queue_count;
    /* The touch controller's properties. */
    ULONG properties[256];
    UCHAR known[256 / 8];
    BOOLEAN selected;
    UCHAR selected_key;
    /* The control device's record selection. */
    ULONG record_selection;
};

struct record {
    char name[KELVO_HID_NAME_LENGTH];
    UCHAR kind;
    UCHAR accepted;
    USHORT length;
    UCHAR bytes[KELVO_HID_MAX_REPORT];
};

static KSPIN_LOCK registry_lock;
static LIST_ENTRY devices;
static struct record records[RECORD_CAPACITY];
static ULONG first_record, next_record, dropped_records;

static struct device *device_of(DEVICE_OBJECT *fdo)
{
    return ((HID_DEVICE_EXTENSION *)fdo->DeviceExtension)->MiniDeviceExtension;
}

static DEVICE_OBJECT *next_of(DEVICE_OBJECT *fdo)
{
    return ((HID_DEVICE_EXTENSION *)fdo->DeviceExtension)->NextDeviceObject;
}

static BOOLEAN all_zero(const UCHAR *bytes, ULONG length)
{
    ULONG i;
    for (i = 0; i < length; i++)
        if (bytes[i]) return FALSE;
    return TRUE;
}

static ULONG little_endian_32(const UCHAR *bytes)
{
    return bytes[0] | (ULONG)bytes[1] << 8 | (ULONG)bytes[2] << 16 | (ULONG)bytes[3] << 24;
}

static BOOLEAN same_name(const char *a, const char *b)
{
    ULONG i;
    for (i = 0; i < KELVO_HID_NAME_LENGTH; i++) {
        if (a[i] != b[i]) return FALSE;
        if (!a[i]) return TRUE;
    }
    return TRUE;
}

/* ---- identity ---------------------------------------------------------------------------- */

/* Asks the bus for one of the device's ids; the caller frees *id with ExFreePool. */
static NTSTATUS query_id(DEVICE_OBJECT *pdo, BUS_QUERY_ID_TYPE type, WCHAR **id)
{
    DEVICE_OBJECT *top = IoGetAttachedDeviceReference(pdo);
    IO_STATUS_BLOCK io;
    IO_STACK_LOCATION *stack;
    NTSTATUS status;
    KEVENT event;
    IRP *irp;

    *id = NULL;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, NULL, 0, NULL, &event, &io);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED; /* what an unanswered PnP request returns */
    stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_ID;
    stack->Parameters.QueryId.IdType = type;
    status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = io.Status;
    }
    ObDereferenceObject(top);
    if (NT_SUCCESS(status)) *id = (WCHAR *)io.Information;
    return status;
}

static WCHAR upper(WCHAR c)
{
    return c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c;
}

static const struct kelvo_device_kind *find_kind(const WCHAR *device_id)
{
    ULONG k, i;
    for (k = 0; k < kelvo_device_kind_count; k++) {
        const WCHAR *want = kelvo_device_kinds[k].device_id;
        for (i = 0; want[i] && upper(device_id[i]) == want[i]; i++)
            ;
        if (!want[i] && !device_id[i]) return &kelvo_device_kinds[k];
    }
    return NULL;
}

static void copy_name(char *out, const char *name)
{
    ULONG i;
    for (i = 0; i + 1 < KELVO_HID_NAME_LENGTH && name[i]; i++) out[i] = name[i];
    for (; i < KELVO_HID_NAME_LENGTH; i++) out[i] = 0;
}

/* "button-N", N the instance number ("0002" gives 2). */
static void instance_name(char *out, const WCHAR *instance_id)
{
    char digits[12];
    ULONG number = 0, n = 0, i;
    const WCHAR *c;
    for (c = instance_id; *c; c++)
        if (*c >= L'0' && *c <= L'9') number = number * 10 + (*c - L'0');
    copy_name(out, KELVO_HID_NAME_BUTTON_PREFIX);
    do {
        digits[n++] = (char)('0' + number % 10);
        number /= 10;
    } while (number);
    for (i = 0; out[i]; i++)
        ;
    while (n && i + 1 < KELVO_HID_NAME_LENGTH) out[i++] = digits[--n];
}

/* ---- records ----------------------------------------------------------------------------- */

static void record(const struct device *dev, UCHAR kind, const UCHAR *bytes, ULONG count,
                   ULONG length, BOOLEAN accepted)
{
    KIRQL irql;
    if (dev->kind->role == KELVO_ROLE_CONTROL) return;
    KeAcquireSpinLock(&registry_lock, &irql);
    if (next_record - first_record >= RECORD_CAPACITY) {
        dropped_records++;
    } else {
        struct record *r = &records[next_record % RECORD_CAPACITY];
        RtlZeroMemory(r, sizeof(*r));
        RtlCopyMemory(r->name, dev->name, sizeof(r->name));
        r->kind = kind;
        r->accepted = accepted ? 1 : 0;
        r->length = (USHORT)length;
        if (count > sizeof(r->bytes)) count = sizeof(r->bytes);
        if (bytes) RtlCopyMemory(r->bytes, bytes, count);
        next_record++;
    }
    KeReleaseSpinLock(&registry_lock, irql);
}

/* ---- input ------------------------------------------------------------------------------- */

static VOID NTAPI cancel_read(DEVICE_OBJECT *fdo, IRP *irp)
{
    struct device *dev = device_of(fdo);
    KIRQL irql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&dev->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&dev->lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* A pended read that is no longer cancellable, now ours to complete; under dev->lock. */
static IRP *take_pending_read(struct device *dev)
{
    while (!IsListEmpty(&dev->pending_reads)) {
        LIST_ENTRY *entry = RemoveHeadList(&dev->pending_reads);
        IRP *irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL)) return irp;
        /* Being cancelled: its cancel routine removes the entry from itself. */
        InitializeListHead(entry);
    }
    return NULL;
}

static void complete_read(IRP *irp, const UCHAR *report, ULONG length)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (length > room) length = room;
    RtlCopyMemory(irp->UserBuffer, report, length);
    irp->IoStatus.Information = length;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

static NTSTATUS read_report(struct device *dev, IRP *irp)
{
    UCHAR report[KELVO_HID_MAX_REPORT];
    ULONG length;
    KIRQL irql;

    KeAcquireSpinLock(&dev->lock, &irql);
    if (dev->removed) {
        KeReleaseSpinLock(&dev->lock, irql);
        irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    if (dev->queue_count) {
        length = dev->queue_length[dev->queue_head];
        RtlCopyMemory(report, dev->queue[dev->queue_head], length);
        dev->queue_head = (dev->queue_head + 1) % INPUT_QUEUE_LENGTH;
        dev->queue_count--;
        KeReleaseSpinLock(&dev->lock, irql);
        complete_read(irp, report, length);
        return STATUS_SUCCESS;
    }
    IoSetCancelRoutine(irp, cancel_read);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
        KeReleaseSpinLock(&dev->lock, irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(irp);
    InsertTailList(&dev->pending_reads, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&dev->lock, irql);
    return STATUS_PENDING;
}

static BOOLEAN delivers(const struct kelvo_device_kind *kind, const UCHAR *report, ULONG length)
{
    ULONG i;
    for (i = 0; i < sizeof(kind->inputs) / sizeof(kind->inputs[0]) && kind->inputs[i].length; i++)
        if (kind->inputs[i].id == report[0] && kind->inputs[i].length == length) return TRUE;
    return FALSE;
}

/* The named device that delivers this report (a controller's two parts share a name) hands it to
 * a pended read, or queues it for the next one. */
static NTSTATUS inject(const char *name, const UCHAR *report, ULONG length)
{
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    IRP *irp = NULL;
    LIST_ENTRY *entry;
    KIRQL irql, device_irql;

    if (!length || length > KELVO_HID_MAX_REPORT) return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&registry_lock, &irql);
    for (entry = devices.Flink; entry != &devices; entry = entry->Flink) {
        struct device *dev = CONTAINING_RECORD(entry, struct device, link);
        if (!same_name(dev->name, name)) continue;
        status = STATUS_INVALID_PARAMETER;
        if (!delivers(dev->kind, report, length)) continue;
        KeAcquireSpinLock(&dev->lock, &device_irql);
        if (dev->removed) {
            status = STATUS_DELETE_PENDING;
        } else if ((irp = take_pending_read(dev))) {
            status = STATUS_SUCCESS;
        } else if (dev->queue_count == INPUT_QUEUE_LENGTH) {
            status = STATUS_DEVICE_NOT_READY; /* full: the injector may try again */
        } else {
            ULONG tail = (dev->queue_head + dev->queue_count) % INPUT_QUEUE_LENGTH;
            RtlCopyMemory(dev->queue[tail], report, length);
            dev->queue_length[tail] = (UCHAR)length;
            dev->queue_count++;
            status = STATUS_SUCCESS;
        }
        KeReleaseSpinLock(&dev->lock, device_irql);
        break;
    }
    KeReleaseSpinLock(&registry_lock, irql);
    if (irp) complete_read(irp, report, length);
    return status;
}

static void fail_pending_reads(struct device *dev)
{
    for (;;) {
        IRP *irp;
        KIRQL irql;
        KeAcquireSpinLock(&dev->lock, &irql);
        irp = take_pending_read(dev);
        KeReleaseSpinLock(&dev->lock, irql);
        if (!irp) break;
        irp->IoStatus.Status = STATUS_DELETE_PENDING;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/* ---- the touch controller's protocol ----------------------------------------------------- */

static BOOLEAN secured(const UCHAR *report)
{
    return report[1] == 0xFF && report[2] == 0xFF;
}

static NTSTATUS touch_set_feature(struct device *dev, const UCHAR *report, ULONG length)
{
    KIRQL irql;
    if (length != KELVO_TOUCH_FEATURE_LENGTH) return STATUS_INVALID_PARAMETER;
    if (report[0] == KELVO_TOUCH_PROPERTY_ID && secured(report) && all_zero(report + 8, 4)) {
        const UCHAR key = report[3];
        const ULONG value = little_endian_32(report + 4);
        KeAcquireSpinLock(&dev->lock, &irql);
        if (value == 0xFFFFFFFF) {
            dev->selected = TRUE;
            dev->selected_key = key;
        } else {
            dev->properties[key] = value;
            dev->known[key / 8] |= (UCHAR)(1 << (key % 8));
        }
        KeReleaseSpinLock(&dev->lock, irql);
        return STATUS_SUCCESS;
    }
    if (report[0] == KELVO_TOUCH_MODE_ID) {
        /* legacy: id, mode, 0; current: id, 0xFF 0xFF, mode; zero-padded */
        if (dev->kind->legacy ? all_zero(report + 2, length - 2)
                              : secured(report) && all_zero(report + 4, length - 4))
            return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

static NTSTATUS touch_get_feature(struct device *dev, UCHAR *report, ULONG length)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL; /* no such property: the request fails */
    ULONG value = 0;
    UCHAR key = 0;
    KIRQL irql;

    if (report[0] != KELVO_TOUCH_PROPERTY_ID || length < KELVO_TOUCH_FEATURE_LENGTH)
        return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&dev->lock, &irql);
    if (dev->selected && dev->known[dev->selected_key / 8] & (1 << (dev->selected_key % 8))) {
        key = dev->selected_key;
        value = dev->properties[key];
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&dev->lock, irql);
    if (!NT_SUCCESS(status)) return status;
    RtlZeroMemory(report, length);
    report[0] = KELVO_TOUCH_PROPERTY_ID;
    report[1] = report[2] = 0xFF;
    report[3] = key;
    report[4] = (UCHAR)value;
    report[5] = (UCHAR)(value >> 8);
    report[6] = (UCHAR)(value >> 16);
    report[7] = (UCHAR)(value >> 24);
    return STATUS_SUCCESS;
}

static NTSTATUS touch_output(struct device *dev, const UCHAR *report, ULONG length)
{
    if (report[0] == KELVO_TOUCH_VIEWPORT_ID && length == dev->kind->output_length &&
        (dev->kind->legacy || secured(report)))
        return STATUS_SUCCESS;
    return STATUS_INVALID_PARAMETER;
}

/* ---- the control device ------------------------------------------------------------------ */

static NTSTATUS control_set_feature(struct device *dev, const UCHAR *report, ULONG length)
{
    struct kelvo_hid_command_report command;
    KIRQL irql;

    if (report[0] != KELVO_HID_CONTROL_COMMAND_ID || length < sizeof(command))
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(&command, report, sizeof(command));
    switch (command.command) {
    case KELVO_HID_SELECT:
        KeAcquireSpinLock(&dev->lock, &irql);
        dev->record_selection = command.sequence;
        KeReleaseSpinLock(&dev->lock, irql);
        return STATUS_SUCCESS;
    case KELVO_HID_DISCARD:
        KeAcquireSpinLock(&registry_lock, &irql);
        while ((LONG)(command.sequence - first_record) > 0 && first_record != next_record)
            first_record++;
        dropped_records = 0;
        KeReleaseSpinLock(&registry_lock, irql);
        return STATUS_SUCCESS;
    case KELVO_HID_INJECT:
        command.name[KELVO_HID_NAME_LENGTH - 1] = 0;
        if (command.length > sizeof(command.bytes)) return STATUS_INVALID_PARAMETER;
        return inject(command.name, command.bytes, command.length);
    }
    return STATUS_INVALID_PARAMETER;
}

static NTSTATUS control_get_feature(struct device *dev, UCHAR *report, ULONG length)
{
    struct kelvo_hid_record_report answer;
    ULONG sequence;
    KIRQL irql, device_irql;

    if (report[0] != KELVO_HID_CONTROL_RECORD_ID || length < sizeof(answer))
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(&answer, sizeof(answer));
    answer.report_id = KELVO_HID_CONTROL_RECORD_ID;
    KeAcquireSpinLock(&registry_lock, &irql);
    KeAcquireSpinLock(&dev->lock, &device_irql);
    sequence = dev->record_selection;
    answer.sequence = sequence;
    answer.first = first_record;
    answer.next = next_record;
    answer.dropped = dropped_records;
    if (sequence - first_record < next_record - first_record) {
        const struct record *r = &records[sequence % RECORD_CAPACITY];
        answer.present = 1;
        RtlCopyMemory(answer.name, r->name, sizeof(answer.name));
        answer.kind = r->kind;
        answer.accepted = r->accepted;
        answer.length = r->length;
        RtlCopyMemory(answer.bytes, r->bytes, sizeof(answer.bytes));
        dev->record_selection = sequence + 1;
    }
    KeReleaseSpinLock(&dev->lock, device_irql);
    KeReleaseSpinLock(&registry_lock, irql);
    RtlZeroMemory(report, length);
    RtlCopyMemory(report, &answer, sizeof(answer));
    return STATUS_SUCCESS;
}

/* ---- reports from the class driver ------------------------------------------------------- */

static NTSTATUS set_feature(struct device *dev, HID_XFER_PACKET *packet)
{
    const UCHAR *report = packet->reportBuffer;
    const ULONG length = packet->reportBufferLen;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (!report || !length) return status;
    if (dev->kind->role == KELVO_ROLE_TOUCH) status = touch_set_feature(dev, report, length);
    if (dev->kind->role == KELVO_ROLE_CONTROL) status = control_set_feature(dev, report, length);
    record(dev, KELVO_HID_SET_FEATURE, report, length, length, NT_SUCCESS(status));
    return status;
}

static NTSTATUS get_feature(struct device *dev, HID_XFER_PACKET *packet)
{
    UCHAR *report = packet->reportBuffer;
    const ULONG length = packet->reportBufferLen;
    const UCHAR id = packet->reportId;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (!report || !length) return status;
    report[0] = id;
    if (dev->kind->role == KELVO_ROLE_TOUCH) status = touch_get_feature(dev, report, length);
    if (dev->kind->role == KELVO_ROLE_CONTROL) status = control_get_feature(dev, report, length);
    record(dev, KELVO_HID_GET_FEATURE, &id, 1, length, NT_SUCCESS(status));
    return status;
}

static NTSTATUS output(struct device *dev, HID_XFER_PACKET *packet)
{
    const UCHAR *report = packet->reportBuffer;
    const ULONG length = packet->reportBufferLen;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (!report || !length) return status;
    if (dev->kind->role == KELVO_ROLE_TOUCH) status = touch_output(dev, report, length);
    record(dev, KELVO_HID_OUTPUT, report, length, length, NT_SUCCESS(status));
    return status;
}

static NTSTATUS get_string(struct device *dev, IRP *irp, ULONG room)
{
    const ULONG id = (ULONG)(ULONG_PTR)
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer & 0xFFFF;
    WCHAR serial[KELVO_HID_NAME_LENGTH];
    const WCHAR *text;
    ULONG n;

    if (id == HID_STRING_ID_IMANUFACTURER) {
        text = L"Kelvo";
    } else if (id == HID_STRING_ID_IPRODUCT) {
        text = dev->kind->product;
    } else if (id == HID_STRING_ID_ISERIALNUMBER) {
        for (n = 0; n < KELVO_HID_NAME_LENGTH; n++) serial[n] = (WCHAR)(UCHAR)dev->name[n];
        text = serial;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    for (n = 0; text[n]; n++)
        ;
    n = (n + 1) * sizeof(WCHAR);
    if (room < n) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(irp->UserBuffer, text, n);
    irp->IoStatus.Information = n;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI dispatch_internal_ioctl(DEVICE_OBJECT *fdo, IRP *irp)
{
    struct device *dev = device_of(fdo);
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const struct kelvo_device_kind *kind = dev->kind;
    HID_XFER_PACKET *packet = irp->UserBuffer;
    NTSTATUS status = STATUS_SUCCESS;

    irp->IoStatus.Information = 0;
    switch (code) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR: {
        HID_DESCRIPTOR *descriptor = irp->UserBuffer;
        if (room < sizeof(*descriptor)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        RtlZeroMemory(descriptor, sizeof(*descriptor));
        descriptor->bLength = sizeof(*descriptor);
        descriptor->bDescriptorType = HID_HID_DESCRIPTOR_TYPE;
        descriptor->bcdHID = 0x0111;
        descriptor->bNumDescriptors = 1;
        descriptor->DescriptorList[0].bReportType = HID_REPORT_DESCRIPTOR_TYPE;
        descriptor->DescriptorList[0].wReportLength = kind->descriptor_length;
        irp->IoStatus.Information = sizeof(*descriptor);
        break;
    }
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        if (room < kind->descriptor_length) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        RtlCopyMemory(irp->UserBuffer, kind->descriptor, kind->descriptor_length);
        irp->IoStatus.Information = kind->descriptor_length;
        break;
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES: {
        HID_DEVICE_ATTRIBUTES *attributes = irp->UserBuffer;
        if (room < sizeof(*attributes)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        RtlZeroMemory(attributes, sizeof(*attributes));
        attributes->Size = sizeof(*attributes);
        attributes->VendorID = kind->vendor_id;
        attributes->ProductID = kind->product_id;
        attributes->VersionNumber = kind->version;
        irp->IoStatus.Information = sizeof(*attributes);
        break;
    }
    case IOCTL_HID_GET_STRING:
        status = get_string(dev, irp, room);
        break;
    case IOCTL_HID_READ_REPORT:
        return read_report(dev, irp);
    case IOCTL_HID_WRITE_REPORT:
    case IOCTL_HID_SET_OUTPUT_REPORT:
        status = packet ? output(dev, packet) : STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status)) irp->IoStatus.Information = packet->reportBufferLen;
        break;
    case IOCTL_HID_SET_FEATURE:
        status = packet ? set_feature(dev, packet) : STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status)) irp->IoStatus.Information = packet->reportBufferLen;
        break;
    case IOCTL_HID_GET_FEATURE:
        status = packet ? get_feature(dev, packet) : STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status)) irp->IoStatus.Information = packet->reportBufferLen;
        break;
    case IOCTL_HID_ACTIVATE_DEVICE:
    case IOCTL_HID_DEACTIVATE_DEVICE:
        break;
    default:
        DbgPrint("kelvo_substitute_hid: %s: ioctl %#lx not supported\n", dev->name, code);
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- PnP --------------------------------------------------------------------------------- */

static void unregister_device(struct device *dev)
{
    KIRQL irql, device_irql;
    KeAcquireSpinLock(&registry_lock, &irql);
    KeAcquireSpinLock(&dev->lock, &device_irql);
    if (!dev->removed) {
        dev->removed = TRUE;
        RemoveEntryList(&dev->link);
    }
    KeReleaseSpinLock(&dev->lock, device_irql);
    KeReleaseSpinLock(&registry_lock, irql);
    fail_pending_reads(dev);
}

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT *fdo, IRP *irp)
{
    struct device *dev = device_of(fdo);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        DbgPrint("kelvo_substitute_hid: %s removed\n", dev->name);
        unregister_device(dev);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(next_of(fdo), irp);
}

static NTSTATUS NTAPI dispatch_power(DEVICE_OBJECT *fdo, IRP *irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(next_of(fdo), irp);
}

static NTSTATUS NTAPI dispatch_system_control(DEVICE_OBJECT *fdo, IRP *irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(next_of(fdo), irp);
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *fdo)
{
    HID_DEVICE_EXTENSION *hid = fdo->DeviceExtension;
    struct device *dev = hid->MiniDeviceExtension;
    const struct kelvo_device_kind *kind = NULL;
    WCHAR *device_id, *instance_id;
    NTSTATUS status;
    KIRQL irql;

    (void)driver;
    RtlZeroMemory(dev, sizeof(*dev));
    status = query_id(hid->PhysicalDeviceObject, BusQueryDeviceID, &device_id);
    if (!NT_SUCCESS(status)) return status;
    kind = find_kind(device_id);
    ExFreePool(device_id);
    if (!kind) {
        DbgPrint("kelvo_substitute_hid: no such device kind\n");
        return STATUS_NOT_SUPPORTED;
    }
    if (kind->name) {
        copy_name(dev->name, kind->name);
    } else {
        status = query_id(hid->PhysicalDeviceObject, BusQueryInstanceID, &instance_id);
        if (!NT_SUCCESS(status)) return status;
        instance_name(dev->name, instance_id);
        ExFreePool(instance_id);
    }
    dev->kind = kind;
    KeInitializeSpinLock(&dev->lock);
    InitializeListHead(&dev->pending_reads);
    if (kind->role == KELVO_ROLE_TOUCH) {
        static const UCHAR keys[] = {1, 2, 3};
        const ULONG values[] = {kind->protocol, 3120 | (1920UL << 16), 1};
        ULONG i;
        for (i = 0; i < sizeof(keys); i++) {
            dev->properties[keys[i]] = values[i];
            dev->known[keys[i] / 8] |= (UCHAR)(1 << (keys[i] % 8));
        }
    }
    KeAcquireSpinLock(&registry_lock, &irql);
    InsertTailList(&devices, &dev->link);
    KeReleaseSpinLock(&registry_lock, irql);
    DbgPrint("kelvo_substitute_hid: added %s\n", dev->name);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI unload(DRIVER_OBJECT *driver)
{
    (void)driver;
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry_path)
{
    HID_MINIDRIVER_REGISTRATION registration;

    KeInitializeSpinLock(&registry_lock);
    InitializeListHead(&devices);
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatch_system_control;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal_ioctl;

    RtlZeroMemory(&registration, sizeof(registration));
    registration.Revision = HID_REVISION;
    registration.DriverObject = driver;
    registration.RegistryPath = registry_path;
    registration.DeviceExtensionSize = sizeof(struct device);
    registration.DevicesArePolled = FALSE;
    return HidRegisterMinidriver(&registration);
}
