// The words for what stopped the service, in the cases a test run cannot bring about at will:
// senders that are gone, events without a sender, and the events another platform reports.
#include <gtest/gtest.h>

#include "service/stop_reason.h"

using namespace zantor::service;
using platform::ConsoleCtrlOrigin;
using platform::SenderProcess;

TEST(StopReason, NamesWhatTheSystemToldAndSaysWhatItDidNot) {
    const SenderProcess running{4242, "kill -TERM 17", false};
    const SenderProcess unreaped{4242, "kill", true};
    const SenderProcess gone{4242, "", true};
    const SenderProcess nobody{};

    EXPECT_EQ(ConsoleCtrlText({platform::CTRL_SHUTDOWN_EVENT, "SIGTERM", false, running}),
              "SIGTERM from process 4242 (kill -TERM 17)");
    EXPECT_EQ(ConsoleCtrlText({platform::CTRL_SHUTDOWN_EVENT, "SIGTERM", false, unreaped}),
              "SIGTERM from process 4242 (kill), which has ended since");
    EXPECT_EQ(ConsoleCtrlText({platform::CTRL_C_EVENT, "SIGINT", false, gone}),
              "SIGINT from process 4242, which had ended before it could be named");
    // Never "process 0": the terminal, or a sender the system does not name.
    EXPECT_EQ(ConsoleCtrlText({platform::CTRL_C_EVENT, "SIGINT", true, nobody}),
              "Ctrl-C at the terminal");
    EXPECT_EQ(ConsoleCtrlText({platform::CTRL_SHUTDOWN_EVENT, "SIGTERM", false, nobody}),
              "SIGTERM (the system names no sender)");
    // What a console reports elsewhere: the event's own name.
    EXPECT_EQ(ConsoleCtrlText({1, "CTRL_BREAK_EVENT", true, nobody}),
              "CTRL_BREAK_EVENT at the terminal");
    EXPECT_EQ(ConsoleCtrlText({6, "CTRL_SHUTDOWN_EVENT", false, nobody}),
              "CTRL_SHUTDOWN_EVENT (the system names no sender)");

    EXPECT_EQ(StopControlText(running), "the stop control from process 4242 (kill -TERM 17)");
    EXPECT_EQ(StopControlText(gone),
              "the stop control from process 4242, which had ended before it could be named");
    EXPECT_EQ(StopControlText(nobody),
              "the stop control (the service control manager names no sender)");
}
