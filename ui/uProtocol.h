// The report window: every report line of the main window, prefixed with the time of day. It
// stands directly under the main window and follows it when that is moved.
#pragma once

#include <QPointer>
#include <QWidget>

#include <string>

class QPlainTextEdit;

class TfrmProtocol : public QWidget {
    Q_OBJECT
public:
    // Places itself under mainWindow (same left edge and width) and starts empty; hidden.
    explicit TfrmProtocol(QWidget& mainWindow);

    // Appends "hh-nn-ss -> sLine" and keeps the newest line in view.
    void Add(const std::string& sLine);
    void Clear();
    // Puts the window back under a main window at (iLeft, iTop) with outer height iHeight;
    // its width stays as it is.
    void Dock(int iLeft, int iTop, int iHeight);
    // The report as plain text, one line per report line.
    QString Text() const;

    QPlainTextEdit* Memo1;
};

extern QPointer<TfrmProtocol> frmProtocol;
