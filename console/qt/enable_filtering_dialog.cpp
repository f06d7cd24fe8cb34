#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/enable_filtering.h"
#include "console/qt/dialogs.h"

namespace zantor::console::qt {

namespace {
QGroupBox* ActionGroup(QWidget* parent, const char* name, const char* caption,
                       QRadioButton*& forward, const char* forwardName, QRadioButton*& drop,
                       const char* dropName) {
    auto* group = new QGroupBox(caption, parent);
    group->setObjectName(name);
    auto* layout = new QVBoxLayout(group);
    forward = new QRadioButton("Forward packet", group);
    forward->setObjectName(forwardName);
    drop = new QRadioButton("Drop Packet", group);
    drop->setObjectName(dropName);
    layout->addWidget(forward);
    layout->addWidget(drop);
    return group;
}
}  // namespace

EnableFilteringDialog::EnableFilteringDialog(ConsoleViews& views, QWidget* parent,
                                             TEnableFilteringForm& form)
    : DialogView(views, parent, "EnableFilteringForm"), form_(form) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    auto* groups = new QHBoxLayout;
    groups->addWidget(ActionGroup(this, "GroupBox1", " In Filters Action By Default", inForward_,
                                  "InFwRadioButton", inDrop_, "InDropRadioButton"));
    groups->addWidget(ActionGroup(this, "GroupBox2", " Out Filters Action By Default", outForward_,
                                  "OutFwRadioButton", outDrop_, "OutDropRadioButton"));
    layout->addLayout(groups);
    auto* enable = FlatButton(this, "Enable", "SpeedButton1");
    QFont bold = enable->font();
    bold.setBold(true);
    enable->setFont(bold);
    auto* cancel = FlatButton(this, "Cancel", "SpeedButton2");
    layout->addLayout(ButtonRow({enable, cancel}));

    Bind(inForward_, form_.InFwRadioButton.Checked);
    Bind(inDrop_, form_.InDropRadioButton.Checked);
    Bind(outForward_, form_.OutFwRadioButton.Checked);
    Bind(outDrop_, form_.OutDropRadioButton.Checked);
    OnClick(enable, [&] { form_.SpeedButton1Click(); });
    OnClick(cancel, [&] { form_.SpeedButton2Click(); });
    // Last: the border fits what the layout needs.
    SetBorder(this, Border::kResizable, 321, 131);
}

void EnableFilteringDialog::Load() {
    setWindowTitle(Q(form_.Caption));
    LoadBound();
}

void EnableFilteringDialog::Store() {
    StoreBound();
}

}  // namespace zantor::console::qt
