// From ConnectToComputer to a filled address list of 256 addresses, against the bare greeting
// read of the same lines over the same pipe, side by side in one run; and the same with the
// main window showing the list (offscreen).
//
// The lines are those the real service greets with on a computer of 256 addresses, half of
// them filtering. They are then served by a pipe instance in this process that is made again
// at once after each connection: the service itself waits a second between connections, which
// would measure its pause rather than the console.
#include <QApplication>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "bench/ratio_reporter.h"
#include "console/console.h"
#include "console/qt/console_views.h"
#include "console/qt/qt_setup.h"
#include "shared/pipe_lines.h"
#include "shared/text.h"
#include "tests/support/console_support.h"
#include "tests/support/service_process.h"

namespace {

using namespace zantor;
using namespace zantor::test;

constexpr int kAddresses = 256;

// The real service's greeting for 256 addresses, every other one filtering with global filters.
std::vector<std::string> RealGreeting() {
    std::ostringstream table;
    for (int i = 0; i < kAddresses; ++i)
        table << "10.7." << i << ".1 255.255.255.0 " << i + 2 << "\n";
    Computer pc(table.str());
    ServiceProcess svc(pc);
    {
        Client setup;
        for (int i = 0; i < kAddresses; i += 2) {
            const std::string addr = "10.7." + std::to_string(i) + ".1";
            setup.Command("staf " + addr + " 1 0");
            setup.Command("sig " + addr + " 2");
        }
    }
    Client reader;
    return reader.greeting();
}

// Serves `greeting` to one client after another until destroyed; Ready() waits until the next
// instance exists.
class GreetingServer {
  public:
    explicit GreetingServer(std::vector<std::string> lines) {
        for (const auto& line : lines) text_ += line + "\r\n";
        thread_ = std::thread([this] { Serve(); });
        Ready(0);
    }
    ~GreetingServer() {
        stop_ = true;
        {
            std::lock_guard lock(mutex_);
            if (current_) current_->Cancel();
        }
        thread_.join();
    }
    // Waits until more than `served` instances have been made; returns how many.
    int Ready(int served) {
        std::unique_lock lock(mutex_);
        made_changed_.wait(lock, [&] { return made_ > served; });
        return made_;
    }
    int made() {
        std::lock_guard lock(mutex_);
        return made_;
    }

  private:
    void Serve() {
        while (!stop_) {
            std::unique_ptr<platform::PipeServer> pipe;
            if (platform::CreateNamedPipeA("\\\\.\\Pipe\\qzw2kflt", &pipe)) continue;
            {
                std::lock_guard lock(mutex_);
                current_ = pipe.get();
                ++made_;
            }
            made_changed_.notify_all();
            if (!stop_ && pipe->ConnectNamedPipe() == platform::kErrorSuccess &&
                pipe->Write(text_.data(), text_.size()) == platform::kErrorSuccess) {
                char sink[64];
                std::size_t n = 0;
                while (pipe->Read(sink, sizeof sink, &n) == platform::kErrorSuccess) {
                }
            }
            std::lock_guard lock(mutex_);
            current_ = nullptr;
        }
    }

    std::string text_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable made_changed_;
    platform::PipeServer* current_ = nullptr;
    int made_ = 0;
    std::thread thread_;
};

struct Fixture {
    Fixture() : greeting(RealGreeting()), server(greeting) {}
    TempRoot root;  // the served computer; the capture used a computer of its own
    std::vector<std::string> greeting;
    GreetingServer server;
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

// Runs one connection per iteration; the wait for the next instance is not timed.
template <class Connect>
void PerConnection(benchmark::State& state, Connect connect) {
    Fixture& f = Shared();
    if (f.greeting.size() != kAddresses + 1) {
        state.SkipWithError("the service did not greet with every address");
        return;
    }
    int served = f.server.made();
    for (auto _ : state) {
        if (!connect()) {
            state.SkipWithError("the connection failed");
            return;
        }
        state.PauseTiming();
        served = f.server.Ready(served);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kAddresses);
}

void BM_BareGreetingRead(benchmark::State& state) {
    PerConnection(state, [] {
        std::unique_ptr<platform::Pipe> pipe;
        if (platform::OpenPipe("\\\\.\\Pipe\\qzw2kflt", &pipe)) return false;
        std::string carry, line;
        int lines = 0;
        do {
            ReadLnPipe(*pipe, kCrLf, carry, line);
            ++lines;
        } while (line != kEndOfConnection && GetWord(line, 2) != "End");
        benchmark::DoNotOptimize(lines);
        return line != kEndOfConnection;
    });
}
BENCHMARK(BM_BareGreetingRead)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_ConnectToFilledList(benchmark::State& state) {
    ScriptedPerson person;
    console::TConsole console(person);
    PerConnection(state, [&] {
        console.MainForm.IPListView.Clear();
        console.ConnectToComputer(".");
        const bool filled = console.MainForm.IPListView.Items.size() == kAddresses;
        console.PipeHandle.reset();
        return filled;
    });
}
BENCHMARK(BM_ConnectToFilledList)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// The list as the window shows it, every row rebuilt each time.
void BM_ConnectToFilledWindow(benchmark::State& state) {
    console::qt::ConsoleViews views;
    console::TConsole& console = views.console();
    PerConnection(state, [&] {
        console.MainForm.IPListView.Clear();
        views.RefreshAll();
        console.ConnectToComputer(".");
        views.RefreshAll();
        const bool filled = console.MainForm.IPListView.Items.size() == kAddresses;
        console.PipeHandle.reset();
        return filled;
    });
}
BENCHMARK(BM_ConnectToFilledWindow)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    console::qt::QuietenToolkit();
    QApplication app(argc, argv);
    console::qt::SetUpApplication(app);
    const std::string suffix = "/min_time:2.000/real_time";
    return bench::RunWithRatios(
        argc, argv,
        {{"BM_ConnectToFilledList" + suffix, "BM_BareGreetingRead" + suffix},
         {"BM_ConnectToFilledWindow" + suffix, "BM_BareGreetingRead" + suffix}});
}
