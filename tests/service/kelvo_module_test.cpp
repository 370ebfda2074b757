// The service module with a stand-in controller, and the registrar, told as stories in
// golden/stories.txt. Each section ("== NAME") starts with its steps ("> STEP"; "# " lines are
// comments) and goes on with everything the story left in the world: notes of the steps, status
// reports, the controller's calls, services, registry trees, message boxes, the event log and
// the traces of levels 1 to 4. KELVO_REGENERATE_GOLDEN=1 (./run golden) writes what follows the
// steps anew from what the code does now.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/reg_file.h"
#include "platform/sim/utf8.h"
#include "platform/sync.h"
#include "rig/golden.h"
#include "rig/sim_rig.h"
#include "service/host_resources.h"
#include "service/kelvo_module.h"
#include "service/registrar.h"

namespace {

using platform::sim::ToUtf8;
const std::string kStories = KELVO_SERVICE_GOLDEN_DIR "/stories.txt";

// Stands in for the bezel controller: records the calls; the monitor runs until it is stopped,
// and a stop that comes first is remembered, as the real monitor does.
class FakeController {
public:
    explicit FakeController(platform::Kernel& kernel)
        : _kernel(kernel), _stop(kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        s_current = this;
    }
    ~FakeController() { _kernel.CloseHandle(_stop); }

    static FakeController* GetInstance(PVOID) { return s_current->Record("GetInstance"); }
    bool Initialize() {
        if (Record("Initialize")->throwOnInitialize) throw std::bad_alloc();
        return true;
    }
    void RunSystemEventsMonitor() {
        Record("RunSystemEventsMonitor")
            ->_kernel.WaitForMultipleObjects(1, &_stop, FALSE, INFINITE);
    }
    void StopSystemEventsMonitor() {
        if (!Record("StopSystemEventsMonitor")->ignoresStop) EndMonitor();
    }
    void EndMonitor() { _kernel.SetEvent(_stop); }
    void Uninitialize() { Record("Uninitialize"); }
    std::string Calls() {
        std::lock_guard<std::mutex> lock(_lock);
        return _calls;
    }

    bool throwOnInitialize = false;
    bool ignoresStop = false;

private:
    FakeController* Record(const char* call) {
        std::lock_guard<std::mutex> lock(_lock);
        _calls += std::string(" ") + call;
        return this;
    }

    static inline FakeController* s_current = nullptr;
    platform::Kernel& _kernel;
    HANDLE _stop;
    std::mutex _lock;
    std::string _calls;
};

using TestModule = CKelvoModuleT<FakeController>;

// The simulated control manager, with a hook called on the reporting thread after each status
// report: a story can make a control arrive at exactly that point.
class Services : public platform::sim::SimServices {
public:
    using SimServices::SimServices;
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) override {
        const BOOL reported = SimServices::SetServiceStatus(handle, status);
        if (afterReport) afterReport(*status);
        return reported;
    }
    std::function<void(const SERVICE_STATUS&)> afterReport;
};

std::string Hex(long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value) & 0xFFFFFFFF);
    return text;
}

const char* StateName(DWORD state) {
    static const char* const kNames[] = {"?", "STOPPED", "START_PENDING", "STOP_PENDING",
                                         "RUNNING"};
    return kNames[std::min<DWORD>(state, 4)];
}

// The text of a step with "\n", "\t" and "\xHH" written out.
std::string Unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\\n") == 0 || text.compare(i, 2, "\\t") == 0)
            out += text[i + 1] == 'n' ? '\n' : '\t', ++i;
        else if (text.compare(i, 2, "\\x") == 0)
            out += char(std::stoi(text.substr(i + 2, 2), nullptr, 16)), i += 3;
        else
            out += text[i];
    }
    return out;
}

