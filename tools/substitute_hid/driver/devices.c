/* The substitute devices' report descriptors and identities. Each descriptor is what hidparse
 * turns into the capabilities the service matches on, so the lengths here are the contract:
 * report counts are data bytes, the report id byte comes on top. */
#include "devices.h"

#include "../substitute_hid_protocol.h"

/* The touch controller's vendor collection: feature 5 (property request and response) and
 * feature 6 (bezel touch mode), 11 data bytes each, so FeatureReportByteLength is 12; output 6
 * (viewport) and input 7 of the lengths given. */
#define TOUCH_VENDOR_COLLECTION(output_data, input_data)                                   \
    0x06, 0x00, 0xFF,             /* Usage Page (Vendor 0xFF00) */                         \
        0x09, 0x01,               /* Usage (1) */                                          \
        0xA1, 0x01,               /* Collection (Application) */                           \
        0x15, 0x00,               /*   Logical Minimum (0) */                              \
        0x26, 0xFF, 0x00,         /*   Logical Maximum (255) */                            \
        0x75, 0x08,               /*   Report Size (8) */                                  \
        0x85, 0x05, 0x09, 0x05,   /*   Report ID (5), Usage (5) */                         \
        0x95, 0x0B, 0xB1, 0x02,   /*   Report Count (11), Feature (Data, Var, Abs) */      \
        0x85, 0x06, 0x09, 0x06,   /*   Report ID (6), Usage (6) */                         \
        0x95, 0x0B, 0xB1, 0x02,   /*   Report Count (11), Feature */                       \
        0x09, 0x16,               /*   Usage (0x16) */                                     \
        0x95, (output_data), 0x91, 0x02, /* Report Count, Output (Data, Var, Abs) */       \
        0x85, 0x07, 0x09, 0x07,   /*   Report ID (7), Usage (7) */                         \
        0x95, (input_data), 0x81, 0x02,  /* Report Count, Input (Data, Var, Abs) */        \
        0xC0                      /* End Collection */

/* The touchscreen collection Windows opens for itself: input report 1, one finger on a
 * 3120 x 1920 panel (8 bytes). */
#define TOUCHSCREEN_COLLECTION                                                             \
    0x05, 0x0D,                   /* Usage Page (Digitizer) */                             \
        0x09, 0x04,               /* Usage (Touch Screen) */                               \
        0xA1, 0x01,               /* Collection (Application) */                           \
        0x85, 0x01,               /*   Report ID (1) */                                    \
        0x09, 0x22,               /*   Usage (Finger) */                                   \
        0xA1, 0x02,               /*   Collection (Logical) */                             \
        0x09, 0x42,               /*     Usage (Tip Switch) */                             \
        0x15, 0x00, 0x25, 0x01,   /*     Logical Minimum (0), Maximum (1) */               \
        0x75, 0x01, 0x95, 0x01,   /*     Report Size (1), Count (1) */                     \
        0x81, 0x02,               /*     Input (Data, Var, Abs) */                         \
        0x95, 0x07, 0x81, 0x03,   /*     Report Count (7), Input (Const): padding */       \
        0x09, 0x51,               /*     Usage (Contact Identifier) */                     \
        0x25, 0x0A, 0x75, 0x08,   /*     Logical Maximum (10), Report Size (8) */          \
        0x95, 0x01, 0x81, 0x02,   /*     Report Count (1), Input */                        \
        0x05, 0x01,               /*     Usage Page (Generic Desktop) */                   \
        0x09, 0x30,               /*     Usage (X) */                                      \
        0x26, 0x30, 0x0C,         /*     Logical Maximum (3120) */                         \
        0x75, 0x10, 0x81, 0x02,   /*     Report Size (16), Input */                        \
        0x09, 0x31,               /*     Usage (Y) */                                      \
        0x26, 0x80, 0x07,         /*     Logical Maximum (1920) */                         \
        0x81, 0x02,               /*     Input */                                          \
        0xC0,                     /*   End Collection */                                   \
        0x05, 0x0D,               /*   Usage Page (Digitizer) */                           \
        0x09, 0x54,               /*   Usage (Contact Count) */                            \
        0x25, 0x0A, 0x75, 0x08,   /*   Logical Maximum (10), Report Size (8) */            \
        0x95, 0x01, 0x81, 0x02,   /*   Report Count (1), Input */                          \
        0xC0                      /* End Collection */

