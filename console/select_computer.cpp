#include "console/select_computer.h"

#include <cctype>

#include "console/console.h"
#include "platform/registry.h"

namespace zantor::console {

namespace {

std::string UpperCase(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

// The remembered names' key, opened (and created when missing) for one load or save.
class ComputersKey {
  public:
    ComputersKey() {
        if (platform::RegCreateKeyExA(platform::HKEY_CURRENT_USER, kComputersKey, &key_) !=
            platform::kErrorSuccess)
            key_ = nullptr;
    }
    ~ComputersKey() {
        if (key_) platform::RegCloseKey(key_);
    }
    ComputersKey(const ComputersKey&) = delete;
    ComputersKey& operator=(const ComputersKey&) = delete;
    platform::HKEY get() const { return key_; }

  private:
    platform::HKEY key_ = nullptr;
};

std::string CompValue(std::size_t i) {
    return "Comp" + std::to_string(i);
}

}  // namespace

TSelectComputerForm::TSelectComputerForm(TConsole& app) : TForm(app, "Select Computer") {}

void TSelectComputerForm::LoadNames() {
    ComputersKey key;
    if (!key.get()) return;
    std::int32_t count = 0;
    if (platform::RegQueryDword(key.get(), "CompsCount", &count) != platform::kErrorSuccess) return;
    for (std::int32_t i = 0; i < count; ++i) {
        std::string name;
        const platform::Win32Error e =
            platform::RegQueryString(key.get(), CompValue(static_cast<std::size_t>(i)), &name);
        if (e != platform::kErrorSuccess && e != platform::kErrorFileNotFound) return;
        ComputerCB.Items.push_back(std::move(name));
    }
}

void TSelectComputerForm::OkBtnClick() {
    const std::string& typed = ComputerCB.Text;
    App.CurrentComputer = typed;
    if (!typed.empty()) {
        const std::string upper = UpperCase(typed);
        bool known = false;
        for (const std::string& item : ComputerCB.Items)
            if (UpperCase(item) == upper) {
                known = true;
                break;
            }
        if (!known) {
            ComputerCB.Items.push_back(typed);
            if (ComputerCB.Items.size() > kMaxRememberedComputers)
                ComputerCB.Items.erase(ComputerCB.Items.begin());
        }
    }
    Close(TModalResult::kOk);
}

void TSelectComputerForm::FormHide() {
    ComputersKey key;
    if (!key.get()) return;
    // One transaction: the stored list is the old one or the new one, never a mixture.
    platform::RegTransaction group(key.get());
    if (group.Begin_result() != platform::kErrorSuccess) return;
    const auto& items = ComputerCB.Items;
    if (platform::RegSetDword(key.get(), "CompsCount", static_cast<platform::DWORD>(items.size())))
        return;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (platform::RegSetString(key.get(), CompValue(i), items[i])) return;
    group.Commit();
}

}  // namespace zantor::console
