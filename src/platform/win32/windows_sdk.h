// The Windows SDK, as the portable types header sees it on Windows.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <evntprov.h>
#include <evntrace.h>  // TRACE_LEVEL_*