/* Viewport output and input report 7 lengths, report id included: legacy 10 and 14, protocol 1
 * 19 and 64, protocol 2 20 and 20. */
static const UCHAR touch_legacy[] = {TOUCH_VENDOR_COLLECTION(9, 13)};
static const UCHAR touch_v1[] = {TOUCH_VENDOR_COLLECTION(18, 63)};
static const UCHAR touch_v2[] = {TOUCH_VENDOR_COLLECTION(19, 19)};
static const UCHAR touchscreen[] = {TOUCHSCREEN_COLLECTION};
static const UCHAR touch_legacy_composite[] = {TOUCHSCREEN_COLLECTION,
                                               TOUCH_VENDOR_COLLECTION(9, 13)};
static const UCHAR touch_v1_composite[] = {TOUCHSCREEN_COLLECTION, TOUCH_VENDOR_COLLECTION(18, 63)};
static const UCHAR touch_v2_composite[] = {TOUCHSCREEN_COLLECTION, TOUCH_VENDOR_COLLECTION(19, 19)};

/* The bezel buttons: input reports 0x18, 0x19 and 0x1A, one per control, 3 data bytes each. */
static const UCHAR buttons[] = {
    0x06, 0xB3, 0xFF,       /* Usage Page (Vendor 0xFFB3) */
    0x09, 0x10,             /* Usage (0x10) */
    0xA1, 0x01,             /* Collection (Application) */
    0x15, 0x00,             /*   Logical Minimum (0) */
    0x26, 0xFF, 0x00,       /*   Logical Maximum (255) */
    0x75, 0x08, 0x95, 0x03, /*   Report Size (8), Report Count (3) */
    0x85, 0x18, 0x09, 0x18, /*   Report ID (0x18), Usage (0x18) */
    0x81, 0x02,             /*   Input (Data, Var, Abs) */
    0x85, 0x19, 0x09, 0x19, /*   Report ID (0x19), Usage (0x19) */
    0x81, 0x02,             /*   Input */
    0x85, 0x1A, 0x09, 0x1A, /*   Report ID (0x1A), Usage (0x1A) */
    0x81, 0x02,             /*   Input */
    0xC0                    /* End Collection */
};

/* The control device: features 1 (command) and 2 (record) of 127 data bytes; an input report,
 * never sent, because the class driver's reader expects one. */
static const UCHAR control[] = {
    0x06, (UCHAR)(KELVO_HID_CONTROL_USAGE_PAGE & 0xFF),
    (UCHAR)(KELVO_HID_CONTROL_USAGE_PAGE >> 8), /* Usage Page (Vendor) */
    0x09, KELVO_HID_CONTROL_USAGE,             /* Usage */
    0xA1, 0x01,                                /* Collection (Application) */
    0x15, 0x00,                                /*   Logical Minimum (0) */
    0x26, 0xFF, 0x00,                          /*   Logical Maximum (255) */
    0x75, 0x08,                                /*   Report Size (8) */
    0x95, KELVO_HID_CONTROL_REPORT_LENGTH - 1, /*   Report Count (127) */
    0x85, KELVO_HID_CONTROL_COMMAND_ID, 0x09, 0x01, 0xB1, 0x02, /* Feature */
    0x85, KELVO_HID_CONTROL_RECORD_ID, 0x09, 0x02, 0xB1, 0x02,  /* Feature */
    0x95, 0x07,                                /*   Report Count (7) */
    0x85, 0x03, 0x09, 0x03, 0x81, 0x02,        /*   Input */
    0xC0                                       /* End Collection */
};

#define DESCRIPTOR(d) d, sizeof(d)
#define LEGACY_IDENTITY 0x03EB, 0x212A, 0x0110
#define V1_IDENTITY 0x04F3, 0x200A, 0x0201
#define V2_IDENTITY 0x04F3, 0x200A, 0x0202
#define SCREEN_INPUT {1, 8}

