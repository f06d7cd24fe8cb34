// The Computer menu's deployment on a simulated network: the console, connected to its own
// computer's service, installs, starts, stops and removes the service on PC1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/process.h"
#include "platform/scm.h"
#include "tests/support/console_support.h"
#include "tests/support/service_process.h"

using namespace zantor;
using namespace zantor::console;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

class Deployment : public ::testing::Test {
  protected:
    Deployment() {
        setenv("ZANTOR_NETWORK", network.path().c_str(), 1);
        // The console's current directory holds the program it deploys.
        fs::copy_file(ZANTORSVC_PATH, programs.path() / "ZantorSvc");
        fs::permissions(programs.path() / "ZantorSvc", fs::perms::owner_all);
        cwd = fs::current_path();
        fs::current_path(programs.path());
    }
    ~Deployment() override {
        // Whatever still runs on PC1 ends with the test.
        if (const std::uint32_t pid = RunningPid())
            platform::TerminateProcessById(pid, std::chrono::seconds(5));
        fs::current_path(cwd);
        unsetenv("ZANTOR_NETWORK");
    }
    void SetUp() override {
        ASSERT_TRUE(Eventually([&] { return fs::exists(local.root() / "pipe"); }));
        main.FormShowFirst();
        ASSERT_TRUE(Eventually([&] {
            if (!console.PipeHandle) console.ConnectToComputer(".");
            return console.PipeHandle != nullptr;
        }));
        pipe = console.PipeHandle.get();
    }

    // The next showing of the Select Computer dialog: it must hold `shown`, and is answered
    // with Ok on `name`.
    void Pick(const std::string& shown, const std::string& name) {
        person.Expect<TSelectComputerForm>(console.SelectComputerForm, [=](auto& f) {
            EXPECT_EQ(f.ComputerCB.Text, shown);
            f.ComputerCB.Text = name;
            f.OkBtnClick();
        });
    }
    // Messages since the last call, with "E " or "I " for their icons.
    Cells Messages() {
        Cells texts;
        for (; seen < person.messages().size(); ++seen) {
            const auto& m = person.messages()[seen];
            texts.push_back((m.icon == TMsgIcon::kError ? "E " : "I ") + m.text);
        }
        return texts;
    }
    // The console still works with its own computer, over the connection it had.
    void ExpectConnectionKept() {
        EXPECT_EQ(console.CurrentComputer, ".");
        EXPECT_EQ(console.PipeHandle.get(), pipe);
        std::string reply;
        EXPECT_TRUE(console.SendLine("rl", reply));
        EXPECT_EQ(reply, "0 ");
    }

    // The state of ZantorSvc on PC1, or 0 when it is not registered; its process id in `pid`.
    platform::DWORD State(std::uint32_t* pid = nullptr) {
        platform::SC_HANDLE m = platform::OpenSCManagerA("PC1", nullptr, 0xF003F);
        platform::SC_HANDLE s = m ? platform::OpenServiceA(m, "ZantorSvc", 0xF01FF) : nullptr;
        platform::SERVICE_STATUS_PROCESS st{};
        platform::DWORD needed = 0;
        if (s)
            platform::QueryServiceStatusEx(s, platform::SC_STATUS_PROCESS_INFO,
                                           reinterpret_cast<unsigned char*>(&st), sizeof st,
                                           &needed);
        if (s) platform::CloseServiceHandle(s);
        if (m) platform::CloseServiceHandle(m);
        if (pid) *pid = st.dwProcessId;
        return s ? st.dwCurrentState : 0;
    }
    std::uint32_t RunningPid() {
        std::uint32_t pid = 0;
        const platform::DWORD state = State(&pid);
        return state && state != platform::SERVICE_STOPPED ? pid : 0;
    }
    // Waits until the stopped service's process has ended, so its file may be replaced. The
    // first thread of a program may end before the others, which hold its file a moment longer:
    // the file is free once it opens for writing (opened, not changed).
    void WaitUntilEnded(std::uint32_t pid) {
        ASSERT_NE(pid, 0u);
        ASSERT_TRUE(Eventually([&] { return !platform::IsProcessRunning(pid); }));
        ASSERT_TRUE(Eventually([&] { return State() == platform::SERVICE_STOPPED; }));
        ASSERT_TRUE(Eventually([&] {
            return std::fstream(Installed(), std::ios::in | std::ios::out | std::ios::binary)
                .is_open();
        }));
    }
    // A client of PC1's service sees its greeting.
    void ExpectServing() {
        Client c("\\\\PC1\\Pipe\\qzw2kflt");
        ASSERT_TRUE(c.connected()) << c.openError();
        EXPECT_EQ(c.greeting(), (Cells{"IP 172.16.0.10 255.255.0.0 0 4 0 0 0 0 0",
                                       "IP End 0.9 confirm,lists,stats"}));
    }
    fs::path Installed() const { return pc1.system32() / "ZantorSvc"; }

