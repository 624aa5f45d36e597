// The message window: the outcome of an update as a modal box over the lower part of the main
// window, closed with "OK".
#pragma once

#include <QDialog>
#include <QPointer>

#include <string>

class QPlainTextEdit;
class QPushButton;
class QWidget;

class TfrmMessage : public QDialog {
    Q_OBJECT
public:
    explicit TfrmMessage(QWidget* pParent);

    // Places the box over the main window at x, y with outer size w × h, shows sMsg and runs
    // modally until "OK".
    void showMsg(const std::string& sMsg, int x, int y, int w, int h);
    // The placement and text of showMsg without the modal run.
    void Prepare(const std::string& sMsg, int x, int y, int w, int h);

    QPlainTextEdit* Memo1;
    QWidget* Panel1;
    QPushButton* Button1;

protected:
    void showEvent(QShowEvent* pEvent) override;

private:
    void Button1Click();
    void Place();
    int FiX = 0, FiY = 0, FiW = 0, FiH = 0; // the main window's rectangle of this showing
};

extern QPointer<TfrmMessage> frmMessage;
