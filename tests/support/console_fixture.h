// A console of the logic half in front of the real ZantorSvc -run on a fresh computer.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "console/console.h"
#include "tests/support/console_support.h"
#include "tests/support/service_process.h"

namespace zantor::test {

class ConsoleWithService : public ::testing::Test {
  protected:
    Computer pc;
    ServiceProcess svc{pc};
    ScriptedPerson person;
    console::TConsole console{person};
    console::TMainForm& main = console.MainForm;

    // The first showing of the main window, once the service takes clients.
    void Start() {
        ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(pc.root() / "pipe"); }));
        main.FormShowFirst();
        Reconnect();
    }
    // Connects again while the service has no instance yet (it makes the next one about a
    // second after a connection ends), as a person would retry Connect To.
    void Reconnect() {
        ASSERT_TRUE(Eventually(
            [&] {
                if (console.PipeHandle) return true;
                main.IPListView.Clear();
                console.ConnectToComputer(console.CurrentComputer);
                return console.PipeHandle != nullptr;
            },
            std::chrono::seconds(15)));
    }
    // Selects the address row as a click on it does.
    void Select(const std::string& address) {
        main.IPListView.ItemIndex = -1;
        for (std::size_t i = 0; i < main.IPListView.Items.size(); ++i)
            if (main.IPListView.Items[i].Caption == address) main.IPListView.ItemIndex = int(i);
        ASSERT_GE(main.IPListView.ItemIndex, 0) << address;
        main.IPListViewClick();
    }
    // A row's texts, column by column.
    Cells Row(const std::string& address) {
        for (const auto& item : main.IPListView.Items)
            if (item.Caption == address) {
                Cells cells{item.Caption};
                cells.insert(cells.end(), item.SubItems.begin(), item.SubItems.end());
                return cells;
            }
        return {};
    }
    // The command lines the service received after the first `skip`.
    std::vector<std::string> SentSince(std::size_t skip) {
        auto all = svc.ReceivedCommands();
        return {all.begin() + static_cast<long>(std::min(skip, all.size())), all.end()};
    }
    std::size_t SentCount() { return svc.ReceivedCommands().size(); }
};

}  // namespace zantor::test
