// Placing top-level windows by their outer (frame) rectangle, as the placement rules are
// stated. The frame is the window system's: under X11 it exists only once the window manager has
// taken the window, some time after it was shown, so a window placed before that is placed again
// when its frame arrives (TFrameWatch).
#pragma once

#include <QMargins>
#include <QObject>
#include <QPointer>
#include <QRect>

#include <functional>

class QWidget;
class QWindow;

// The frame around the window as the window system knows it now; none before the window is
// shown or when the window system gives it none.
QMargins FrameMargins(const QWidget& w);

// The window's outer rectangle: its frame as the window system knows it now; without a frame
// (not shown yet, or none given) the window itself.
QRect OuterGeometry(const QWidget& w);

// Puts the frame's top-left corner at iLeft, iTop and sizes the window so that its outer size is
// iWidth × iHeight with the frame known so far; bFixed makes that size the only one the window
// may have. The position holds whatever frame the window manager adds later; the size is right
// once the frame is known.
void SetOuterGeometry(QWidget& w, int iLeft, int iTop, int iWidth, int iHeight,
                      bool bFixed = false);

// Calls back whenever the frame of a top-level window changes: when it first appears, and when
// the window manager gives it another. A position change alone is no frame change.
class TFrameWatch final : public QObject {
public:
    TFrameWatch(QWidget& w, std::function<void()> onChange);

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void Check();

    QWidget& FWidget;
    QPointer<QWindow> FWindow; // the widget's native window once it has one
    QMargins FMargins;
    bool FbCheckPending = false;
    std::function<void()> FOnChange;
};
