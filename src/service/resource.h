// Resource identifiers of Kelvo.exe, shared by the resource script and the code.
#pragma once

// The service name, display name and event-log source.
#define IDS_SERVICENAME 100
// The AppID registration script (type REGISTRY).
#define IDR_KELVO 101

// The version, as the version resource and the first log line give it.
#define KELVO_VERSION_MAJOR 1
#define KELVO_VERSION_MINOR 0
#define KELVO_VERSION_BUILD 471
#define KELVO_VERSION_REVISION 0
#define KELVO_VERSION_TEXT "1.0.471.0"
