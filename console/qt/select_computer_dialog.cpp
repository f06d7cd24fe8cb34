#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "console/qt/dialogs.h"
#include "console/select_computer.h"

namespace zantor::console::qt {

SelectComputerDialog::SelectComputerDialog(ConsoleViews& views, QWidget* parent,
                                           TSelectComputerForm& form)
    : DialogView(views, parent, "SelectComputerForm"), form_(form) {
    setFixedSize(257, 97);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);

    auto* upper = new QFrame(this);
    upper->setObjectName("Panel1");
    upper->setFrameShape(QFrame::StyledPanel);
    auto* upperLayout = new QVBoxLayout(upper);
    upperLayout->setContentsMargins(8, 4, 8, 6);
    upperLayout->setSpacing(2);
    auto* label = new QLabel("Computer Name", upper);
    label->setObjectName("Label1");
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    computer_ = new QComboBox(upper);
    computer_->setObjectName("ComputerCB");
    computer_->setEditable(true);
    computer_->setInsertPolicy(QComboBox::NoInsert);
    computer_->setFixedWidth(145);
    upperLayout->addWidget(label);
    upperLayout->addWidget(computer_);
    layout->addWidget(upper);

    auto* lower = new QFrame(this);
    lower->setObjectName("Panel2");
    lower->setFrameShape(QFrame::StyledPanel);
    auto* lowerLayout = new QHBoxLayout(lower);
    lowerLayout->setContentsMargins(4, 0, 4, 0);
    auto* ok = FlatButton(lower, "Ok", "OkBtn");
    auto* cancel = FlatButton(lower, "Cancel", "CancelBtn");
    for (QPushButton* b : {ok, cancel}) {
        lowerLayout->addWidget(b);
    }
    ok->setDefault(true);
    layout->addWidget(lower);

    OnClick(ok, [&] { form_.OkBtnClick(); });
    OnClick(cancel, [&] { form_.CancelBtnClick(); });
}

void SelectComputerDialog::Load() {
    setWindowTitle(Q(form_.Caption));
    computer_->clear();
    for (const std::string& name : form_.ComputerCB.Items) computer_->addItem(Q(name));
    computer_->setEditText(Q(form_.ComputerCB.Text));
}

void SelectComputerDialog::Store() {
    form_.ComputerCB.Text = S(computer_->currentText());
}

}  // namespace zantor::console::qt
