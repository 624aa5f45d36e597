#include "ui/uWindowPlace.h"

#include <QEvent>
#include <QWidget>
#include <QWindow>

QMargins FrameMargins(const QWidget& w) {
    // The native window asks the window system; QWidget keeps a copy that may date from before
    // the frame arrived.
    if (const QWindow* p = w.windowHandle(); p != nullptr && w.isVisible())
        return p->frameMargins();
    const QRect rFrame = w.frameGeometry();
    const QRect rInner = w.geometry();
    return {rInner.left() - rFrame.left(), rInner.top() - rFrame.top(),
            rFrame.right() - rInner.right(), rFrame.bottom() - rInner.bottom()};
}

QRect OuterGeometry(const QWidget& w) {
    if (const QWindow* p = w.windowHandle(); p != nullptr && w.isVisible())
        return p->frameGeometry();
    return w.frameGeometry();
}

void SetOuterGeometry(QWidget& w, int iLeft, int iTop, int iWidth, int iHeight, bool bFixed) {
    const QMargins m = FrameMargins(w);
    const QSize inner(iWidth - m.left() - m.right(), iHeight - m.top() - m.bottom());
    const QPoint pt(iLeft, iTop);
    if (bFixed)
        w.setFixedSize(inner);
    QWindow* p = w.windowHandle();
    if (p == nullptr || !p->isVisible()) {
        // Not on screen yet: the position counts for the frame when it is shown the first time,
        // later with the frame it had.
        w.resize(inner);
        w.move(pt);
        return;
    }
    // On screen: the window system answers each request later, so what Qt believes of the
    // window's size and place may be out of date; both requests go out every time. The size
    // first (it keeps the inner corner where Qt last saw it), then the frame's corner, which the
    // window manager honours whether it has made the frame yet or not.
    if (w.size() != inner)
        w.resize(inner);
    else
        p->resize(inner);
    p->setFramePosition(pt);
}

TFrameWatch::TFrameWatch(QWidget& w, std::function<void()> onChange)
    : QObject(&w), FWidget(w), FOnChange(std::move(onChange)) {
    w.installEventFilter(this);
}

bool TFrameWatch::eventFilter(QObject* pWatched, QEvent* pEvent) {
    const QEvent::Type type = pEvent->type();
    if (pWatched == &FWidget && type == QEvent::Show && FWidget.windowHandle() != FWindow) {
        // The native window exists from the first showing on; its events tell of the frame.
        if (FWindow)
            FWindow->removeEventFilter(this);
        FWindow = FWidget.windowHandle();
        if (FWindow)
            FWindow->installEventFilter(this);
    }
    // The window manager frames a window before it maps it (Expose) and changes the frame with
    // the window's geometry or state; look after the event has been handled.
    if (!FbCheckPending &&
        (type == QEvent::Show || type == QEvent::Expose || type == QEvent::Move ||
         type == QEvent::Resize || type == QEvent::FocusIn || type == QEvent::WindowStateChange)) {
        // One look for a burst of events (a window being dragged sends many).
        FbCheckPending = true;
        QMetaObject::invokeMethod(this, &TFrameWatch::Check, Qt::QueuedConnection);
    }
    return false;
}

void TFrameWatch::Check() {
    FbCheckPending = false;
    if (!FWindow || !FWidget.isVisible())
        return;
    const QMargins m = FWindow->frameMargins();
    if (m == FMargins)
        return;
    FMargins = m;
    FOnChange();
}
