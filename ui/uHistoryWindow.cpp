#include "ui/uHistoryWindow.h"

#include "frontend/uHistory.h"
#include "hexline/uShownText.h"
#include "ui/uAccessNames.h"

#include <QCoreApplication>
#include <QDateEdit>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <stdexcept>

QPointer<TfrmHistory> frmHistory;

namespace {

// The first day the date field offers stands for "any day".
const QDate AnyDay(2000, 1, 1);
// How long the window waits after a keystroke in a filter field before it reads again.
constexpr int FilterDelayMs = 300;

QString Q(const std::string& s) {
    return QString::fromStdString(EscapeControlChars(s));
}

} // namespace

const QStringList TfrmHistory::Columns = {
    "Started (UTC)",      "Port",  "Serial", "Image", "Status", "Outcome",
    "Left in bootloader", "Reason"};

struct TfrmHistory::TReadResult {
    THistoryRead read;
    THistoryFilter filter;
    std::string sError; // empty: read
    bool bBusy = false;
};

class TfrmHistory::TReadEvent : public QEvent {
public:
    static inline const QEvent::Type EventType =
        static_cast<QEvent::Type>(QEvent::registerEventType());
    explicit TReadEvent(TReadResult result) : QEvent(EventType), result(std::move(result)) {}
    const TReadResult result;
};

QString RunDetailsText(const TJournalRun& run) {
    QString s;
    for (const TRunFact& fact : RunFacts(run))
        s += QString("%1: %2\n").arg(fact.sName, fact.sValue.empty() ? "-" : Q(fact.sValue));
    return s;
}

TfrmHistory::TfrmHistory(QWidget* pParent) : QWidget(pParent, Qt::Window) {
    setObjectName("frmHistory");
    setWindowTitle("History");

    lblSerial = new QLabel("&Serial:", this);
    edtSerial = new QLineEdit(this);
    edtSerial->setObjectName("edtSerial");
    edtSerial->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9]{0,10}"), edtSerial));
    edtSerial->setPlaceholderText("any");
    lblSerial->setBuddy(edtSerial);
    lblPort = new QLabel("&Port:", this);
    edtPort = new QLineEdit(this);
    edtPort->setObjectName("edtPort");
    edtPort->setPlaceholderText("any, e.g. ttyUSB0");
    lblPort->setBuddy(edtPort);
    lblDay = new QLabel("D&ay (UTC):", this);
    dteDay = new QDateEdit(this);
    dteDay->setObjectName("dteDay");
    dteDay->setDisplayFormat("yyyy-MM-dd");
    dteDay->setCalendarPopup(true);
    dteDay->setMinimumDate(AnyDay);
    dteDay->setSpecialValueText("any day");
    dteDay->setDate(AnyDay);
    lblDay->setBuddy(dteDay);
    btnRefresh = new QPushButton("&Refresh", this);
    btnRefresh->setObjectName("btnRefresh");

    tblRuns = new QTableWidget(0, static_cast<int>(Columns.size()), this);
    tblRuns->setObjectName("tblRuns");
    tblRuns->setHorizontalHeaderLabels(Columns);
    tblRuns->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblRuns->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblRuns->setSelectionMode(QAbstractItemView::SingleSelection);
    tblRuns->verticalHeader()->hide();
    tblRuns->horizontalHeader()->setStretchLastSection(true);
    tblRuns->setWordWrap(false);

    lblState = new QLabel(this);
    lblState->setObjectName("lblState");
    lblState->setWordWrap(true);
    lblState->setTextInteractionFlags(Qt::TextSelectableByMouse);

    btnDetails = new QPushButton("&Details", this);
    btnDetails->setObjectName("btnDetails");
    btnExport = new QPushButton("&Export CSV...", this);
    btnExport->setObjectName("btnExport");
    btnClose = new QPushButton("&Close", this);
    btnClose->setObjectName("btnClose");

    auto* pFilters = new QHBoxLayout;
    pFilters->addWidget(lblSerial);
    pFilters->addWidget(edtSerial);
    pFilters->addWidget(lblPort);
    pFilters->addWidget(edtPort);
    pFilters->addWidget(lblDay);
    pFilters->addWidget(dteDay);
    pFilters->addStretch(1);
    pFilters->addWidget(btnRefresh);
    auto* pButtons = new QHBoxLayout;
    pButtons->addWidget(btnDetails);
    pButtons->addWidget(btnExport);
    pButtons->addStretch(1);
    pButtons->addWidget(btnClose);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addLayout(pFilters);
    pLayout->addWidget(tblRuns, 1);
    pLayout->addWidget(lblState);
    pLayout->addLayout(pButtons);
    resize(960, 480);

    Describe(*this, "History", "The runs of the update journal, newest first");
    Describe(*lblSerial, "Serial:", "Names the serial number filter");
    Describe(*edtSerial, "Serial number filter",
             "Lists only the runs of the logger with this serial number; empty: all");
    Describe(*lblPort, "Port:", "Names the port filter");
    Describe(*edtPort, "Port filter",
             "Lists only the runs on this port or converter, also by its short name; empty: all");
    Describe(*lblDay, "Day (UTC):", "Names the day filter");
    Describe(*dteDay, "Day filter", "Lists only the runs started on this day (UTC); any day: all");
    Describe(*btnRefresh, "Refresh", "Reads the journal again");
    Describe(*tblRuns, "Runs", "One row per run of an update, newest first");
    Describe(*lblState, "Journal state", "What was read from the journal");
    Describe(*btnDetails, "Details", "Shows every recorded fact of the selected run");
    Describe(*btnExport, "Export CSV", "Writes the listed runs to a CSV file");
    Describe(*btnClose, "Close", "Closes the history window");

    FFilterDelay = new QTimer(this);
    FFilterDelay->setSingleShot(true);
    FFilterDelay->setInterval(FilterDelayMs);
    connect(FFilterDelay, &QTimer::timeout, this, &TfrmHistory::Refresh);
    const auto delayed = [this] {
        FFilterDelay->start();
    };
    connect(edtSerial, &QLineEdit::textChanged, this, delayed);
    connect(edtPort, &QLineEdit::textChanged, this, delayed);
    connect(edtSerial, &QLineEdit::returnPressed, this, &TfrmHistory::Refresh);
    connect(edtPort, &QLineEdit::returnPressed, this, &TfrmHistory::Refresh);
    connect(dteDay, &QDateEdit::dateChanged, this, delayed);
    connect(btnRefresh, &QPushButton::clicked, this, &TfrmHistory::btnRefreshClick);
    connect(btnDetails, &QPushButton::clicked, this, &TfrmHistory::btnDetailsClick);
    connect(btnExport, &QPushButton::clicked, this, &TfrmHistory::btnExportClick);
    connect(btnClose, &QPushButton::clicked, this, &QWidget::close);
    connect(tblRuns, &QTableWidget::cellDoubleClicked, this,
            [this](int iRow, int) { ShowDetails(iRow); });
    connect(tblRuns, &QTableWidget::itemSelectionChanged, this, &TfrmHistory::UpdateButtons);

    Refresh();
}