const struct kelvo_device_kind kelvo_device_kinds[] = {
    {L"ROOT\\KELVO_TOUCH_LEGACY", KELVO_HID_NAME_TOUCH_LEGACY, L"Kelvo touch controller (legacy)",
     LEGACY_IDENTITY, DESCRIPTOR(touch_legacy), KELVO_ROLE_TOUCH, TRUE, 1, 10,
     {{KELVO_TOUCH_INPUT_ID, 14}}},
    {L"ROOT\\KELVO_TOUCH_V1", KELVO_HID_NAME_TOUCH_V1, L"Kelvo touch controller (protocol 1)",
     V1_IDENTITY, DESCRIPTOR(touch_v1), KELVO_ROLE_TOUCH, FALSE, 1, 19,
     {{KELVO_TOUCH_INPUT_ID, 64}}},
    {L"ROOT\\KELVO_TOUCH_V2", KELVO_HID_NAME_TOUCH_V2, L"Kelvo touch controller (protocol 2)",
     V2_IDENTITY, DESCRIPTOR(touch_v2), KELVO_ROLE_TOUCH, FALSE, 2, 20,
     {{KELVO_TOUCH_INPUT_ID, 20}}},
    {L"ROOT\\KELVO_TOUCHSCREEN_LEGACY", KELVO_HID_NAME_TOUCH_LEGACY, L"Kelvo touchscreen (legacy)",
     LEGACY_IDENTITY, DESCRIPTOR(touchscreen), KELVO_ROLE_PASSIVE, FALSE, 0, 0, {SCREEN_INPUT}},
    {L"ROOT\\KELVO_TOUCHSCREEN_V1", KELVO_HID_NAME_TOUCH_V1, L"Kelvo touchscreen (protocol 1)",
     V1_IDENTITY, DESCRIPTOR(touchscreen), KELVO_ROLE_PASSIVE, FALSE, 0, 0, {SCREEN_INPUT}},
    {L"ROOT\\KELVO_TOUCHSCREEN_V2", KELVO_HID_NAME_TOUCH_V2, L"Kelvo touchscreen (protocol 2)",
     V2_IDENTITY, DESCRIPTOR(touchscreen), KELVO_ROLE_PASSIVE, FALSE, 0, 0, {SCREEN_INPUT}},
    {L"ROOT\\KELVO_TOUCH_LEGACY_COMPOSITE", KELVO_HID_NAME_TOUCH_LEGACY,
     L"Kelvo touch controller (legacy)", LEGACY_IDENTITY, DESCRIPTOR(touch_legacy_composite),
     KELVO_ROLE_TOUCH, TRUE, 1, 10, {SCREEN_INPUT, {KELVO_TOUCH_INPUT_ID, 14}}},
    {L"ROOT\\KELVO_TOUCH_V1_COMPOSITE", KELVO_HID_NAME_TOUCH_V1,
     L"Kelvo touch controller (protocol 1)", V1_IDENTITY, DESCRIPTOR(touch_v1_composite),
     KELVO_ROLE_TOUCH, FALSE, 1, 19, {SCREEN_INPUT, {KELVO_TOUCH_INPUT_ID, 64}}},
    {L"ROOT\\KELVO_TOUCH_V2_COMPOSITE", KELVO_HID_NAME_TOUCH_V2,
     L"Kelvo touch controller (protocol 2)", V2_IDENTITY, DESCRIPTOR(touch_v2_composite),
     KELVO_ROLE_TOUCH, FALSE, 2, 20, {SCREEN_INPUT, {KELVO_TOUCH_INPUT_ID, 20}}},
    {L"ROOT\\KELVO_BUTTONS", NULL, L"Kelvo bezel buttons", 0x1B96, 0x0B0A, 0x0100,
     DESCRIPTOR(buttons), KELVO_ROLE_PASSIVE, FALSE, 0, 0, {{0x18, 4}, {0x19, 4}, {0x1A, 4}}},
    {L"ROOT\\KELVO_HID_CONTROL", KELVO_HID_NAME_CONTROL, L"Kelvo substitute HID control",
     KELVO_HID_CONTROL_VENDOR_ID, KELVO_HID_CONTROL_PRODUCT_ID, 0x0100, DESCRIPTOR(control),
     KELVO_ROLE_CONTROL, FALSE, 0, 0, {{0}}},
};

const ULONG kelvo_device_kind_count = sizeof(kelvo_device_kinds) / sizeof(kelvo_device_kinds[0]);
