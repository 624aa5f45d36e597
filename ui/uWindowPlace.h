// Placing top-level windows by their outer (frame) rectangle, as the placement rules are
// stated. Before a window is first shown its frame is not known yet and counts as none.
#pragma once

#include <QRect>
#include <QWidget>

inline QRect OuterGeometry(const QWidget& w) {
    return w.frameGeometry();
}

// The frame is known only once the window exists on screen; a window placed before that places
// itself again when shown (see TPlacedOnShow).
inline void SetOuterGeometry(QWidget& w, int iLeft, int iTop, int iWidth, int iHeight) {
    const QRect rFrame = w.frameGeometry();
    const QRect rInner = w.geometry();
    const int iExtraW = rFrame.width() - rInner.width();
    const int iExtraH = rFrame.height() - rInner.height();
    w.move(iLeft, iTop); // move() places the frame's top-left corner
    w.resize(iWidth - iExtraW, iHeight - iExtraH);
}
