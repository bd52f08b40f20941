#pragma once
#include <QWidget>

class QToolButton;

// Up and down arrows beside an edit box. It holds no value of its own: each
// click (or auto-repeat while held) reports +1 or -1.
class UpDownControl : public QWidget {
    Q_OBJECT
public:
    explicit UpDownControl(QWidget* parent = nullptr);
    QToolButton* upButton() const { return up_; }
signals:
    void changing(int direction);

private:
    QToolButton* up_;
    QToolButton* down_;
};
