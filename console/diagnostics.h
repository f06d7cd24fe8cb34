// The two plain windows: the debug window, a text viewer for the logs the console reads, and the
// statistics window, which shows the packet filter's statistics of an address.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "console/form.h"

namespace zantor::console {

class TDebugForm : public TForm {
  public:
    explicit TDebugForm(TConsole& app) : TForm(app, "Debug") {}

    TMemo DebugMemo;
};

// The value fields of the statistics window, in the order of their captions (the top left
// one first, then the interface group's left and right columns, then the filter group's, and the
// two ends of each port range).
enum TStatisticField : int {
    kStatTopDriverContext,
    kStatDriverContext,
    kStatFlags,
    kStatInDrops,
    kStatOutDrops,
    kStatInAction,
    kStatOutAction,
    kStatNumInFilters,
    kStatNumOutFilters,
    kStatFrag,
    kStatSpoof,
    kStatReserved1,
    kStatReserved2,
    kStatSyn,
    kStatTotalLogged,
    kStatLostLogEntries,
    kStatPacketsFiltered,
    kStatFilterFlags,
    kStatRule,
    kStatAddressType,
    kStatProtocol,
    kStatLateBound,
    kStatSrcAddr,
    kStatSrcMask,
    kStatDestAddr,
    kStatDestMask,
    kStatSrcPortLow,
    kStatSrcPortHigh,
    kStatDestPortLow,
    kStatDestPortHigh,
    kStatFieldCount
};

// The statistics window: the selected address's interface record and one of its filters' record,
// read from the service and read again on every tick of its timer while it shows. "Init Filter"
// goes back to the address's first filter, "BitBtn1" on to the next one (input filters, then
// output filters, then the first again). Against a service that reports no statistics nothing is
// sent and the status bar says so.
class TTestForm : public TForm {
  public:
    explicit TTestForm(TConsole& app) : TForm(app, "TestForm") {}

    // The timer's interval, in milliseconds.
    static constexpr int kTimerInterval = 200;

    std::array<TEdit, kStatFieldCount> Values;
    TMemo Memo1;
    std::string StatusText;  // the status bar's one text

    void InitFilterBtnClick();
    void BitBtn1Click();
    void ExitBtnClick() { Close(TModalResult::kOk); }
    // The timer: reads what is shown again. Does nothing while the window does not show, or
    // once a read failed (the status bar says why).
    void Timer1Timer();

    // The address shown, empty when none; the filter shown: its list (0 input, 1 output) and
    // position, -1 when the address has no filter.
    const std::string& Address() const { return address_; }
    int FilterDirection() const { return direction_; }
    int FilterPosition() const { return position_; }

  protected:
    void FormShow() override;

  private:
    // Reads the interface record (and the filter's text when `readText`) and the shown filter's
    // count; false, with the status bar saying why, when something could not be read.
    bool Refresh(bool readText);
    void ShowFilterText(const std::string& text);
    void ClearValues(int from, int to);
    void Describe();

    std::string address_;
    int direction_ = 0;
    int position_ = -1;
    std::uint64_t filters_[2] = {0, 0};
    std::int64_t since_ = 0;
    bool live_ = false;  // the timer reads again
};

}  // namespace zantor::console