    Computer local;
    ServiceProcess localService{local};
    TempDir network;
    Computer pc1{network.path() / "PC1", "172.16.0.10 255.255.0.0 4\n"};
    TempDir programs;
    fs::path cwd;
    ScriptedPerson person;
    TConsole console{person};
    TMainForm& main = console.MainForm;
    platform::Pipe* pipe = nullptr;
    std::size_t seen = 0;
};

TEST_F(Deployment, InstallToCopiesRegistersAndStartsAndAgainFindsTheServiceThere) {
    Pick("", "PC1");  // the first showing: nothing typed before
    main.Installto1Click();
    EXPECT_EQ(Messages(), (Cells{"I Service ZantorSvc on PC1 installed successful.",
                                 "I Service ZantorSvc on PC1 started successful."}));
    EXPECT_TRUE(fs::exists(Installed()));
    ExpectServing();
    ExpectConnectionKept();

    std::uint32_t pid = 0;
    ASSERT_NE(State(&pid), 0u);
    Pick(".", "PC1");  // preset with the current computer
    main.Stopat1Click();
    EXPECT_EQ(Messages(), Cells{"I Service ZantorSvc on PC1 stopped successful."});
    WaitUntilEnded(pid);

    // Installed already: the install's error, then the start goes on.
    Pick("PC1", "pc1");  // what the dialog last held
    main.Installto1Click();
    EXPECT_EQ(Messages(),
              (Cells{"E Error [1073 The service exists already.] while trying to install service "
                     "ZantorSvc on pc1",
                     "I Service ZantorSvc on pc1 started successful."}));
    ExpectServing();
    ExpectConnectionKept();
    EXPECT_EQ(console.SelectComputerForm.ComputerCB.Items, Cells{"PC1"});
}

TEST_F(Deployment, StartAtStopAtAndRemoveFromAStoppedService) {
    Pick("", "PC1");
    main.Installto1Click();
    ASSERT_EQ(Messages().size(), 2u);

    Pick(".", "PC1");
    main.Startat1Click();
    EXPECT_EQ(Messages(),
              Cells{"E Error [An instance of the service is running already.] while trying to "
                    "start service ZantorSvc on PC1"});
    std::uint32_t pid = 0;
    // A stop while the service still reports its start is refused (1061): wait for "running".
    ASSERT_TRUE(Eventually([&] { return State(&pid) == platform::SERVICE_RUNNING; }));
    Pick(".", "PC1");
    main.Stopat1Click();
    EXPECT_EQ(Messages(), Cells{"I Service ZantorSvc on PC1 stopped successful."});
    WaitUntilEnded(pid);
    Pick(".", "PC1");
    main.Stopat1Click();
    EXPECT_EQ(Messages(), Cells{"E Error [The service has not been started.] while trying to "
                                "stop service ZantorSvc on PC1"});
    Pick(".", "PC1");
    main.Startat1Click();
    EXPECT_EQ(Messages(), Cells{"I Service ZantorSvc on PC1 started successful."});
    ExpectServing();
    ASSERT_TRUE(Eventually([&] { return State(&pid) == platform::SERVICE_RUNNING; }));
    Pick(".", "PC1");
    main.Stopat1Click();
    WaitUntilEnded(pid);
    Messages();

    // Not running: no stop message, the file goes, then the service.
    Pick("PC1", "PC1");
    main.Removefrom1Click();
    EXPECT_EQ(Messages(), Cells{"I Service ZantorSvc on PC1 deleted successful."});
    EXPECT_FALSE(fs::exists(Installed()));
    EXPECT_EQ(State(), 0u);
    ExpectConnectionKept();
}

TEST_F(Deployment, RemoveFromAComputerWithoutTheServiceDeletesNothing) {
    std::ofstream(Installed()) << "not ours to delete";
    Pick("", "PC1");
    main.Removefrom1Click();
    EXPECT_EQ(Messages(), Cells{"E Error [1060 The named service is not installed.] while trying "
                                "to stop service ZantorSvc on PC1"});
    EXPECT_TRUE(fs::exists(Installed()));
    ExpectConnectionKept();
}

TEST_F(Deployment, InstallToWithoutTheProgramFileOnlyReportsTheCopy) {
    fs::remove(programs.path() / "ZantorSvc");
    Pick("", "PC1");
    main.Installto1Click();
    EXPECT_EQ(Messages(), Cells{"E Error 2 (The file was not found.) in while "
                                "trying copy ZantorSvc.Exe into PC1."});
    EXPECT_FALSE(fs::exists(Installed()));
    EXPECT_EQ(State(), 0u) << "nothing registered";

    // The program is missing before anything reaches NOWHERE (a host that ssh cannot find).
    Pick("PC1", "NOWHERE");
    main.Installto1Click();
    EXPECT_EQ(Messages(), Cells{"E Error 2 (The file was not found.) in while trying "
                                "copy ZantorSvc.Exe into NOWHERE."});
    ExpectConnectionKept();
}

