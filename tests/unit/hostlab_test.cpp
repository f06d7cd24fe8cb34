// What booting real hosts rests on: control groups that hold every process started in them and go
// away whole, a thread's mounts that nothing else sees, overlay layers that hide the machine's
// files, programs run with a time limit and in a group, and namespaces reached by their handle
// after their name is gone. As root; otherwise they skip, saying why.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/process.h"
#include "tests/support/hostlab.h"
#include "tests/support/netlab.h"

namespace {

namespace fs = std::filesystem;
namespace lab = platform::lab;
using platform::kErrorSuccess;
using std::chrono::milliseconds;
using std::chrono::seconds;

class HostlabTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";
        if (!lab::CanMakeNamespaces(&why)) GTEST_SKIP() << why;
        dir_ = fs::temp_directory_path() / ("zlab-" + lab::OwnerTag() + "-" + Name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    static std::string Name() {
        return ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    // Runs `fn` on a thread of its own that first takes mounts of its own; false, with what
    // failed, when that could not be done.
    template <typename Fn>
    static std::string OnPrivateThread(Fn fn) {
        std::string why;
        std::thread t([&] {
            if (lab::EnterPrivateMounts(&why) == kErrorSuccess) fn();
        });
        t.join();
        return why;
    }
    fs::path dir_;
};

TEST_F(HostlabTest, AControlGroupHoldsWhatItsProgramsStartAndGoesWithThem) {
    std::unique_ptr<lab::ControlGroup> group;
    std::string why;
    const std::string path = "zlab-" + lab::OwnerTag() + "-group";
    ASSERT_EQ(lab::ControlGroup::Make(path + "/inner", &group, &why), kErrorSuccess) << why;
    const lab::ControlGroup top(path);
    EXPECT_EQ(lab::ControlGroup::Find("zlab-" + lab::OwnerTag() + "-gr"),
              std::vector<std::string>{path});

    // A shell that leaves a child of its own behind, as a daemon does.
    platform::ChildProcessOptions shell;
    shell.program = "/bin/sh";
    shell.arguments = {"-c", "sleep 60 & exec sleep 61"};
    std::uint32_t pid = 0;
    ASSERT_EQ(lab::StartInGroup(shell, *group, &pid), kErrorSuccess);
    const auto deadline = std::chrono::steady_clock::now() + seconds(5);
    while (top.Processes().size() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(top.Processes().size(), 2u);

    ASSERT_EQ(top.Remove(seconds(10), &why), kErrorSuccess) << why;
    int code = 0;
    EXPECT_EQ(platform::WaitForChildProcess(pid, seconds(5), &code), kErrorSuccess);
    EXPECT_EQ(code, 128 + 9);
    EXPECT_FALSE(top.Exists());
    EXPECT_FALSE(group->Exists());
    EXPECT_TRUE(top.Processes().empty());
}

TEST_F(HostlabTest, AThreadsMountsAreSeenNowhereElseAndGoWithIt) {
    std::uint64_t mounts = 0;
    bool written = false;
    const std::string failed = OnPrivateThread([&] {
        mounts = lab::CurrentMountNamespace();
        if (lab::MountTmpfs(dir_, "mode=0700") != kErrorSuccess) return;
        written = static_cast<bool>(std::ofstream(dir_ / "inside") << "x");
        // Alive while the thread is.
        EXPECT_TRUE(lab::NamespaceAlive("mnt", mounts));
    });
    ASSERT_EQ(failed, "");
    // Other tests may make namespaces meanwhile, and the kernel gives the next one this number.
    const auto ended = lab::ProcessClock();
    EXPECT_TRUE(written);
    EXPECT_NE(mounts, lab::CurrentMountNamespace());
    EXPECT_FALSE(fs::exists(dir_ / "inside"));
    std::ifstream mountinfo("/proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);)
        EXPECT_EQ(line.find(dir_.string()), std::string::npos) << line;
    EXPECT_FALSE(lab::NamespaceAlive("mnt", mounts, ended));
}

TEST_F(HostlabTest, OpaqueDirectoriesAndWhiteoutsHideWhatTheLowerLayerHas) {
    fs::create_directories(dir_ / "lower/secret");
    std::ofstream(dir_ / "lower/secret/key") << "private";
    std::ofstream(dir_ / "lower/gone") << "old";
    std::ofstream(dir_ / "lower/kept") << "kept";
    fs::create_directories(dir_ / "layers");
    fs::create_directories(dir_ / "merged");
    std::string result;
    const std::string failed = OnPrivateThread([&] {
        std::string why;
        // The upper layer must be on a file system that overlayfs writes to: a tmpfs, as a
        // host's is.
        const fs::path upper = dir_ / "layers/upper", work = dir_ / "layers/work";
        if (lab::MountTmpfs(dir_ / "layers", "mode=0755", &why) || !fs::create_directory(upper) ||
            !fs::create_directory(work) || lab::MakeOpaqueDirectory(upper / "secret", &why) ||
            lab::MakeWhiteout(upper / "gone", &why) ||
            lab::MountOverlay(dir_ / "lower", upper, work, dir_ / "merged", &why)) {
            result = "set-up: " + why;
            return;
        }
        const fs::path merged = dir_ / "merged";
        result =
            std::string(fs::is_directory(merged / "secret") ? "secret is there" : "no secret") +
            (fs::is_empty(merged / "secret") ? ", empty" : ", with files") +
            (fs::exists(merged / "gone") ? ", gone is there" : ", gone is gone") +
            (fs::exists(merged / "kept") ? ", kept" : ", lost");
        std::ofstream(merged / "new") << "written";
    });
    ASSERT_EQ(failed, "");
    EXPECT_EQ(result, "secret is there, empty, gone is gone, kept");
    // The lower layer is as it was.
    EXPECT_TRUE(fs::exists(dir_ / "lower/secret/key"));
    EXPECT_TRUE(fs::exists(dir_ / "lower/gone"));
    EXPECT_FALSE(fs::exists(dir_ / "lower/new"));
}

TEST_F(HostlabTest, ProgramsRunWithATimeLimitAndInAGroup) {
    int code = -1;
    std::string out;
    EXPECT_EQ(lab::RunProgramFor({"/bin/sh", "-c", "echo said; exit 3"}, seconds(10), &code, &out),
              kErrorSuccess);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(out, "said\n");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lab::RunProgramFor({"/bin/sleep", "30"}, milliseconds(300), &code, &out),
              platform::kErrorTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(10));

    std::unique_ptr<lab::ControlGroup> group;
    const std::string path = "zlab-" + lab::OwnerTag() + "-run";
    ASSERT_EQ(lab::ControlGroup::Make(path, &group), kErrorSuccess);
    EXPECT_EQ(lab::RunProgramFor({"/bin/cat", "/proc/self/cgroup"}, seconds(10), &code, &out,
                                 group->ProcsFiles()),
              kErrorSuccess);
    EXPECT_NE(out.find("/" + path + "\n"), std::string::npos) << out;
    EXPECT_EQ(group->Remove(seconds(5)), kErrorSuccess);
    // A group that is not there: the program never starts.
    EXPECT_NE(lab::RunProgramFor({"/bin/true"}, seconds(10), &code, &out, group->ProcsFiles()),
              kErrorSuccess);
}

TEST_F(HostlabTest, ANamespaceIsReachedThroughItsHandleAfterItsNameIsGone) {
    lab::Namespace a("hl"), b("hl");
    ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
    std::string why;
    ASSERT_EQ(lab::Link(a, "hla", b, "hlb", &why), kErrorSuccess) << why;
    const std::uint64_t inode = b.Inode();
    ASSERT_EQ(b.Unname(&why), kErrorSuccess) << why;
    std::string out;
    ASSERT_EQ(lab::RunProgram(b.WrapHeld({lab::IpProgram(), "-o", "link", "show"}), &out, &why),
              kErrorSuccess)
        << why;
    EXPECT_NE(out.find(" hlb@"), std::string::npos) << out;
    EXPECT_EQ(lab::RunProgram(b.WrapHeld({"/bin/readlink", "/proc/self/ns/net"}), &out),
              kErrorSuccess);
    EXPECT_EQ(out, "net:[" + std::to_string(inode) + "]\n");
    EXPECT_TRUE(lab::NamespaceAlive("net", inode));
}

}  // namespace
