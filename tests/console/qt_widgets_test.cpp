// The real widgets, offscreen, driven by object name against the real service: a few flows
// that act inside modal dialogs, and a screenshot of every window in a realistic state.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWheelEvent>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "console/qt/console_views.h"
#include "console/qt/log_view.h"
#include "console/qt/main_window.h"
#include "console/qt/qt_setup.h"
#include "platform/pf.h"
#include "platform/registry.h"
#include "shared/packet_builder.h"
#include "shared/text.h"
#include "tests/support/service_process.h"

using namespace zantor;
using namespace zantor::test;
namespace fs = std::filesystem;

namespace {

// Runs `act` on the modal window called `name` as soon as it shows, from inside its event loop.
void WhenModal(const QString& name, std::function<void(QWidget*)> act, int triesLeft = 250) {
    QTimer::singleShot(triesLeft == 250 ? 0 : 20, [=] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->objectName() == name) {
            act(modal);
        } else if (triesLeft > 0) {
            WhenModal(name, act, triesLeft - 1);
        } else {
            ADD_FAILURE() << "no modal window " << name.toStdString() << " showed";
            if (modal) modal->close();
        }
    });
}

template <class W>
W* Find(QWidget* in, const char* name) {
    W* w = in->findChild<W*>(name);
    EXPECT_TRUE(w) << name;
    return w;
}

// A click on a check box or radio button lands on its indicator, wherever the layout
// stretched it to.
void ClickBox(QAbstractButton* box) {
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(6, box->height() / 2));
}

