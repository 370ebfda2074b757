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
      _threadsLock(kernel),
      _stopLock(kernel) {}

void BezelButtonSource::Start() {
    std::lock_guard<platform::Mutex> threads(_threadsLock);
    {
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _stopping = false;
    }
    for (int i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) {
        if (!_threads[i].joinable()) StartThread(i, false);
    }
}

void BezelButtonSource::StartThread(int index, bool again) {
    {
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _running[index] = true;
    }
    _threads[index] = platform::Thread(_kernel, [this, index, again] {
        RunMonitorWorker(_security, _kernel, [this, index, again] { return Thread(index, again); });
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _running[index] = false;
    });
}

void BezelButtonSource::Stop() {
    std::lock_guard<platform::Mutex> threads(_threadsLock);
    {
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _stopping = true;
    }
    for (int i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) EndRead(i);
    for (int i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) Join(i);
}

void BezelButtonSource::EndThread(int index) {
    EndRead(index);
    Join(index);
}

void BezelButtonSource::Join(int index) {
    platform::Thread& thread = _threads[index];
    if (!thread.joinable()) return;
    try {
        thread.join();
    } catch (const std::exception& e) {
        Log(TRACE_LEVEL_VERBOSE, L"Exception occurs when joining thread: %S", e.what());
    }
}

void BezelButtonSource::VisitHandles(const std::function<void(HANDLE)>& visit) {
    std::lock_guard<platform::Mutex> stop(_stopLock);
    for (int i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) {
        if (_reading[i]) visit(_hidClients[i].Handle());
    }
}

void BezelButtonSource::Release(HANDLE handle) {
    EndThreadsOf([handle](const HidClient& client) { return client.Handle() == handle; },
                 L"Bezel button device #%d given up");
}

void BezelButtonSource::Removed(const std::wstring& path) {
    EndThreadsOf([&path](const HidClient& client) { return SameDevicePath(client.Path(), path); },
                 L"Bezel button device #%d removed");
}

void BezelButtonSource::EndThreadsOf(const std::function<bool(const HidClient&)>& device,
                                     const wchar_t* line) {
    std::lock_guard<platform::Mutex> threads(_threadsLock);
    for (int i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) {
        {
            std::lock_guard<platform::Mutex> stop(_stopLock);
            if (!_reading[i] || !device(_hidClients[i])) continue;
        }
        Log(TRACE_LEVEL_INFORMATION, line, i);
        EndThread(i);
    }
}

void BezelButtonSource::Reacquire() {
    std::lock_guard<platform::Mutex> threads(_threadsLock);
    for (int i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) {
        {
            std::lock_guard<platform::Mutex> stop(_stopLock);
            // A stop has begun, or the thread serves its device still.
            if (_stopping || _running[i]) continue;
        }
        Join(i);
        Log(TRACE_LEVEL_INFORMATION, L"Bezel button thread #%d started again", i);
        StartThread(i, true);
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

HRESULT BezelButtonSource::Thread(int indexDevice, bool again) {
    LogAssert(indexDevice >= 0 && indexDevice < BEZEL_BUTTON_EVENTS_COUNT);
    if (indexDevice < 0 || indexDevice >= BEZEL_BUTTON_EVENTS_COUNT) return S_OK;
    HidClient& client = _hidClients[indexDevice];
    {
        // Opened under the stop lock: a stop that came first leaves the device closed, and one
        // that comes later finds it open and closes it. The other threads' devices stay as they
        // are meanwhile.
        std::lock_guard<platform::Mutex> stop(_stopLock);
        if (_stopping) return S_OK;
        std::vector<std::wstring> served;
        for (int i = 0; again && i < BEZEL_BUTTON_EVENTS_COUNT; ++i) {
            if (_reading[i]) served.push_back(_hidClients[i].Path());
        }
        if (!client.Open(0, 0, contract::kBezelButtonUsagePage, contract::kBezelButtonUsage, 0,
                         again ? 0 : indexDevice, served)) {
            Log(TRACE_LEVEL_ERROR, L"Failed to find the specified HID device for VB event #%d.",
                indexDevice);
            return S_FALSE;
        }
        _reading[indexDevice] = true;
    }
    HandlesChanged();
    // Closed by this thread alone, however its loop ends: Windows' close of a handle waits for a
    // synchronous read on it, so a close from the stopping thread could wait for the next press.
    struct CloseOnLeaving {
        BezelButtonSource& source;
        int index;
        ~CloseOnLeaving() {
            {
                std::lock_guard<platform::Mutex> stop(source._stopLock);
                source._hidClients[index].Close();
                source._reading[index] = false;
            }
            source.HandlesChanged();
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
