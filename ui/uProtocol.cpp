#include "ui/uProtocol.h"

#include "frontend/uNotifyTexts.h"
#include "ui/uAccessNames.h"
#include "ui/uWindowPlace.h"

#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

QPointer<TfrmProtocol> frmProtocol;

TfrmProtocol::TfrmProtocol(QWidget& mainWindow)
    : QWidget(&mainWindow, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowMinMaxButtonsHint),
      FMainWindow(mainWindow) {
    setObjectName("frmProtocol");
    // The operator types into the main window: showing the report must not take the focus.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle("Report");
    resize(454, 141);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->addWidget(Memo1);

    PlaceUnder(OuterGeometry(mainWindow));
    new TFrameWatch(*this, [this] { PlaceUnder(OuterGeometry(FMainWindow)); });
    Clear();
    DescribeControls(*this);
}

void TfrmProtocol::PlaceUnder(const QRect& rMain) {
    SetOuterGeometry(*this, rMain.left(), rMain.top() + rMain.height(), rMain.width(),
                     OuterGeometry(*this).height());
}

void TfrmProtocol::Add(const std::string& sLine) {
    // A text with line breaks becomes several lines; only the first carries the time.
    QString s = QString::fromStdString(ReportLine(sLine));
    s.replace("\r\n", "\n");
    Memo1->appendPlainText(s);
    Memo1->moveCursor(QTextCursor::End);
    Memo1->ensureCursorVisible();
    // The caret at the end of a long line scrolls the view to the right: back to the left, where
    // the times of day are.
    QScrollBar* pScroll = Memo1->horizontalScrollBar();
    pScroll->setValue(pScroll->minimum());
}

void TfrmProtocol::Clear() {
    Memo1->clear();
}

void TfrmProtocol::Dock(int iLeft, int iTop, int iHeight) {
    const QRect r = OuterGeometry(*this);
    const int iWantTop = iTop + iHeight;
    if (r.top() != iWantTop || r.left() != iLeft)
        SetOuterGeometry(*this, iLeft, iWantTop, r.width(), r.height());
}

void TfrmProtocol::closeEvent(QCloseEvent* pEvent) {
    // A spontaneous close comes from the window system; the program's own (closing all windows
    // at its end) is not spontaneous.
    if (pEvent->spontaneous())
        pEvent->ignore();
    else
        QWidget::closeEvent(pEvent);
}

QString TfrmProtocol::Text() const {
    return Memo1->toPlainText();
}
