// Names and descriptions for assistive technology (screen readers), and keyboard accelerators
// for the buttons whose captions carry no '&': their texts are shown exactly as they are.
#pragma once

#include <QKeySequence>

class QAbstractButton;
class QWidget;
class TfrmInfo;
class TfrmMain;
class TfrmMessage;
class TfrmProtocol;

// Sets the widget's accessible name and description.
void Describe(QWidget& w, const char* sName, const char* sDescription);
// A button's accelerator without changing its caption (a later setText would clear it).
void SetAccelerator(QAbstractButton& button, const QKeySequence& key);

void DescribeControls(TfrmMain& w);
void DescribeControls(TfrmProtocol& w);
void DescribeControls(TfrmMessage& w);
void DescribeControls(TfrmInfo& w);