struct Story : rig::SimRig {
    // One step: a verb and the rest of the line.
    void Step(const std::string& line) {
        const std::string verb = line.substr(0, line.find(' '));
        const std::string rest =
            line.size() > verb.size() ? Unescaped(line.substr(verb.size() + 1)) : "";
        const std::wstring text(rest.begin(), rest.end());
        std::vector<std::string> args;
        std::istringstream words(rest);
        for (std::string word; words >> word;) args.push_back(word);
        auto number = [&args](std::size_t i, DWORD otherwise) {
            return i < args.size() ? static_cast<DWORD>(std::stoul(args[i], nullptr, 0))
                                   : otherwise;
        };
        if (verb == "main") {
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            services.SetCommandLine(text);
            Note("exit " + Hex(KelvoMain(Module(), services, SW_HIDE)));
            const std::string out = testing::internal::GetCapturedStdout(),
                              err = testing::internal::GetCapturedStderr();
            if (!out.empty() || !err.empty()) Note("stdout: " + out + "| stderr: " + err);
        } else if (verb == "start" || verb == "start-com") {
            services.SetCommandLine(text);
            main = platform::Thread(world.GetKernel(), [this, &m = Module(), verb] {
                if (verb == "start-com")
                    world.GetCom().CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                exitCode = KelvoMain(m, services, SW_HIDE);
                if (verb == "start-com") world.GetCom().CoUninitialize();
            });
            world.RunUntilIdle();
        } else if (verb == "join") {
            world.RunUntilIdle();
            main.join();
            Note("exit " + Hex(exitCode));
        } else if (verb == "fail") {  // fail OPERATION ERROR [NTH]
            Fail(args.at(0), number(1, 0), number(2, 1));
        } else if (verb == "control") {  // control CONTROL [EVENT-TYPE], from the control manager
            Note(line + ": sent " +
                 std::to_string(services.SendControl(number(0, 0), number(1, 0))));
        } else if (verb == "handler") {  // handler CONTROL EVENT-TYPE, called directly
            const DWORD result =
                TestModule::_HandlerEx(number(0, 0), number(1, 0), nullptr, &Module());
            Note(line + ": " + std::to_string(result));
        } else if (verb == "at") {
            const std::string state = rest.substr(0, rest.find(' ')),
                              then = rest.substr(state.size() + 1);
            services.afterReport = [this, state, then](const SERVICE_STATUS& status) {
                if (state == StateName(status.dwCurrentState)) Step(then);
            };
        } else if (verb == "then") {  // "then A; B": both steps
            std::size_t at = rest.find("; ");
            Step(rest.substr(0, at));
            Step(rest.substr(at + 2));
        } else if (verb == "count") {
            Note("counted " + std::to_string(world.GetTracing().Events().size()) + " traces, " +
                 std::to_string(services.EventLog().size()) + " events");
        } else if (verb == "throw-on-initialize") {
            controller.throwOnInitialize = true;
        } else if (verb == "ignore-stop") {
            controller.ignoresStop = true;
        } else if (verb == "end-monitor") {
            controller.EndMonitor();
        } else if (verb == "on-stop") {
            Module().OnStop();
        } else if (verb == "as-service") {
            Module().m_bService = true;
        } else if (verb == "log") {
            testing::internal::CaptureStdout();
            if (rest == "formatted")
                Module().LogEvent(L"Value %d of %s", 7, L"\x00e9t\x00e9");
            else
                Module().LogEvent(L"%s",
                                  rest == "long" ? std::wstring(300, L'a').c_str() : text.c_str());
            Note("stdout: " + testing::internal::GetCapturedStdout() +
                 "| verbose: " + ToUtf8(Lines(TRACE_LEVEL_VERBOSE).back()));
        } else if (verb == "hold") {  // another program holds the service open
            held.emplace_back(ScHandleCloser{&services},
                              services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
            held.emplace_back(ScHandleCloser{&services},
                              services.OpenServiceW(held.back().get(), KelvoServiceName().c_str(),
                                                    SERVICE_QUERY_STATUS));
        } else if (verb == "invisible") {
            services.SetWindowStationVisible(false);
        } else if (verb == "register-while-running") {
            // As a second process does it: on a thread of the world, the clock going on.
            HRESULT hr = E_UNEXPECTED;
            bool done = false;
            platform::Thread installer(world.GetKernel(), [&] {
                hr = rest == "service" ? Module().RegisterAppId(true) : Module().UnregisterAppId();
                done = true;
            });
            for (int step = 0; step < 1000 && !done; ++step) world.Advance(50);
            installer.join();
            Note(line + ": " + Hex(hr));
        } else if (verb == "per-user") {
            perUser = true;
        } else if (verb == "seed") {
            world.GetRegistry().SetString(HKEY_CLASSES_ROOT, text, L"", L"Other");
        } else if (verb == "script" || verb == "resource") {
            // Registered, removed, and removed once more; the trees after each when they changed.
            Registrar registrar(world.GetRegistry());
            registrar.AddReplacement(L"APPID", TestModule::kAppId);
            registrar.AddReplacement(L"Name", L"Kelvo");
            registrar.SetPerUser(perUser);
            const std::string& bytes = rest.empty() ? KelvoRegistrationScript() : rest;
            const auto size = static_cast<DWORD>(bytes.size());
            std::string trees;
            for (const bool add : {true, false, false}) {
                const HRESULT hr = verb == "script"
                                       ? (add ? registrar.StringRegister(text.c_str())
                                              : registrar.StringUnregister(text.c_str()))
                                       : (add ? registrar.ResourceRegister(bytes.data(), size)
                                              : registrar.ResourceUnregister(bytes.data(), size));
                const std::string now =
                    Tree(HKEY_CLASSES_ROOT, L"") + Tree(HKEY_CURRENT_USER, L"Software\\Classes");
                Note((add ? "registered " : "removed ") + Hex(hr) +
                     (now == trees ? "" : "\n" + now.substr(0, now.size() - 1)));
                trees = now;
            }
        } else {
            ADD_FAILURE() << "bad step: " << line;
        }
    }

    TestModule& Module() {
        if (!module) {
            module = std::make_unique<TestModule>(services, world.GetRegistry(), world.GetCom(),
                                                  world.GetKernel());
        }
        return *module;
    }
    void Note(const std::string& line) {
        std::lock_guard<std::mutex> lock(_notesLock);
        _notes += line + "\n";
    }
    // The tree as the registry editor saves it, without its header, blank lines and CRs.
    std::string Tree(HKEY root, const std::wstring& path) {
        const auto bytes = platform::sim::SaveRegText(world.GetRegistry(), root, path);
        if (!bytes) return "no " + ToUtf8(path) + "\n";
        std::string text, tree;
        for (std::size_t i = 2; i < bytes->size(); i += 2) text += (*bytes)[i];  // ASCII here
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() > 1 && line.rfind("Windows", 0) != 0)
                tree += line.substr(0, line.size() - 1) + "\n";
        }
        return tree;
    }

    // Everything the story left in the world, in a fixed order.
    std::string Record() {
        std::ostringstream out;
        {
            std::lock_guard<std::mutex> lock(_notesLock);
            out << _notes;
        }
        for (const SERVICE_STATUS& s : services.StatusReports()) {
            out << "report " << StateName(s.dwCurrentState) << " accepts "
                << Hex(s.dwControlsAccepted) << " exit " << s.dwWin32ExitCode << " "
                << Hex(s.dwServiceSpecificExitCode) << " checkpoint " << s.dwCheckPoint << " hint "
                << s.dwWaitHint << "\n";
        }
        out << "controller:" << controller.Calls() << "\n";
        for (const auto& [name, s] : services.Installed()) {
            out << "service "
                << ToUtf8(name + L": " + s.displayName + L" | " + s.binaryPath + L" | " +
                          s.dependencies + L" | " + s.account)
                << " | type " << s.serviceType << " start " << s.startType << " error "
                << s.errorControl << (s.markedForDelete ? " | marked for delete" : "") << "\n";
        }
        out << Tree(HKEY_CLASSES_ROOT, L"") << Tree(HKEY_CURRENT_USER, L"Software\\Classes")
            << Tree(HKEY_LOCAL_MACHINE, kEventLogSources + KelvoServiceName());
        for (const auto& box : services.MessageBoxes())
            out << "message box " << ToUtf8(box.caption + L": " + box.text) << "\n";
        for (const auto& entry : services.EventLog()) {
            out << "event type " << entry.type;
            for (const auto& text : entry.strings)
                out << " " << ToUtf8(entry.source + L": " + text);
            out << "\n";
        }
        for (const auto& event : world.GetTracing().Events()) {
            if (event.level < TRACE_LEVEL_VERBOSE)
                out << "L" << int{event.level} << " " << ToUtf8(rig::WithoutLineNumbers(event.text))
                    << "\n";
        }
        out << "open: keys " << world.GetRegistry().OpenKeyCount() << ", service handles "
            << services.OpenHandleCount() << ", COM threads " << world.GetCom().InitializedThreads()
            << "\n";
        return out.str();
    }

    Services services{world.GetScheduler(), world.GetFaults(), world.GetKernel()};
    FakeController controller{world.GetKernel()};
    std::vector<ScHandle> held;
    std::unique_ptr<TestModule> module;
    platform::Thread main;
    int exitCode = -1;
    bool perUser = false;

