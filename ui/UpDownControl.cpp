#include "ui/UpDownControl.h"

#include <QToolButton>
#include <QVBoxLayout>

UpDownControl::UpDownControl(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    up_ = new QToolButton(this);
    down_ = new QToolButton(this);
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFixedSize(18, 13);
        layout->addWidget(b);
    }
    connect(up_, &QToolButton::clicked, this, [this] { emit changing(+1); });
    connect(down_, &QToolButton::clicked, this, [this] { emit changing(-1); });
}
