// The firmware overview: one row per catalogue entry with the hardware each image is meant for.
// It only reads the catalogue; every opening rebuilds the rows and the sizes.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QRect>

#include <cstdint>

struct TBl3FileHeader;
class QLabel;
class QPushButton;
class QTreeWidget;
class QWidget;

class TfrmInfo : public QDialog {
    Q_OBJECT
public:
    explicit TfrmInfo(QWidget* pParent);

    // Fills the list (the file slot first when iSelected is 0, then entries 9 down to 1), places
    // the dialog at ALeft, ATop with outer height AHeight, sizes it to the columns and runs it
    // modally; the modal result. iSelected is the caller's view of the catalogue selection: the
    // overview may open while a worker changes iFwIndex, so it never reads that itself.
    int Execute(int ALeft, int ATop, int AHeight, std::int32_t iSelected);
    // The steps of Execute before the modal run.
    void Prepare(int ALeft, int ATop, int AHeight, std::int32_t iSelected);

    void AddFwRow(const TBl3FileHeader& header);
    // Fits every column to the larger of its header and its widest item, plus 5; the sum of the
    // widths.
    int AutoSizeColumns();

    QTreeWidget* ListView1;
    // The program's version and where the third-party notices are, under the list.
    QLabel* lblAbout;
    QWidget* Panel1;
    QPushButton* Button1;

protected:
    void showEvent(QShowEvent* pEvent) override;

private:
    // Puts the dialog where FPlace says, with the frame known so far.
    void Place();
    QRect FPlace; // left, top, inner width and outer height of this opening
};

extern QPointer<TfrmInfo> frmInfo;

// The text of lblAbout: the program's name and version, then the notices' file and the folder
// that holds it (next to the program folder sAppDir, where the installation puts it).
QString AboutText(const QString& sAppDir);
