// The question the windows ask before an update or a cancel: "Confirm", "Yes" and "No" (Alt+Y,
// Alt+N), the default button as the question wants it.
#pragma once

#include <string>

class QWidget;

// True only for "Yes". The text's CR LF line ends are shown as line breaks.
bool AskYesNo(QWidget* pParent, const std::string& sQuestion, bool bDefaultYes);