// The program runs as root wherever it is installed: one that another user could have put into
// the current directory, or could still change, is refused with the reason, before anything
// reaches the computer.
TEST_F(Deployment, InstallToRefusesAProgramThatOthersCouldHavePlantedOrChanged) {
    const fs::path program = programs.path() / "ZantorSvc";
    fs::permissions(programs.path(), fs::perms::all);
    Pick("", "PC1");
    main.Installto1Click();
    EXPECT_EQ(Messages(), Cells{"E Error 5 (Access was denied. ZantorSvc is refused as the program "
                                "to install: the folder " +
                                programs.path().string() +
                                " may be written by others.) in while trying copy ZantorSvc.Exe "
                                "into PC1."});
    fs::permissions(programs.path(), fs::perms(0755));
    ASSERT_EQ(::chown(program.c_str(), 4321, 4321), 0);
    Pick("PC1", "PC1");
    main.Installto1Click();
    EXPECT_EQ(Messages(), Cells{"E Error 5 (Access was denied. ZantorSvc is refused as the program "
                                "to install: " +
                                program.string() +
                                " belongs to user 4321, neither to root nor to this user.) in "
                                "while trying copy ZantorSvc.Exe into PC1."});
    EXPECT_FALSE(fs::exists(Installed()));
    EXPECT_EQ(State(), 0u) << "nothing registered";
    ExpectConnectionKept();
}

TEST_F(Deployment, CancelInTheDialogDoesNothing) {
    console.SelectComputerForm.ComputerCB.Text = "typed before";
    auto cancel = [&](const std::string& shown) {
        person.Expect<TSelectComputerForm>(console.SelectComputerForm, [=](auto& f) {
            EXPECT_EQ(f.ComputerCB.Text, shown);
            f.ComputerCB.Text = "PC1";
            f.CancelBtnClick();
        });
    };
    cancel("typed before");
    main.Installto1Click();
    cancel("PC1");
    main.Removefrom1Click();
    cancel(".");
    main.Startat1Click();
    cancel(".");
    main.Stopat1Click();
    EXPECT_TRUE(person.AllStepsTaken());
    EXPECT_EQ(Messages(), Cells{});
    EXPECT_FALSE(fs::exists(Installed()));
    EXPECT_EQ(State(), 0u);
    EXPECT_TRUE(console.SelectComputerForm.ComputerCB.Items.empty());
    ExpectConnectionKept();
}

// Which file Install To copies, for a console installed as the package installs it: <prefix>/bin
// beside <prefix>/sbin/ZantorSvc.
class ProgramSource : public ::testing::Test {
  protected:
    ProgramSource() {
        fs::create_directories(prefix.path() / "usr/bin");
        fs::create_directories(prefix.path() / "usr/sbin");
        fs::create_directories(prefix.path() / "work");
        cwd = fs::current_path();
        fs::current_path(prefix.path() / "work");
    }
    ~ProgramSource() override { fs::current_path(cwd); }

    std::string Source() const {
        return ServiceProgramSource((prefix.path() / "usr/bin/ZantorManager").string());
    }
    fs::path Packaged() const { return prefix.path() / "usr/sbin/ZantorSvc"; }

    TempDir prefix;
    fs::path cwd;
};

TEST_F(ProgramSource, TheCurrentDirectoryComesFirstAndThenTheInstalledProgram) {
    // Nothing anywhere: the bare name, so that the copy fails as the window documents.
    EXPECT_EQ(Source(), "ZantorSvc");

    std::ofstream(Packaged()) << "packaged";
    EXPECT_EQ(Source(), Packaged().string()) << "a path without .. in it, as messages show it";

    std::ofstream("ZantorSvc") << "built here";
    EXPECT_EQ(Source(), "ZantorSvc");

    // Anything of that name in the current directory is taken and fails the copy there, rather
    // than quietly deploying another program than the one the administrator put there.
    fs::remove("ZantorSvc");
    fs::create_directory("ZantorSvc");
    EXPECT_EQ(Source(), "ZantorSvc");
    fs::remove("ZantorSvc");
    fs::create_symlink("nowhere", "ZantorSvc");
    EXPECT_EQ(Source(), "ZantorSvc");
}

TEST_F(ProgramSource, OnlyAFileBesideAnInstalledConsoleCounts) {
    fs::create_directory(Packaged());
    EXPECT_EQ(Source(), "ZantorSvc") << "a directory is no program";
    fs::remove(Packaged());

    // A console elsewhere (a build tree) does not reach a package's program.
    std::ofstream(Packaged()) << "packaged";
    EXPECT_EQ(ServiceProgramSource((prefix.path() / "build/console/qt/ZantorManager").string()),
              "ZantorSvc");
}

}  // namespace
