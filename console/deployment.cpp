// The Computer menu's deployment: the service program copied into a computer's system directory
// through its administrative share, registered, started, stopped and removed again.
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "console/console.h"
#include "platform/files.h"
#include "shared/error_text.h"
#include "shared/service_tools.h"

namespace zantor::console {

namespace {

// The Windows error numbers that deployment tolerates.
constexpr platform::Win32Error kErrorServiceExists = 1073;
constexpr platform::Win32Error kErrorServiceNotActive = 1062;

constexpr int kDeleteAttempts = 20;
constexpr auto kDeleteRetryDelay = std::chrono::milliseconds(1000);

const std::string kService(kServiceName);

// The last error's number and text, read together before anything else can change them.
struct Failure {
    Failure() : code(platform::GetLastError()), text(LastErrorText()) {}
    platform::Win32Error code;
    std::string text;
};

}  // namespace

std::string LocalProgramFile() {
    return kService + std::string(platform::kProgramFileExtension);
}

std::string ServiceProgramSource(std::string_view consoleProgram) {
    namespace fs = std::filesystem;
    const std::string here = LocalProgramFile();
    std::error_code error;
    // Whatever the current directory holds under the name is taken, as the window has always
    // done, so that its copy error still names the file an administrator put there.
    if (fs::symlink_status(here, error).type() != fs::file_type::not_found) return here;
    // The package puts the console into <prefix>/bin and the service into <prefix>/sbin; the
    // way from one to the other comes from the install rules, so any prefix finds it.
    const fs::path installed =
        fs::path(consoleProgram).parent_path() / ZANTOR_SBINDIR_FROM_BINDIR / here;
    if (fs::is_regular_file(installed, error)) return installed.lexically_normal().string();
    return here;
}

std::string RemoteProgramFile(std::string_view computer) {
    return "\\\\" + std::string(computer) + "\\ADMIN$\\system32\\" + LocalProgramFile();
}

bool TConsole::InstallService(const std::string& computer) {
    const std::string local = ServiceProgramSource(platform::GetModuleFileNameA());
    // What is copied runs as root on the computer: a file that another user could have put there
    // or may still change is refused before anything is copied, with the reason.
    if (!platform::CheckProgramSource(local.c_str()) ||
        !platform::CopyFileA(local.c_str(), RemoteProgramFile(computer).c_str(), false)) {
        const Failure f;
        ShowError("Error " + std::to_string(f.code) + " (" + f.text + ") in while trying copy " +
                  kService + ".Exe into " + computer + ".");
        return false;
    }
    if (OrvCreateService(kServiceName, kServiceDisplayName, local, computer, false) != 0) {
        const Failure f;
        ShowError("Error [" + std::to_string(f.code) + " " + f.text +
                  "] while trying to install service " + kService + " on " + computer);
        // An existing service is no failure of the installation: it still gets started.
        if (f.code != kErrorServiceExists) return false;
    } else {
        ShowInfo("Service " + kService + " on " + computer + " installed successful.");
    }
    return StartService(computer);
}

namespace {

// Start At's and Stop At's one step, from the result of its call: "start"/"started" or
// "stop"/"stopped".
bool ReportControl(TConsole& app, int result, const char* verb, const char* done,
                   const std::string& computer) {
    if (result != 0) {
        const Failure f;
        app.ShowError("Error [" + f.text + "] while trying to " + verb + " service " + kService +
                      " on " + computer);
        return false;
    }
    app.ShowInfo("Service " + kService + " on " + computer + " " + done + " successful.");
    return true;
}

}  // namespace

bool TConsole::StartService(const std::string& computer) {
    return ReportControl(*this, StartThisService(kServiceName, computer, false), "start", "started",
                         computer);
}

bool TConsole::StopService(const std::string& computer) {
    return ReportControl(*this, StopThisService(kServiceName, computer, false), "stop", "stopped",
                         computer);
}

bool TConsole::RemoveService(const std::string& computer) {
    if (StopThisService(kServiceName, computer, false) != 0) {
        const Failure f;
        if (f.code != kErrorServiceNotActive) {
            ShowError("Error [" + std::to_string(f.code) + " " + f.text +
                      "] while trying to stop service " + kService + " on " + computer);
            return false;
        }
    } else {
        ShowInfo("Service " + kService + " on " + computer + " stopped successful.");
    }
    // A service that was just told to stop may still be running its program for a while.
    const std::string remote = RemoteProgramFile(computer);
    for (int attempt = 1;; ++attempt) {
        if (platform::DeleteFileA(remote.c_str())) break;
        const Failure f;
        if (attempt == kDeleteAttempts) {
            ShowError("Error " + std::to_string(f.code) + " (" + f.text + ") while trying delete " +
                      remote + ".");
            return false;
        }
        std::this_thread::sleep_for(kDeleteRetryDelay);
    }
    if (OrvDeleteService(kServiceName, computer, false) != 0) {
        const Failure f;
        ShowError("Error [" + f.text + "] while trying to delete service " + kService + " from " +
                  computer);
        return false;
    }
    ShowInfo("Service " + kService + " on " + computer + " deleted successful.");
    return true;
}

void TMainForm::OnChosenComputer(bool preset, const std::function<void(const std::string&)>& work) {
    const std::string saved = App.CurrentComputer;
    if (preset) App.SelectComputerForm.ComputerCB.Text = App.CurrentComputer;
    if (App.SelectComputerForm.ShowModal() != TModalResult::kOk) return;
    const std::string chosen = App.CurrentComputer;
    // The connection keeps its computer, whatever the work does.
    struct PutBack {
        TConsole& app;
        const std::string& saved;
        ~PutBack() { app.CurrentComputer = saved; }
    } putBack{App, saved};
    work(chosen);
}

void TMainForm::Installto1Click() {
    OnChosenComputer(false, [&](const std::string& c) { App.InstallService(c); });
}
void TMainForm::Removefrom1Click() {
    OnChosenComputer(false, [&](const std::string& c) { App.RemoveService(c); });
}
void TMainForm::Startat1Click() {
    OnChosenComputer(true, [&](const std::string& c) { App.StartService(c); });
}
void TMainForm::Stopat1Click() {
    OnChosenComputer(true, [&](const std::string& c) { App.StopService(c); });
}

}  // namespace zantor::console
