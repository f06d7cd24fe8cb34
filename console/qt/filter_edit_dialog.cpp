#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/filter_edit.h"
#include "console/qt/dialogs.h"

namespace zantor::console::qt {

namespace {

QLineEdit* Edit(QWidget* parent, const char* name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    return edit;
}

// "IP address" and "Subnet mask" under a network's check box.
void AddNetwork(QGridLayout* grid, int row, QCheckBox* box, QLineEdit* address, QLineEdit* mask) {
    grid->addWidget(box, row, 0, 1, 2);
    grid->addWidget(new QLabel("IP address", box->parentWidget()), row + 1, 0);
    grid->addWidget(address, row + 1, 1);
    grid->addWidget(new QLabel("Subnet mask", box->parentWidget()), row + 2, 0);
    grid->addWidget(mask, row + 2, 1);
}

}  // namespace

EditFilterDialog::EditFilterDialog(ConsoleViews& views, QWidget* parent, TEditFilterForm& form)
    : DialogView(views, parent, "EditFilterForm"), form_(form) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(2);

    auto* top = new QHBoxLayout;
    auto* networks = new QGridLayout;
    networks->setVerticalSpacing(1);
    source_ = Named<QCheckBox>(this, "Source network", "SourceCheckBox");
    fromIP_ = Edit(this, "FromIPMaskEdit");
    fromMask_ = Edit(this, "FromSMaskMaskEdit");
    destination_ = Named<QCheckBox>(this, "Destination network", "DestinationCheckBox");
    toIP_ = Edit(this, "ToIPMaskEdit");
    toMask_ = Edit(this, "ToSMaskMaskEdit");
    AddNetwork(networks, 0, source_, fromIP_, fromMask_);
    AddNetwork(networks, 3, destination_, toIP_, toMask_);
    top->addLayout(networks, 1);

    auto* protocols = new QWidget(this);
    protocols->setObjectName("ProtocolPanel");
    auto* protocolLayout = new QVBoxLayout(protocols);
    protocolLayout->setContentsMargins(8, 0, 0, 0);
    protocolLayout->setSpacing(0);
    protocolLayout->addWidget(new QLabel("Protocol", protocols));
    struct Choice {
        QRadioButton*& button;
        const char* caption;
        const char* name;
    };
    for (const Choice& c : {Choice{tcp_, "TCP", "TCPRB"}, Choice{udp_, "UDP", "UDPRB"},
                            Choice{icmp_, "ICMP", "ICMPRB"}, Choice{any_, "Any", "AnyRB"},
                            Choice{other_, "Other", "OtherRB"}}) {
        c.button = new QRadioButton(c.caption, protocols);
        c.button->setObjectName(c.name);
        protocolLayout->addWidget(c.button);
    }
    protocol_ = Edit(protocols, "ProtMaskEdit");
    protocol_->setFixedWidth(60);
    protocolLayout->addWidget(protocol_);
    top->addWidget(protocols);
    layout->addLayout(top);

    layout->addWidget(new QLabel("Protocol dependent options", this));
    auto* panel = new QFrame(this);
    panel->setObjectName("TCPAndUDPPanel");
    panel->setFrameShape(QFrame::StyledPanel);
    auto* ports = new QGridLayout(panel);
    ports->setContentsMargins(6, 2, 6, 2);
    ports->setVerticalSpacing(1);
    ports->addWidget(new QLabel("Port range:", panel), 0, 0, 1, 4);
    fromPort_ = Edit(panel, "FromEdit");
    fromPort_->setMaxLength(5);
    fromHighPort_ = Edit(panel, "FromHighEdit");
    toPort_ = Edit(panel, "ToEdit");
    toHighPort_ = Edit(panel, "ToHighEdit");
    ports->addWidget(new QLabel("Source", panel), 1, 0);
    ports->addWidget(fromPort_, 1, 1);
    ports->addWidget(new QLabel("-", panel), 1, 2);
    ports->addWidget(fromHighPort_, 1, 3);
    ports->addWidget(new QLabel("Destination", panel), 2, 0);
    ports->addWidget(toPort_, 2, 1);
    ports->addWidget(new QLabel("-", panel), 2, 2);
    ports->addWidget(toHighPort_, 2, 3);
    noSyn_ = Named<QCheckBox>(panel, "No SYN", "NoSYNCheckBox");
    ports->addWidget(noSyn_, 1, 4, 2, 1);
    ports->setColumnStretch(5, 1);
    layout->addWidget(panel);

    auto* ok = FlatButton(this, "Ok", "OkBtn");
    auto* cancel = FlatButton(this, "Cancel", "CancelBtn");
    layout->addLayout(ButtonRow({ok, cancel}));

    Bind(source_, form_.SourceCheckBox.Checked);
    Bind(destination_, form_.DestinationCheckBox.Checked);
    Bind(noSyn_, form_.NoSYNCheckBox.Checked);
    for (auto [edit, state] : {std::pair{fromIP_, &form_.FromIPMaskEdit},
                               {fromMask_, &form_.FromSMaskMaskEdit},
                               {toIP_, &form_.ToIPMaskEdit},
                               {toMask_, &form_.ToSMaskMaskEdit},
                               {protocol_, &form_.ProtMaskEdit},
                               {fromPort_, &form_.FromEdit},
                               {fromHighPort_, &form_.FromHighEdit},
                               {toPort_, &form_.ToEdit},
                               {toHighPort_, &form_.ToHighEdit}})
        Bind(edit, *state);
    for (auto [button, state] : {std::pair{tcp_, &form_.TCPRB},
                                 {udp_, &form_.UDPRB},
                                 {icmp_, &form_.ICMPRB},
                                 {any_, &form_.AnyRB},
                                 {other_, &form_.OtherRB}})
        Bind(button, state->Checked);
    OnClick(source_, [&] { form_.SourceCheckBoxClick(); });
    OnClick(destination_, [&] { form_.DestinationCheckBoxClick(); });
    OnClick(tcp_, [&] { form_.TCPRBClick(); });
    OnClick(udp_, [&] { form_.UDPRBClick(); });
    OnClick(icmp_, [&] { form_.ICMPRBClick(); });
    OnClick(any_, [&] { form_.AnyRBClick(); });
    OnClick(other_, [&] { form_.OtherRBClick(); });
    OnClick(ok, [&] { form_.OkBtnClick(); });
    OnClick(cancel, [&] { form_.CancelBtnClick(); });
    // Last: the border fits what the layout needs.
    SetBorder(this, Border::kDialog, 350, 273);
}

void EditFilterDialog::Load() {
    setWindowTitle(Q(form_.Caption));
    LoadBound();
}

void EditFilterDialog::Store() {
    StoreBound();
}

}  // namespace zantor::console::qt
