// Resource identifiers of Kelvo.exe, shared by the resource script and the code.
#pragma once

// The service name, display name and event-log source.
#define IDS_SERVICENAME 100
// The AppID registration script (type REGISTRY).
#define IDR_KELVO 101
