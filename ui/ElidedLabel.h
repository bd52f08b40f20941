// A one-line label whose text never widens the window: a text longer than
// the room it has is shown cut with an ellipsis, and whole in its tooltip.
// text() stays the whole text.
#pragma once
#include <QLabel>

class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(const QString& text, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* e) override;
};
