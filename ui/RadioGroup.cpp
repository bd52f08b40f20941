#include "ui/RadioGroup.h"

#include <QBoxLayout>
#include <QRadioButton>

RadioGroup::RadioGroup(const QString& title, const QStringList& items, QWidget* parent, Qt::Orientation orientation)
    : QGroupBox(title, parent) {
    if (orientation == Qt::Vertical)
        layout_ = new QVBoxLayout(this);
    else
        layout_ = new QHBoxLayout(this);
    layout_->setContentsMargins(8, 4, 8, 4);
    layout_->setSpacing(2);
    group_.setExclusive(true);
    connect(&group_, &QButtonGroup::idClicked, this, &RadioGroup::onButton);
    setItems(items);
}

void RadioGroup::setItems(const QStringList& items) {
    for (QRadioButton* b : buttons_) {
        group_.removeButton(b);
        delete b;
    }
    buttons_.clear();
    items_ = items;
    index_ = -1;
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        b->setObjectName(objectName() + QString::number(i));
        group_.addButton(b, i);
        layout_->addWidget(b);
        buttons_.push_back(b);
    }
}

QRadioButton* RadioGroup::button(int index) const {
    return (index >= 0 && index < buttons_.size()) ? buttons_[index] : nullptr;
}

void RadioGroup::setItemIndex(int index) {
    if (index < -1 || index >= buttons_.size()) index = -1;
    if (index == index_) return;
    index_ = index;
    if (index < 0) {
        group_.setExclusive(false);
        for (QRadioButton* b : buttons_) b->setChecked(false);
        group_.setExclusive(true);
    } else {
        buttons_[index]->setChecked(true);
    }
    emit clicked();
}

void RadioGroup::onButton(int id) {
    if (id == index_) {
        emit reclicked();
        return;
    }
    index_ = id;
    emit clicked();
}
