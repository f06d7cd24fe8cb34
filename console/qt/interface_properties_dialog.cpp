#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/interface_properties.h"
#include "console/qt/dialogs.h"

namespace zantor::console::qt {

namespace {
// " Input " or " Output ": the default action and the way to that direction's filter list.
QGroupBox* DirectionGroup(QWidget* parent, const char* name, const char* caption,
                          const char* labelName, QRadioButton*& forward, const char* forwardName,
                          QRadioButton*& drop, const char* dropName, QPushButton*& filters,
                          const char* filtersName) {
    auto* group = new QGroupBox(caption, parent);
    group->setObjectName(name);
    auto* layout = new QVBoxLayout(group);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(2);
    auto* label = new QLabel("By Defaut:", group);
    label->setObjectName(labelName);
    forward = new QRadioButton("Forward packets", group);
    forward->setObjectName(forwardName);
    drop = new QRadioButton("Drop packets", group);
    drop->setObjectName(dropName);
    filters = new QPushButton("Filters", group);
    filters->setObjectName(filtersName);
    for (QWidget* w : std::initializer_list<QWidget*>{label, forward, drop, filters})
        layout->addWidget(w);
    return group;
}
}  // namespace

InterfacePropertiesDialog::InterfacePropertiesDialog(ConsoleViews& views, QWidget* parent,
                                                     TIntMTForm& form)
    : DialogView(views, parent, "IntMTForm"), form_(form) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);
    QPushButton *inFilters = nullptr, *outFilters = nullptr;
    auto* directions = new QHBoxLayout;
    directions->addWidget(DirectionGroup(this, "GroupBox1", " Input ", "Label1", forwardIn_,
                                         "ForwardInRB", dropIn_, "DropInRB", inFilters,
                                         "InFiltersBtn"));
    directions->addWidget(DirectionGroup(this, "GroupBox2", " Output ", "Label2", forwardOut_,
                                         "ForwardOutRB", dropOut_, "DropOutRB", outFilters,
                                         "OutFiltersBtn"));
    layout->addLayout(directions);

    auto* global = new QGroupBox(" Global Filter ", this);
    global->setObjectName("GroupBox3");
    auto* globalLayout = new QVBoxLayout(global);
    globalLayout->setContentsMargins(6, 4, 6, 4);
    globalLayout->setSpacing(2);
    fc_ = Named<QCheckBox>(global, "Fragmentation checking", "FCCB");
    shc_ = Named<QCheckBox>(global, "Strong host checking", "SHCCB");
    cffc_ = Named<QCheckBox>(global, "Check fragments from cache", "CFFCCB");
    for (QCheckBox* box : {fc_, shc_, cffc_}) globalLayout->addWidget(box);
    layout->addWidget(global);

    auto* ok = FlatButton(this, "Ok", "SpeedButton3");
    auto* cancel = FlatButton(this, "Cancel", "SpeedButton4");
    layout->addLayout(ButtonRow({ok, cancel}));

    Bind(forwardIn_, form_.ForwardInRB.Checked);
    Bind(dropIn_, form_.DropInRB.Checked);
    Bind(forwardOut_, form_.ForwardOutRB.Checked);
    Bind(dropOut_, form_.DropOutRB.Checked);
    Bind(fc_, form_.FCCB.Checked);
    Bind(shc_, form_.SHCCB.Checked);
    Bind(cffc_, form_.CFFCCB.Checked);
    OnClick(inFilters, [&] { form_.InFiltersBtnClick(); });
    OnClick(outFilters, [&] { form_.OutFiltersBtnClick(); });
    OnClick(ok, [&] { form_.SpeedButton3Click(); });
    OnClick(cancel, [&] { form_.SpeedButton4Click(); });
    // Last: the border fits what the layout needs.
    SetBorder(this, Border::kDialog, 253, 213);
}

void InterfacePropertiesDialog::Load() {
    setWindowTitle(Q(form_.Caption));
    LoadBound();
}

void InterfacePropertiesDialog::Store() {
    StoreBound();
}

}  // namespace zantor::console::qt
