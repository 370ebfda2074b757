/* The substitute devices as data: what each hardware id presents to the HID class driver. */
#ifndef KELVO_SUBSTITUTE_HID_DEVICES_H
#define KELVO_SUBSTITUTE_HID_DEVICES_H

#include "minidriver.h"

enum kelvo_role {
    KELVO_ROLE_PASSIVE, /* takes no feature or output report (touchscreen part, buttons) */
    KELVO_ROLE_TOUCH,   /* the touch controller's property, mode and viewport protocol */
    KELVO_ROLE_CONTROL  /* the tests' control channel */
};

struct kelvo_input_report {
    UCHAR id;
    UCHAR length; /* report id included */
};

struct kelvo_device_kind {
    const WCHAR* device_id; /* e.g. L"ROOT\\KELVO_TOUCH_V2", compared without case */
    const char* name;       /* the serial number string; NULL: "button-N" from the instance */
    const WCHAR* product;
    USHORT vendor_id, product_id, version;
    const UCHAR* descriptor;
    USHORT descriptor_length;
    enum kelvo_role role;
    BOOLEAN legacy;      /* the legacy controller's bezel mode report: id, mode, 0 */
    UCHAR protocol;      /* property 1, the firmware protocol version */
    UCHAR output_length; /* the viewport output report, report id included */
    struct kelvo_input_report inputs[3]; /* what an injection may deliver; length 0 ends */
};

/* The report ids of the touch controller's vendor collection. */
#define KELVO_TOUCH_PROPERTY_ID 5
#define KELVO_TOUCH_MODE_ID 6
#define KELVO_TOUCH_VIEWPORT_ID 6
#define KELVO_TOUCH_INPUT_ID 7
#define KELVO_TOUCH_FEATURE_LENGTH 12

extern const struct kelvo_device_kind kelvo_device_kinds[];
extern const ULONG kelvo_device_kind_count;

#endif