private:
    std::mutex _notesLock;
    std::string _notes;
};

// The sections of the stories file: name, steps (with their comments), and the rest.
struct Section {
    std::string name, steps, expected;
};

std::vector<Section> Sections() {
    std::vector<Section> sections;
    std::ifstream in(kStories, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("== ", 0) == 0)
            sections.push_back({line.substr(3), "", ""});
        else if (!sections.empty() && sections.back().expected.empty() &&
                 (line.rfind("> ", 0) == 0 || line.rfind("# ", 0) == 0))
            sections.back().steps += line + "\n";
        else if (!sections.empty())
            sections.back().expected += line + "\n";
    }
    return sections;
}

class Stories : public testing::TestWithParam<std::string> {};

TEST_P(Stories, LeaveWhatTheirSectionSays) {
    std::vector<Section> sections = Sections();
    auto it = std::find_if(sections.begin(), sections.end(),
                           [](const Section& s) { return s.name == GetParam(); });
    ASSERT_NE(it, sections.end());
    Story story;
    if (it->steps.find("> no-resources\n") == std::string::npos) AddKelvoResources(story.services);
    story.services.SetModuleFileName(L"C:\\Program Files\\Kelvo\\Kelvo.exe");
    std::istringstream steps(it->steps);
    for (std::string line; std::getline(steps, line);) {
        if (line.rfind("> ", 0) == 0 && line != "> no-resources") story.Step(line.substr(2));
    }
    if (!rig::Regenerating()) {
        EXPECT_EQ(it->expected, story.Record())
            << "in " << kStories << "; ./run golden writes it anew if meant";
        return;
    }
    it->expected = story.Record();
    std::ofstream out(kStories, std::ios::binary);
    for (const Section& s : sections) out << "== " << s.name << "\n" << s.steps << s.expected;
}

std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const Section& s : Sections()) names.push_back(s.name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(Module, Stories, testing::ValuesIn(Names()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