TfrmHistory::~TfrmHistory() {
    // The reader waits for a writer at most briefly, so this join is short.
    if (FReader.joinable())
        FReader.join();
    QCoreApplication::removePostedEvents(this, TReadEvent::EventType);
}

THistoryFilter TfrmHistory::Filter() const {
    THistoryFilter filter;
    filter.iLimit = RowLimit;
    bool bNumber = false;
    const qulonglong iSerial = edtSerial->text().toULongLong(&bNumber);
    if (bNumber && iSerial <= 0xFFFFFFFFull)
        filter.iSerial = static_cast<std::uint32_t>(iSerial);
    filter.sPort = edtPort->text().trimmed().toStdString();
    if (dteDay->date() != AnyDay)
        filter.sDay = dteDay->date().toString("yyyy-MM-dd").toStdString();
    return filter;
}

void TfrmHistory::Refresh() {
    FFilterDelay->stop();
    bool bNumber = false;
    if (!edtSerial->text().isEmpty() && edtSerial->text().toULongLong(&bNumber) > 0xFFFFFFFFull) {
        lblState->setText("A serial number is at most 4294967295.");
        return;
    }
    if (FbReading) {
        FbPending = true;
        return;
    }
    StartReading();
}

void TfrmHistory::StartReading() {
    if (FReader.joinable())
        FReader.join(); // it has posted its result and ended
    FbReading = true;
    FbPending = false;
    lblState->setText("Reading the journal...");
    btnRefresh->setEnabled(false);
    FReader = std::thread([this, filter = Filter()] {
        TReadResult result;
        result.filter = filter;
        try {
            result.read = ReadHistory(filter, TJournalAccess::ReadOnly);
        } catch (const EJournal& e) {
            result.sError = e.what();
            result.bBusy = e.IsBusy();
        } catch (const std::exception& e) {
            result.sError = e.what();
        }
        QCoreApplication::postEvent(this, new TReadEvent(std::move(result)));
    });
}

bool TfrmHistory::event(QEvent* pEvent) {
    if (pEvent->type() != TReadEvent::EventType)
        return QWidget::event(pEvent);
    FReader.join();
    FbReading = false;
    btnRefresh->setEnabled(true);
    // The filters changed while it read: what it found is already old.
    if (FbPending)
        StartReading();
    else
        ShowResult(static_cast<TReadEvent*>(pEvent)->result);
    return true;
}

