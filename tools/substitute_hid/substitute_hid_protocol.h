/* What the substitute HID driver and the user-mode side that installs and observes it agree on:
 * hardware ids, device names and the control device's feature reports. Plain C, so that the
 * kernel-mode driver and the C++ library include the same text. */
#ifndef KELVO_SUBSTITUTE_HID_PROTOCOL_H
#define KELVO_SUBSTITUTE_HID_PROTOCOL_H

/* Every substitute device also carries this hardware id, so that one driver update installs a
 * whole set of devices of different kinds at once. */
#define KELVO_HID_COMMON_HARDWARE_ID L"root\\kelvo_substitute_hid"

/* One hardware id per device. The driver tells the kinds apart by the device id, which for a
 * root-enumerated device is its instance id without the last part: the installer makes every
 * instance id <hardware id>\NNNN. */
#define KELVO_HID_TOUCH_LEGACY L"root\\kelvo_touch_legacy"
#define KELVO_HID_TOUCH_V1 L"root\\kelvo_touch_v1"
#define KELVO_HID_TOUCH_V2 L"root\\kelvo_touch_v2"
/* The touchscreen collection of each controller as a device of its own, for a class driver that
 * serves only a device's first top-level collection (Wine 8). */
#define KELVO_HID_TOUCHSCREEN_LEGACY L"root\\kelvo_touchscreen_legacy"
#define KELVO_HID_TOUCHSCREEN_V1 L"root\\kelvo_touchscreen_v1"
#define KELVO_HID_TOUCHSCREEN_V2 L"root\\kelvo_touchscreen_v2"
/* Both collections in one device, as the real controllers are (Windows). */
#define KELVO_HID_TOUCH_LEGACY_COMPOSITE L"root\\kelvo_touch_legacy_composite"
#define KELVO_HID_TOUCH_V1_COMPOSITE L"root\\kelvo_touch_v1_composite"
#define KELVO_HID_TOUCH_V2_COMPOSITE L"root\\kelvo_touch_v2_composite"
#define KELVO_HID_BUTTONS L"root\\kelvo_buttons"
#define KELVO_HID_CONTROL L"root\\kelvo_hid_control"

/* Device names, answered as the serial number string. Buttons are "button-N", N the instance
 * number; a controller's touchscreen part answers the controller's name. */
#define KELVO_HID_NAME_LENGTH 16
#define KELVO_HID_NAME_TOUCH_LEGACY "touch-legacy"
#define KELVO_HID_NAME_TOUCH_V1 "touch-v1"
#define KELVO_HID_NAME_TOUCH_V2 "touch-v2"
#define KELVO_HID_NAME_BUTTON_PREFIX "button-"
#define KELVO_HID_NAME_CONTROL "control"

/* The control device: a vendor collection none of the service's searches match. */
#define KELVO_HID_CONTROL_VENDOR_ID 0x1209 /* pid.codes, test product ids */
#define KELVO_HID_CONTROL_PRODUCT_ID 0x0007
#define KELVO_HID_CONTROL_USAGE_PAGE 0xFF4B
#define KELVO_HID_CONTROL_USAGE 0x0001

/* Both control feature reports are this long, report id included. */
#define KELVO_HID_CONTROL_REPORT_LENGTH 128
/* The longest report a record or an injection carries. */
#define KELVO_HID_MAX_REPORT 64

/* Feature report 1, set: a command. */
#define KELVO_HID_CONTROL_COMMAND_ID 1
/* Feature report 2, get: the selected record, then the selection moves to the next one. */
#define KELVO_HID_CONTROL_RECORD_ID 2

enum kelvo_hid_command {
    KELVO_HID_SELECT = 1,  /* sequence: the record the next record read returns */
    KELVO_HID_DISCARD = 2, /* sequence: drop every record before it; clears the dropped count */
    KELVO_HID_INJECT = 3   /* name, length, bytes: the named device delivers this input report */
};

enum kelvo_hid_record_kind {
    KELVO_HID_OUTPUT = 1,      /* WriteFile or HidD_SetOutputReport */
    KELVO_HID_SET_FEATURE = 2, /* HidD_SetFeature */
    KELVO_HID_GET_FEATURE = 3  /* HidD_GetFeature: bytes hold the report id, length the request */
};

#pragma pack(push, 1)
struct kelvo_hid_command_report {
    unsigned char report_id;          /* KELVO_HID_CONTROL_COMMAND_ID */
    unsigned char command;            /* enum kelvo_hid_command */
    unsigned int sequence;            /* SELECT, DISCARD */
    char name[KELVO_HID_NAME_LENGTH]; /* INJECT: the device, NUL-padded */
    unsigned char length;             /* INJECT: report bytes, report id included */
    unsigned char bytes[KELVO_HID_MAX_REPORT];
    unsigned char reserved[KELVO_HID_CONTROL_REPORT_LENGTH - 23 - KELVO_HID_MAX_REPORT];
};

struct kelvo_hid_record_report {
    unsigned char report_id; /* KELVO_HID_CONTROL_RECORD_ID */
    unsigned char present;   /* 1: the record below is the one selected; 0: there is none */
    unsigned int sequence;   /* of the record selected */
    unsigned int first;      /* the oldest record held */
    unsigned int next;       /* the sequence the next record will get */
    unsigned int dropped;    /* records lost for want of room since the last discard */
    char name[KELVO_HID_NAME_LENGTH]; /* the device that received the report */
    unsigned char kind;               /* enum kelvo_hid_record_kind */
    unsigned char accepted;           /* 1: the device took it; 0: refused */
    unsigned short length;            /* bytes received, or asked for (GetFeature) */
    unsigned char bytes[KELVO_HID_MAX_REPORT];
    unsigned char reserved[KELVO_HID_CONTROL_REPORT_LENGTH - 38 - KELVO_HID_MAX_REPORT];
};
#pragma pack(pop)

#ifdef __cplusplus
#define KELVO_HID_STATIC_ASSERT static_assert
#else
#define KELVO_HID_STATIC_ASSERT _Static_assert
#endif
KELVO_HID_STATIC_ASSERT(sizeof(struct kelvo_hid_command_report) == KELVO_HID_CONTROL_REPORT_LENGTH,
                        "command report layout");
KELVO_HID_STATIC_ASSERT(sizeof(struct kelvo_hid_record_report) == KELVO_HID_CONTROL_REPORT_LENGTH,
                        "record report layout");

#endif
