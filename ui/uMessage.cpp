#include "ui/uMessage.h"

#include "ui/uAccessNames.h"
#include "ui/uWindowPlace.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include <algorithm>

QPointer<TfrmMessage> frmMessage;

namespace {

constexpr int DesignHeight = 101;

} // namespace

TfrmMessage::TfrmMessage(QWidget* pParent)
    // A fixed-size dialog with a title and no buttons in it; window managers that ignore the
    // "no buttons" hint still leave a fixed-size dialog without minimise, maximise and resizing.
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("frmMessage");
    setWindowTitle("Information");

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
    // The design height, unless the contents need more.
    setFixedSize(435, std::max(DesignHeight, minimumSizeHint().height()));
    new TFrameWatch(*this, [this] { Place(); });
    DescribeControls(*this);
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
    // Its bottom edge 10 pixels above the main window's, 10 pixels inside it on both sides. Again
    // when the frame arrives: its outer height and width count.
    const int iOwnHeight = OuterGeometry(*this).height();
    SetOuterGeometry(*this, FiX + 10, FiY + FiH - iOwnHeight - 10, FiW - 20, iOwnHeight, true);
}

void TfrmMessage::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    // Where the window system knows the frame at once, the sizes count it from the start;
    // elsewhere the frame watch places the window again when the frame arrives.
    if (!FrameMargins(*this).isNull())
        Place();
}

void TfrmMessage::Button1Click() {
    accept();
}