void TfrmHistory::ShowResult(const TReadResult& result) {
    const bool bAll =
        !result.filter.iSerial && result.filter.sPort.empty() && result.filter.sDay.empty();
    FRuns = result.read.aRuns;
    tblRuns->setRowCount(0);
    tblRuns->setRowCount(static_cast<int>(FRuns.size()));
    int iRow = 0;
    for (const TJournalRun& r : FRuns) {
        const QString aTexts[] = {
            QString::fromStdString(StartedText(r)),          Q(r.sPort),
            r.iSerial ? QString::number(*r.iSerial) : "-",   r.sImage.empty() ? "-" : Q(r.sImage),
            r.iStatus ? QString::number(*r.iStatus) : "-",   Q(RunOutcome(r)),
            QString::fromStdString(LeftInBootloaderText(r)), Q(r.sReason),
        };
        int iColumn = 0;
        for (const QString& s : aTexts) {
            auto* pItem = new QTableWidgetItem(s); // owned by the table
            pItem->setToolTip(s);
            tblRuns->setItem(iRow, iColumn++, pItem);
        }
        ++iRow;
    }
    tblRuns->resizeColumnsToContents();
    if (!FRuns.empty())
        tblRuns->selectRow(0);

    QString sState;
    if (!result.sError.empty())
        sState = "The journal cannot be read: " + Q(result.sError) +
                 (result.bBusy ? " It is busy: press Refresh to try again." : "");
    else if (FRuns.empty() && bAll)
        sState = result.read.bJournalExists
                     ? "The journal is empty: no update has been recorded yet."
                     : "There is no journal yet: no update has been recorded on this computer.";
    else if (FRuns.empty())
        sState = "No run matches the filter.";
    else if (FRuns.size() >= static_cast<std::size_t>(RowLimit))
        sState =
            QString("The latest %1 runs, newest first; the filters find older ones.").arg(RowLimit);
    else
        sState = FRuns.size() == 1 ? "1 run." : QString("%1 runs, newest first.").arg(FRuns.size());
    lblState->setText(sState);
    UpdateButtons();
}

bool TfrmHistory::IsReading() const {
    return FbReading || FbPending || FFilterDelay->isActive();
}

QString TfrmHistory::StateText() const {
    return lblState->text();
}

void TfrmHistory::UpdateButtons() {
    btnDetails->setEnabled(tblRuns->currentRow() >= 0 && !FRuns.empty());
}

void TfrmHistory::btnRefreshClick() {
    Refresh();
}

void TfrmHistory::btnDetailsClick() {
    ShowDetails(tblRuns->currentRow());
}

void TfrmHistory::ShowDetails(int iRow) {
    if (iRow < 0 || iRow >= static_cast<int>(FRuns.size()))
        return;
    if (!frmDetails) {
        frmDetails = new QDialog(this);
        frmDetails->setObjectName("frmDetails");
        frmDetails->setWindowTitle("Run details");
        memDetails = new QPlainTextEdit(frmDetails);
        memDetails->setObjectName("memDetails");
        memDetails->setReadOnly(true);
        memDetails->setLineWrapMode(QPlainTextEdit::NoWrap);
        auto* pClose = new QPushButton("&Close", frmDetails);
        pClose->setObjectName("btnDetailsClose");
        connect(pClose, &QPushButton::clicked, frmDetails, &QWidget::close);
        auto* pButtons = new QHBoxLayout;
        pButtons->addStretch(1);
        pButtons->addWidget(pClose);
        auto* pLayout = new QVBoxLayout(frmDetails);
        pLayout->addWidget(memDetails, 1);
        pLayout->addLayout(pButtons);
        frmDetails->resize(640, 520);
        Describe(*frmDetails, "Run details", "Every recorded fact of one run");
        Describe(*memDetails, "Facts", "One fact of the run per line: its name and its value");
        Describe(*pClose, "Close", "Closes the run's details");
    }
    memDetails->setPlainText(RunDetailsText(FRuns[static_cast<std::size_t>(iRow)]));
    frmDetails->show();
    frmDetails->raise();
    frmDetails->activateWindow();
}

bool TfrmHistory::ExportCsv(const QString& sFileName, QString* psError) const {
    QFile file(sFileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (psError)
            *psError = file.errorString();
        return false;
    }
    for (const std::string& s : HistoryCsvLines(FRuns)) {
        const QByteArray line = QByteArray::fromStdString(s + "\n");
        if (file.write(line) != line.size()) {
            if (psError)
                *psError = file.errorString();
            return false;
        }
    }
    if (!file.flush()) {
        if (psError)
            *psError = file.errorString();
        return false;
    }
    return true;
}

void TfrmHistory::btnExportClick() {
    const QString sFileName =
        OnChooseExportFile ? OnChooseExportFile()
                           : QFileDialog::getSaveFileName(this, "Export CSV", "kelvo-history.csv",
                                                          "CSV files (*.csv);;All files (*)");
    if (sFileName.isEmpty())
        return;
    QString sError;
    if (!ExportCsv(sFileName, &sError))
        QMessageBox::warning(this, "Export CSV",
                             "The file \"" + sFileName + "\" cannot be written: " + sError);
}