void Type(QLineEdit* edit, const QString& text) {
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

// The memory the process holds, in bytes.
std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Whether anything but the background (the colour of its top left pixel) is drawn in `rect`.
bool HasInk(const QImage& picture, const QRect& rect) {
    const QRect area = rect.intersected(picture.rect());
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (picture.pixel(x, y) != picture.pixel(area.topLeft())) return true;
    return false;
}

std::string Clipboard() {
    return QGuiApplication::clipboard()->text().toStdString();
}

class Widgets : public ::testing::Test {
  protected:
    Computer pc;
    ServiceProcess svc{pc};
    std::unique_ptr<console::qt::ConsoleViews> views;

    console::TConsole& console() { return views->console(); }
    QWidget& window() { return views->mainWindow(); }
    QTreeWidget* List() { return Find<QTreeWidget>(&window(), "IPListView"); }
    QString Status() { return Find<QLabel>(&window(), "StatusPanel1")->text(); }
    QAction* Item(const char* name) { return Find<QAction>(&window(), name); }

    // The window as the program shows it, connected once the service takes clients.
    void Show() {
        ASSERT_TRUE(Eventually([&] { return fs::exists(pc.root() / "pipe"); }));
        views = std::make_unique<console::qt::ConsoleViews>();
        window().show();
        ASSERT_TRUE(Eventually([&] {
            QApplication::processEvents();
            if (!console().PipeHandle && !console().MainForm.StatusPanel1.empty()) {
                console().MainForm.IPListView.Clear();
                console().ConnectToComputer(".");
                views->RefreshAll();
            }
            return console().PipeHandle != nullptr;
        }));
    }
    // Connect To through the Select Computer dialog. The old connection's end leaves the service
    // a second without a pipe: retry as a person would.
    void ConnectTo(const QString& computer) {
        QPushButton* connect = Find<QPushButton>(&window(), "SpeedButton1");
        ASSERT_TRUE(Eventually([&] {
            WhenModal("SelectComputerForm", [=](QWidget* m) {
                auto* name = Find<QComboBox>(m, "ComputerCB");
                Type(name->lineEdit(), computer);
                QTest::mouseClick(Find<QPushButton>(m, "OkBtn"), Qt::LeftButton);
            });
            QTest::mouseClick(connect, Qt::LeftButton);
            return Status() == "Connected to " + computer + " Service v0.9";
        }));
    }
    void ClickRow(int row) {
        QTreeWidget* list = List();
        const QRect rect = list->visualItemRect(list->topLevelItem(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
    }
    QString Cell(int row, int column) { return List()->topLevelItem(row)->text(column); }
};

TEST_F(Widgets, ConnectToThroughTheSelectComputerDialog) {
    Show();
    EXPECT_EQ(List()->topLevelItemCount(), 3);
    EXPECT_EQ(Status(), "Connected to . Service v0.9");
    ConnectTo("localhost");
    EXPECT_EQ(List()->topLevelItemCount(), 3);
    EXPECT_EQ(console().CurrentComputer, "localhost");
    EXPECT_EQ(console().SelectComputerForm.ComputerCB.Items, std::vector<std::string>{"localhost"});
}

TEST_F(Widgets, EnableInsideTheModalDialogAndItsChoiceKept) {
    Show();
    ClickRow(0);
    EXPECT_TRUE(Item("EnableF")->isEnabled());
    EXPECT_FALSE(Item("DisableF")->isEnabled());
    QString caption;
    WhenModal("EnableFilteringForm", [&](QWidget* m) {
        caption = m->windowTitle();
        ClickBox(Find<QRadioButton>(m, "InDropRadioButton"));
        QTest::mouseClick(Find<QPushButton>(m, "SpeedButton1"), Qt::LeftButton);
    });
    Item("EnableF")->trigger();
    EXPECT_EQ(caption, "Enable Filtering on 10.0.0.5");
    EXPECT_EQ(Cell(0, 2), "On");
    EXPECT_EQ(Cell(0, 6), "Drop");
    EXPECT_EQ(Cell(0, 7), "Forward");
    EXPECT_FALSE(Item("EnableF")->isEnabled());
    EXPECT_TRUE(Item("ConfigureF")->isEnabled());

    ClickRow(1);
    bool dropKept = false;
    WhenModal("EnableFilteringForm", [&](QWidget* m) {
        dropKept = Find<QRadioButton>(m, "InDropRadioButton")->isChecked();
        QTest::keyClick(m, Qt::Key_Escape);
    });
    Item("EnableFiltering")->trigger();  // the pop-up menu's item
    EXPECT_TRUE(dropKept);
    EXPECT_EQ(Cell(1, 2), "Off");
    EXPECT_EQ(svc.ReceivedCommands(), std::vector<std::string>{"staf 10.0.0.5 1 0"});
}

// The items of the selected row follow every click in the list, as its logic decides them. After
// Connect To the list is refilled with no row selected while the items stay as they were; a
// click on an empty area then selects nothing new, and must still disable them.
TEST_F(Widgets, EveryClickInTheAddressListSetsTheItemsOfTheSelectedRow) {
    {
        Client c;
        ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
    }
    Show();
    const char* const kOnItems[] = {"DisableFiltering", "DisableF", "EditFiltersList", "ConfigureF",
                                    "SaveF"};
    const char* const kOffItems[] = {"EnableFiltering", "EnableF"};
    ClickRow(0);
    for (const char* name : kOnItems) EXPECT_TRUE(Item(name)->isEnabled()) << name;

    ConnectTo("localhost");
    ASSERT_EQ(List()->topLevelItemCount(), 3);
    ASSERT_TRUE(List()->selectedItems().isEmpty());
    const QRect rows = List()->visualItemRect(List()->topLevelItem(2));
    const QPoint empty(rows.center().x(), List()->viewport()->height() - 5);
    ASSERT_GT(empty.y(), rows.bottom()) << "the list has room below its rows";
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::NoModifier, empty);
    for (const char* name : kOnItems) EXPECT_FALSE(Item(name)->isEnabled()) << name;
    for (const char* name : kOffItems) EXPECT_FALSE(Item(name)->isEnabled()) << name;

    // The keyboard selects as well: the first row, filtering on, then the second, off.
    List()->setFocus();
    QTest::keyClick(List(), Qt::Key_Down);
    ASSERT_EQ(console().MainForm.IPListView.ItemIndex, 0);
    for (const char* name : kOnItems) EXPECT_TRUE(Item(name)->isEnabled()) << name;
    QTest::keyClick(List(), Qt::Key_Down);
    EXPECT_EQ(console().MainForm.IPListView.ItemIndex, 1);
    for (const char* name : kOffItems) EXPECT_TRUE(Item(name)->isEnabled()) << name;
    for (const char* name : kOnItems) EXPECT_FALSE(Item(name)->isEnabled()) << name;
}

// Save Configuration merges into the file it is given: the file dialog takes an existing file
// without asking whether to replace it, and the file keeps what the save does not write.
TEST_F(Widgets, SavingIntoAnExistingFileAsksNoQuestion) {
    {
        Client c;
        ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
    }
    const fs::path file = pc.root() / "lab.ini";
    std::ofstream(file) << "; kept by hand\n[SYSTEM]\nAddrCount=0\n[NOTES]\nOwner=lab\n";
    Show();
    ClickRow(0);
    QString question;
    WhenModal("QFileDialog", [&](QWidget* m) {
        // Whatever modal window shows after the choice: the question, which it answers yes.
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                question = box->text();
                if (QAbstractButton* yes = box->button(QMessageBox::Yes))
                    yes->click();
                else
                    box->close();
            }
        });
        // Set rather than typed: the completer's pop-up would take the keys.
        auto* name = Find<QLineEdit>(m, "fileNameEdit");
        name->setText(QString::fromStdString(file.string()));
        QTest::keyClick(name, Qt::Key_Return);
    });
    Item("SaveF")->trigger();
    EXPECT_EQ(question.toStdString(), "");
    EXPECT_EQ(console().MainForm.SaveDialog1.FileName, file.string());
    std::ifstream in(file);
    const std::string saved{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(saved.find("; kept by hand"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Owner=lab"), std::string::npos) << saved;
    EXPECT_NE(saved.find("AddrCount=3"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Address=10.0.0.5"), std::string::npos) << saved;
}

TEST_F(Widgets, AddAFilterThroughThreeModalDialogs) {
    {
        Client c;
        ASSERT_EQ(c.Command("staf 10.0.0.5 1 0"), "0");
    }
    Show();
    ClickRow(0);
    QString message;
    int rows = -1;
    QStringList row;
    WhenModal("IntMTForm", [&](QWidget* properties) {
        WhenModal("FilterListForm", [&](QWidget* list) {
            WhenModal("EditFilterForm", [&](QWidget* e) {
                ClickBox(Find<QCheckBox>(e, "SourceCheckBox"));
                Type(Find<QLineEdit>(e, "FromIPMaskEdit"), "10.0.0.0");
                Type(Find<QLineEdit>(e, "FromSMaskMaskEdit"), "255.0.0.0");
                ClickBox(Find<QRadioButton>(e, "TCPRB"));
                ClickBox(Find<QCheckBox>(e, "NoSYNCheckBox"));
                Type(Find<QLineEdit>(e, "ToEdit"), "80");
                Type(Find<QLineEdit>(e, "ToHighEdit"), "800000");  // one digit too many
                WhenModal("MessageBox", [&](QWidget* box) {
                    message = static_cast<QMessageBox*>(box)->text();
                    QTest::keyClick(box, Qt::Key_Return);
                });
                QTest::mouseClick(Find<QPushButton>(e, "OkBtn"), Qt::LeftButton);
                // Still open, with its values: mend the port and try again.
                EXPECT_EQ(Find<QLineEdit>(e, "FromIPMaskEdit")->text(), "10.0.0.0");
                Type(Find<QLineEdit>(e, "ToHighEdit"), "80");
                QTest::mouseClick(Find<QPushButton>(e, "OkBtn"), Qt::LeftButton);
            });
            QTest::mouseClick(Find<QPushButton>(list, "SpeedButton1"), Qt::LeftButton);
            auto* filters = Find<QTreeWidget>(list, "FilterListView");
            rows = filters->topLevelItemCount();
            if (rows > 0)
                for (int c = 0; c < filters->columnCount(); ++c)
                    row << filters->topLevelItem(0)->text(c);
            QTest::mouseClick(Find<QPushButton>(list, "SpeedButton2"), Qt::LeftButton);
        });
        QTest::mouseClick(Find<QPushButton>(properties, "InFiltersBtn"), Qt::LeftButton);
        QTest::mouseClick(Find<QPushButton>(properties, "SpeedButton4"), Qt::LeftButton);
    });
    QTest::mouseDClick(List()->viewport(), Qt::LeftButton, Qt::NoModifier,
                       List()->visualItemRect(List()->topLevelItem(0)).center());
    EXPECT_EQ(message,
              "Destination high port 800000 is out of range: it must be from 0 to 65535. Nothing "
              "was sent.");
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(row.join(","), "TCP,10.0.0.0,255.0.0.0,0.0.0.0,0.0.0.0,No SYN,0,0,80,80");
    EXPECT_EQ(Cell(0, 4), "1");
    EXPECT_EQ(svc.ReceivedCommands(),
              (std::vector<std::string>{
                  "staf 10.0.0.5 1 0",
                  "sif 10.0.0.5 in 1 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 0 80 0 80"}));
}

// A log of twenty million line ends between a few lines of text, as a deny log under a flood
// becomes: the debug window shows it at once and costs nothing per line, and every line can be
// scrolled to, is drawn there, and can be selected and copied.
TEST_F(Widgets, TheDebugWindowShowsScrollsAndCopiesALogOfTwentyMillionLines) {
    constexpr std::size_t kEmpty = 20'000'000;
    const std::string box = "\u2500\u2500 box " + std::string(300, 'x');
    std::string text = "first line: caf\x82\r\n";
    text.append(kEmpty, '\n');
    text += "\xC4\xC4 box " + std::string(300, 'x') + "\nthe last line\n";
    const std::size_t count = kEmpty + 3, last = count - 1;
    std::string whole =
        "first line: caf\u00e9" + std::string(kEmpty + 1, '\n') + box + "\nthe last line";

    views = std::make_unique<console::qt::ConsoleViews>();
    console::TDebugForm& debug = console().DebugForm;
    debug.Caption = "IP Packets Deny Log At .";
    debug.DebugMemo.Lines = console::TTextLines::FromText(std::move(text));
    ASSERT_EQ(debug.DebugMemo.Lines.size(), count);
    const std::size_t before = ResidentBytes();
    bool shown = false;
    WhenModal("DebugForm", [&](QWidget* d) {
        shown = true;
        EXPECT_LT(std::max(ResidentBytes(), before) - before, debug.DebugMemo.Lines.TextSize())
            << "the window costs less than the log it shows";
        EXPECT_EQ(d->windowTitle(), "IP Packets Deny Log At .");
        auto* log = Find<console::qt::LogView>(d, "DebugMemo");
        QScrollBar* vertical = log->verticalScrollBar();
        const std::size_t page = log->PageLines();
        EXPECT_GT(page, 10u);
        EXPECT_EQ(log->FirstVisibleLine(), 0u);
        EXPECT_EQ(static_cast<std::size_t>(vertical->maximum()) + page, count)
            << "the scroll bar counts lines";

        QTest::keyClick(log, Qt::Key_PageDown);
        EXPECT_EQ(log->FirstVisibleLine(), page);
        QTest::keyClick(log, Qt::Key_Down);
        QTest::keyClick(log, Qt::Key_Down);
        QTest::keyClick(log, Qt::Key_Up);
        EXPECT_EQ(log->FirstVisibleLine(), page + 1);
        const QPointF at(10, 10);
        QWheelEvent wheel(at, log->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(log->viewport(), &wheel);
        EXPECT_EQ(log->FirstVisibleLine(),
                  page + 1 + static_cast<std::size_t>(QApplication::wheelScrollLines()));

        QTest::keyClick(log, Qt::Key_End, Qt::ControlModifier);
        EXPECT_EQ(log->FirstVisibleLine() + page, count);
        const QRect lastRect = log->LineRect(last);
        ASSERT_FALSE(lastRect.isEmpty());
        EXPECT_EQ(log->LineAt(lastRect.center()), last);
        EXPECT_EQ(log->LineAt(log->LineRect(last - 3).center()), last - 3);
        const QImage picture = log->viewport()->grab().toImage();
        EXPECT_TRUE(HasInk(picture, lastRect)) << "the last line is drawn";
        EXPECT_TRUE(HasInk(picture, log->LineRect(last - 1)));
        EXPECT_FALSE(HasInk(picture, log->LineRect(last - 3))) << "an empty line is";

        // End and Home go along the lines, as far as the longest one.
        QScrollBar* horizontal = log->horizontalScrollBar();
        EXPECT_GT(horizontal->maximum(), 0);
        QTest::keyClick(log, Qt::Key_End);
        EXPECT_EQ(horizontal->value(), horizontal->maximum());
        QTest::keyClick(log, Qt::Key_Home);
        EXPECT_EQ(horizontal->value(), 0);

        // A click and a shift-click select the lines between, Ctrl+C copies them as UTF-8.
        QTest::mouseClick(log->viewport(), Qt::LeftButton, {}, log->LineRect(last - 1).center());
        QTest::mouseClick(log->viewport(), Qt::LeftButton, Qt::ShiftModifier, lastRect.center());
        QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(Clipboard(), box + "\nthe last line");

        // A drag past the top edge scrolls up and takes the lines it reaches.
        const std::size_t top = log->FirstVisibleLine();
        QTest::mousePress(log->viewport(), Qt::LeftButton, {}, lastRect.center());
        QTest::mouseMove(log->viewport(), QPoint(lastRect.center().x(), -1));
        QTest::mouseRelease(log->viewport(), Qt::LeftButton, {}, QPoint(10, -1));
        EXPECT_EQ(log->FirstVisibleLine(), top - 1);
        ASSERT_TRUE(log->Selected());
        EXPECT_EQ(log->Selected()->first, top - 1);
        EXPECT_EQ(log->Selected()->last, last);

        QTest::keyClick(log, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
        const std::string copied = Clipboard();
        EXPECT_EQ(copied.size(), whole.size());
        EXPECT_TRUE(copied == whole) << "every line, joined by line feeds";

        // A copy stops at its limit, between two letters, and says so.
        log->SetCopyLimit(16);
        QString notice;
        WhenModal("MessageBox", [&](QWidget* m) {
            notice = static_cast<QMessageBox*>(m)->text();
            QTest::keyClick(m, Qt::Key_Return);
        });
        QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(Clipboard(), "first line: caf") << "no half of the \u00e9";
        EXPECT_EQ(notice.toStdString(),
                  "Only the first 16 bytes of the selection were copied (0 of its 20000003 lines "
                  "in full): one copy takes no more.");

        QTest::keyClick(log, Qt::Key_Home, Qt::ControlModifier);
        EXPECT_EQ(log->FirstVisibleLine(), 0u);
        QTest::keyClick(log, Qt::Key_Escape);
    });
    debug.ShowModal();
    EXPECT_TRUE(shown);
}

// Every window, filled as an administrator would meet it, written into the build tree.
TEST_F(Widgets, ScreenshotsOfEveryWindow) {
    const fs::path dir = ZANTOR_SCREENSHOT_DIR;
    fs::create_directories(dir);
    {
        Client c;
        for (const char* line :
             {"staf 10.0.0.5 1 0",
              "sif 10.0.0.5 in 1 0 0 10.0.0.0 255.0.0.0 0.0.0.0 0.0.0.0 6 0 0 80 0 80",
              "sif 10.0.0.5 in 0 0 0 192.168.1.0 255.255.255.0 0.0.0.0 0.0.0.0 17 0 0 53 0 53",
              "sif 10.0.0.5 in 0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 1 0 8 0 8 0",
              "sig 10.0.0.5 2", "staf 192.168.1.20 0 1", "sig 192.168.1.20 2", "sig 192.168.1.20 8",
              "sif 192.168.1.20 out 0 0 0 0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 6 "
              "0 0 25 0 25"})
            ASSERT_EQ(GetWord(c.Command(line), 1), "0") << line;
    }
    platform::HKEY key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyExA(platform::HKEY_CURRENT_USER, console::kComputersKey, &key),
              0u);
    platform::RegSetDword(key, "CompsCount", 3);
    platform::RegSetString(key, "Comp0", ".");
    platform::RegSetString(key, "Comp1", "PC1");
    platform::RegSetString(key, "Comp2", "fileserver");
    platform::RegCloseKey(key);

    Show();
    ClickRow(0);
    auto save = [&](QWidget* w, const char* file) {
        EXPECT_TRUE(w->grab().save(QString::fromStdString((dir / file).string()), "PNG")) << file;
    };
    save(&window(), "main.png");

    WhenModal("SelectComputerForm", [&](QWidget* m) {
        save(m, "select_computer.png");
        QTest::mouseClick(Find<QPushButton>(m, "CancelBtn"), Qt::LeftButton);
    });
    QTest::mouseClick(Find<QPushButton>(&window(), "SpeedButton1"), Qt::LeftButton);

    ClickRow(2);
    WhenModal("EnableFilteringForm", [&](QWidget* m) {
        save(m, "enable_filtering.png");
        QTest::keyClick(m, Qt::Key_Escape);
    });
    Item("EnableF")->trigger();

    ClickRow(0);
    WhenModal("IntMTForm", [&](QWidget* properties) {
        save(properties, "interface_properties.png");
        WhenModal("FilterListForm", [&](QWidget* list) {
            ClickRow(0);
            auto* filters = Find<QTreeWidget>(list, "FilterListView");
            QTest::mouseClick(filters->viewport(), Qt::LeftButton, Qt::NoModifier,
                              filters->visualItemRect(filters->topLevelItem(1)).center());
            save(list, "filter_list.png");
            WhenModal("EditFilterForm", [&](QWidget* e) {
                ClickBox(Find<QCheckBox>(e, "DestinationCheckBox"));
                Type(Find<QLineEdit>(e, "ToIPMaskEdit"), "10.0.0.5");
                Type(Find<QLineEdit>(e, "ToSMaskMaskEdit"), "255.255.255.255");
                ClickBox(Find<QRadioButton>(e, "UDPRB"));
                Type(Find<QLineEdit>(e, "ToEdit"), "5000");
                Type(Find<QLineEdit>(e, "ToHighEdit"), "5100");
                save(e, "filter_edit.png");
                QTest::mouseClick(Find<QPushButton>(e, "CancelBtn"), Qt::LeftButton);
            });
            QTest::mouseClick(Find<QPushButton>(list, "SpeedButton1"), Qt::LeftButton);
            QTest::mouseClick(Find<QPushButton>(list, "SpeedButton2"), Qt::LeftButton);
        });
        QTest::mouseClick(Find<QPushButton>(properties, "InFiltersBtn"), Qt::LeftButton);
        QTest::mouseClick(Find<QPushButton>(properties, "SpeedButton4"), Qt::LeftButton);
    });
    Item("ConfigureF")->trigger();

    // Logs > Read Service Log At, on this computer: the service's own log in the debug window.
    WhenModal("SelectComputerForm", [&](QWidget* m) {
        auto* name = Find<QComboBox>(m, "ComputerCB");
        name->setEditText(".");
        QTest::mouseClick(Find<QPushButton>(m, "OkBtn"), Qt::LeftButton);
        WhenModal("DebugForm", [&](QWidget* d) {
            EXPECT_EQ(d->windowTitle(), "Zantor Service Log At .");
            save(d, "debug.png");
            QTest::keyClick(d, Qt::Key_Escape);
        });
    });
    Item("Readlog1")->trigger();

    // The statistics window of 10.0.0.5 with what its engine counted: TCP without SYN from
    // 10.0.0.0/8 to port 80 (the first filter) is let in, the rest dropped by the default.
    auto packets = [&](int n, std::uint16_t port, std::uint8_t flags) {
        PacketFields f;
        f.src = MakeIP(10, 1, 2, 3);
        f.dst = MakeIP(10, 0, 0, 5);
        f.srcPort = 40000;
        f.dstPort = port;
        f.tcpFlags = flags;
        for (int i = 0; i < n; ++i) {
            platform::PFFORWARD_ACTION verdict{};
            ASSERT_EQ(platform::SendTestPacket(pc.root(), platform::PacketDirection::kInput,
                                               MakeIP(10, 0, 0, 5), BuildPacket(f), verdict),
                      platform::kErrorSuccess);
        }
    };
    packets(7, 80, kTcpAck);
    packets(3, 443, kTcpSyn);
    ClickRow(0);
    ASSERT_TRUE(Item("Statistics1")->isEnabled());
    WhenModal("TestForm", [&](QWidget* m) {
        auto* count = Find<QLineEdit>(m, "dwNumPacketsFiltered");
        EXPECT_EQ(count->text(), "7");
        EXPECT_EQ(Find<QLineEdit>(m, "dwNumInFilters")->text(), "3");
        // The timer shows what comes while the window is open.
        packets(5, 80, kTcpAck);
        EXPECT_TRUE(Eventually([&] {
            QTest::qWait(50);
            return count->text() == "12";
        }));
        // BitBtn1: the next filter; Init Filter: back to the first.
        QTest::mouseClick(Find<QPushButton>(m, "BitBtn1"), Qt::LeftButton);
        EXPECT_EQ(Find<QLineEdit>(m, "dwProtocol")->text(), "17");
        QTest::mouseClick(Find<QPushButton>(m, "InitFilterBtn"), Qt::LeftButton);
        EXPECT_EQ(Find<QLineEdit>(m, "dwProtocol")->text(), "6");
        EXPECT_EQ(count->text(), "12");
        save(m, "statistics.png");
        QTest::mouseClick(Find<QPushButton>(m, "ExitBtn"), Qt::LeftButton);
    });
    Item("Statistics1")->trigger();

    for (const char* file :
         {"main.png", "select_computer.png", "enable_filtering.png", "interface_properties.png",
          "filter_list.png", "filter_edit.png", "debug.png", "statistics.png"})
        EXPECT_TRUE(fs::exists(dir / file)) << file;
}

}  // namespace

int main(int argc, char** argv) {
    // No display is needed, nor used when there is one.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    zantor::console::qt::QuietenToolkit();
    QApplication app(argc, argv);
    zantor::console::qt::SetUpApplication(app);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
