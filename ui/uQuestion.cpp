#include "ui/uQuestion.h"

#include "frontend/uNotifyTexts.h"
#include "ui/uAccessNames.h"

#include <QAbstractButton>
#include <QMessageBox>

bool AskYesNo(QWidget* pParent, const std::string& sQuestion, bool bDefaultYes) {
    QMessageBox box(QMessageBox::Question, Texts::ConfirmCaption,
                    QString::fromStdString(sQuestion).replace("\r\n", "\n"),
                    QMessageBox::Yes | QMessageBox::No, pParent);
    box.button(QMessageBox::Yes)->setText("Yes");
    box.button(QMessageBox::No)->setText("No");
    SetAccelerator(*box.button(QMessageBox::Yes), QKeySequence(Qt::ALT | Qt::Key_Y));
    SetAccelerator(*box.button(QMessageBox::No), QKeySequence(Qt::ALT | Qt::Key_N));
    box.setDefaultButton(bDefaultYes ? QMessageBox::Yes : QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}
