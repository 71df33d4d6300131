#pragma once

#include <QLineEdit>

// A one-line edit that also reports the focus moving on to another control of the window and
// a mouse button released over it; QLineEdit::editingFinished fires only after a change.
class PathEdit : public QLineEdit {
    Q_OBJECT

public:
    using QLineEdit::QLineEdit;

signals:
    void exited();
    void mouseReleased();

protected:
    void focusOutEvent(QFocusEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};
