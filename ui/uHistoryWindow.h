// The history window: the update journal's runs, newest first, filtered by serial number, port
// and day, with every fact of one run, a CSV export and a refresh. It only reads the journal, on a
// thread of its own and waiting only briefly for a writer, so an update or a station writing at
// the same time neither waits for it nor freezes it.
#pragma once

#include "journal/uJournal.h"

#include <QEvent>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <string>
#include <thread>
#include <vector>

class QDateEdit;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;

// The text of every recorded fact of the run, one "name: value" per line.
QString RunDetailsText(const TJournalRun& run);

class TfrmHistory : public QWidget {
    Q_OBJECT
public:
    // The most runs the window lists; the filters find older ones.
    static constexpr int RowLimit = 10000;
    // The table's columns.
    static const QStringList Columns;

    // pParent: the main window (which owns it), or none when the program shows only this window.
    explicit TfrmHistory(QWidget* pParent = nullptr);
    ~TfrmHistory() override;

    // Reads the journal again with the filters, on the reader thread; the table follows when the
    // runs have been read. A refresh asked for while one reads runs after it.
    void Refresh();
    // True while a refresh, or a change of a filter, has not yet reached the table.
    bool IsReading() const;
    // The filter as the fields give it (limit RowLimit).
    THistoryFilter Filter() const;
    // The runs in the table, newest first.
    const std::vector<TJournalRun>& Runs() const { return FRuns; }
    // What the window says about the journal (read, empty, cannot be read, no match).
    QString StateText() const;

    void btnRefreshClick();
    void btnDetailsClick();
    void btnExportClick();
    // Writes the CSV of the listed runs to sFileName; false (the reason in *psError) on failure.
    bool ExportCsv(const QString& sFileName, QString* psError = nullptr) const;

    // The file dialog of the export. Empty: the program's own. Tests set it.
    std::function<QString()> OnChooseExportFile;

    QLabel* lblSerial;
    QLineEdit* edtSerial;
    QLabel* lblPort;
    QLineEdit* edtPort;
    QLabel* lblDay;
    QDateEdit* dteDay;
    QPushButton* btnRefresh;
    QTableWidget* tblRuns;
    QLabel* lblState;
    QPushButton* btnDetails;
    QPushButton* btnExport;
    QPushButton* btnClose;
    // The facts of the selected run; made on the first "Details".
    QWidget* frmDetails = nullptr;
    QPlainTextEdit* memDetails = nullptr;

protected:
    bool event(QEvent* pEvent) override;

private:
    struct TReadResult;
    class TReadEvent;
    void StartReading();
    void ShowResult(const TReadResult& result);
    void ShowDetails(int iRow);
    void UpdateButtons();

    std::vector<TJournalRun> FRuns;
    bool FbReading = false; // the reader thread runs
    bool FbPending = false; // a refresh waits for the running read
    std::thread FReader;
    QTimer* FFilterDelay;
};

extern QPointer<TfrmHistory> frmHistory;
