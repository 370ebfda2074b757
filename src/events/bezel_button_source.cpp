#include "events/bezel_button_source.h"

#include <exception>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "contract.h"
#include "events/event_translation.h"
#include "events/monitor_window.h"
#include "events/monitor_worker.h"
#include "log/log.h"

BezelButtonSource::BezelButtonSource(platform::Kernel& kernel, platform::Security& security,
                                     platform::Hid& hid, const HidDeviceList& devices,
                                     MonitorWindow& window, SystemEventCallback dispatch)
    : _kernel(kernel),
      _security(security),
      _hid(hid),
      _window(window),
      _dispatch(std::move(dispatch)),
      _hidClients{HidClient(hid, kernel, devices), HidClient(hid, kernel, devices),
                  HidClient(hid, kernel, devices)},
      _stopLock(kernel) {}

void BezelButtonSource::Start() {
    {
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _stopping = false;
    }
    for (int i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) {
        if (_threads[i].joinable()) continue;
        _threads[i] = platform::Thread(_kernel, [this, i] {
            RunMonitorWorker(_security, _kernel, [this, i] { return Thread(i); });
        });
    }
}

void BezelButtonSource::Stop() {
    {
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _stopping = true;
    }
    for (int i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) EndRead(i);
    for (platform::Thread& thread : _threads) {
        if (!thread.joinable()) continue;
        try {
            thread.join();
        } catch (const std::exception& e) {
            Log(TRACE_LEVEL_VERBOSE, L"Exception occurs when joining thread: %S", e.what());
        }
    }
}

void BezelButtonSource::EndRead(int index) {
    platform::Thread& thread = _threads[index];
    if (!thread.joinable()) return;
    for (;;) {
        {
            std::lock_guard<platform::Mutex> stop(_stopLock);
            if (!_reading[index]) return;
            // A cancelled read ends the thread's loop: it sees the stop before any other read.
            if (_hid.CancelSynchronousIo(thread.NativeHandle())) return;
            // Nothing to cancel: the thread is between two reads. It may have looked at the stop
            // already and be on its way into the next read, so try again until it has left.
            const DWORD error = _kernel.GetLastError();
            if (error != ERROR_NOT_FOUND) LogHResult(HRESULT_FROM_WIN32(error));
        }
        _kernel.Sleep(kStopRetryMilliseconds);
    }
}

bool BezelButtonSource::Stopping() {
    std::lock_guard<platform::Mutex> stop(_stopLock);
    return _stopping;
}

HRESULT BezelButtonSource::Thread(int indexDevice) {
    LogAssert(indexDevice >= 0 && indexDevice < BEZEL_BUTTON_EVENTS_COUNT);
    if (indexDevice < 0 || indexDevice >= BEZEL_BUTTON_EVENTS_COUNT) return S_OK;
    HidClient& client = _hidClients[indexDevice];
    {
        // Opened under the stop lock: a stop that came first leaves the device closed, and one
        // that comes later finds it open and closes it.
        std::lock_guard<platform::Mutex> stop(_stopLock);
        if (_stopping) return S_OK;
        if (!client.Open(0, 0, contract::kBezelButtonUsagePage, contract::kBezelButtonUsage, 0,
                         indexDevice)) {
            Log(TRACE_LEVEL_ERROR, L"Failed to find the specified HID device for VB event #%d.",
                indexDevice);
            return S_FALSE;
        }
        _reading[indexDevice] = true;
    }
    // Closed by this thread alone, however its loop ends: Windows' close of a handle waits for a
    // synchronous read on it, so a close from the stopping thread could wait for the next press.
    struct CloseOnLeaving {
        BezelButtonSource& source;
        int index;
        ~CloseOnLeaving() {
            std::lock_guard<platform::Mutex> stop(source._stopLock);
            source._hidClients[index].Close();
            source._reading[index] = false;
        }
    } closeOnLeaving{*this, indexDevice};
    LogAssert(_hidClients[indexDevice].IsValid());
    while (!Stopping()) {
        const std::vector<BYTE> report = client.ReadInputReport();
        if (report.empty()) break;
        ProcessReport(report.data(), report.size());
    }
    return S_OK;
}

void BezelButtonSource::ProcessReport(const unsigned char* data, std::size_t size) {
    const std::string dump = HexDump(data, size);
    Log(TRACE_LEVEL_INFORMATION, L"Raw data:\n%S", dump.c_str());
    _dispatch(EvtRawData, data, size);
    if (size < 2) return;
    Log(TRACE_LEVEL_INFORMATION, L"Hid Usage Id: 0x%x, data: 0x%x", data[0], data[1]);
    const auto press = event_translation::FromButtonReport(std::span(data, size));
    if (!press) return;
    Log(TRACE_LEVEL_INFORMATION, L"%s detected", press->name);
    _window.Post(press->type);
}
