#include "ui/uMessage.h"

#include "ui/uWindowPlace.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

QPointer<TfrmMessage> frmMessage;

TfrmMessage::TfrmMessage(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("frmMessage");
    setWindowTitle("Information");
    resize(435, 101);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(45);
    Button1 = new QPushButton("OK", Panel1);
    Button1->setObjectName("Button1");
    Button1->setGeometry(3, 3, 93, 39);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &TfrmMessage::Button1Click);

    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(3, 3, 3, 0);
    pLayout->setSpacing(3);
    pLayout->addWidget(Memo1);
    pLayout->addWidget(Panel1);
}

void TfrmMessage::Prepare(const std::string& sMsg, int x, int y, int w, int h) {
    FiX = x;
    FiY = y;
    FiW = w;
    FiH = h;
    Place();
    Memo1->clear();
    Memo1->setPlainText(QString::fromStdString(sMsg).replace("\r\n", "\n"));
}

void TfrmMessage::showMsg(const std::string& sMsg, int x, int y, int w, int h) {
    Prepare(sMsg, x, y, w, h);
    Button1->setFocus();
    exec();
}

void TfrmMessage::Place() {
    // Its bottom edge 10 pixels above the main window's, 10 pixels inside it on both sides.
    const int iOwnHeight = OuterGeometry(*this).height();
    SetOuterGeometry(*this, FiX + 10, FiY + FiH - iOwnHeight - 10, FiW - 20, iOwnHeight);
}

void TfrmMessage::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    Place(); // again, now that the frame is known
}

void TfrmMessage::Button1Click() {
    accept();
}
