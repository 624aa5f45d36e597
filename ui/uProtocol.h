// The report window: every report line of the main window, prefixed with the time of day. It
// stands directly under the main window and follows it when that is moved.
#pragma once

#include <QPointer>
#include <QWidget>

#include <string>

class QCloseEvent;
class QPlainTextEdit;

class TfrmProtocol : public QWidget {
    Q_OBJECT
public:
    // Places itself under mainWindow (same left edge and width) and starts empty; hidden. Shown,
    // it leaves the keyboard focus where it is.
    explicit TfrmProtocol(QWidget& mainWindow);

    // Appends "hh-nn-ss -> sLine" and keeps the newest line in view, scrolled to the left.
    void Add(const std::string& sLine);
    void Clear();
    // The placement of the creation under a main window with the outer rectangle rMain: the same
    // left edge and width, the top on its bottom edge. Made again whenever a frame appears or
    // changes, the main window's or its own, since the outer sizes count.
    void PlaceUnder(const QRect& rMain);
    // Puts the window back under a main window at (iLeft, iTop) with outer height iHeight;
    // its width stays as it is.
    void Dock(int iLeft, int iTop, int iHeight);
    // The report as plain text, one line per report line.
    QString Text() const;

    QPlainTextEdit* Memo1;

protected:
    // Only the program shows or hides the window: a window manager that offers a close button
    // all the same gets its close request refused.
    void closeEvent(QCloseEvent* pEvent) override;

private:
    QWidget& FMainWindow;
};

extern QPointer<TfrmProtocol> frmProtocol;
