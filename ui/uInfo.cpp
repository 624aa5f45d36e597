#include "ui/uInfo.h"

#include "firmware/uFWVersions.h"
#include "frontend/uNotifyTexts.h"
#include "uVersionInfo.h"
#include "ui/uAccessNames.h"
#include "ui/uWindowPlace.h"

#include <QCoreApplication>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

QPointer<TfrmInfo> frmInfo;

QString AboutText(const QString& sAppDir) {
    const QString sFolder = QDir::cleanPath(QDir(sAppDir).filePath(KELVO_NOTICES_FOLDER));
    return QString(
               "Kelvo Firmware Update %1\nThird-party software: see THIRD-PARTY-NOTICES.txt in\n%2")
        .arg(KelvoVersion, QDir::toNativeSeparators(sFolder));
}

TfrmInfo::TfrmInfo(QWidget* pParent) : QDialog(pParent) {
    setObjectName("frmInfo");
    setWindowTitle("Overview");
    resize(318, 209);

    ListView1 = new QTreeWidget(this);
    ListView1->setObjectName("ListView1");
    ListView1->setRootIsDecorated(false);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->header()->setSectionsClickable(false);
    ListView1->header()->setStretchLastSection(false);
    QStringList aColumns;
    for (const char* s : FirmwareColumns)
        aColumns << s;
    ListView1->setHeaderLabels(aColumns);

    lblAbout = new QLabel(AboutText(QCoreApplication::applicationDirPath()), this);
    lblAbout->setObjectName("lblAbout");
    lblAbout->setContentsMargins(13, 4, 13, 0);
    lblAbout->setTextInteractionFlags(Qt::TextSelectableByMouse);

    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(37);
    Button1 = new QPushButton("OK", Panel1);
    Button1->setObjectName("Button1");
    Button1->setGeometry(13, 7, 98, 24);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);

    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(0);
    pLayout->addWidget(ListView1);
    pLayout->addWidget(lblAbout);
    pLayout->addWidget(Panel1);
    new TFrameWatch(*this, [this] { Place(); });
    DescribeControls(*this);
}

void TfrmInfo::AddFwRow(const TBl3FileHeader& header) {
    QStringList aTexts;
    for (const std::string& s : FirmwareRow(header))
        aTexts << QString::fromStdString(s);
    ListView1->addTopLevelItem(new QTreeWidgetItem(aTexts)); // owned by the list
}

int TfrmInfo::AutoSizeColumns() {
    int iSum = 0;
    for (int i = 0; i < ListView1->columnCount(); ++i) {
        // Fitting to the contents takes the larger of the header text and the widest item.
        const int iHeader = ListView1->header()->sectionSizeHint(i);
        ListView1->resizeColumnToContents(i);
        ListView1->setColumnWidth(i, std::max(iHeader, ListView1->columnWidth(i)) + 5);
        iSum += ListView1->columnWidth(i);
    }
    return iSum;
}

void TfrmInfo::Prepare(int ALeft, int ATop, int AHeight, std::int32_t iSelected) {
    ListView1->clear();
    if (iSelected == 0)
        AddFwRow(GetFwHeader(0));
    for (std::int32_t i = GetFwCount(); i >= 1; --i)
        AddFwRow(GetFwHeader(i));
    FPlace = QRect(ALeft, ATop, AutoSizeColumns() + 30, AHeight);
    Place();
}

void TfrmInfo::Place() {
    const QMargins m = FrameMargins(*this);
    SetOuterGeometry(*this, FPlace.left(), FPlace.top(), FPlace.width() + m.left() + m.right(),
                     FPlace.height());
}

void TfrmInfo::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    // Where the window system knows the frame at once, the sizes count it from the start;
    // elsewhere the frame watch places the window again when the frame arrives.
    if (!FrameMargins(*this).isNull())
        Place();
}

int TfrmInfo::Execute(int ALeft, int ATop, int AHeight, std::int32_t iSelected) {
    Prepare(ALeft, ATop, AHeight, iSelected);
    Button1->setFocus();
    return exec();
}
