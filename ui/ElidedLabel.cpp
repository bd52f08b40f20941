#include "ui/ElidedLabel.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>

namespace {
// Room asked for: a description of the usual length, not the text itself.
constexpr int kWantedCharacters = 32;
}  // namespace

ElidedLabel::ElidedLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetrics fm(font());
    const int wanted = fm.averageCharWidth() * kWantedCharacters;
    return {std::min(wanted, fm.horizontalAdvance(text()) + 4), fm.height() + 4};
}

QSize ElidedLabel::minimumSizeHint() const {
    const QFontMetrics fm(font());
    return {fm.horizontalAdvance(QStringLiteral("M…")), fm.height() + 4};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, r.width());
    style()->drawItemText(&p, r, static_cast<int>(alignment()), palette(), isEnabled(), shown, foregroundRole());
}

// The whole text is in the tooltip when it does not fit.
bool ElidedLabel::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip && fontMetrics().horizontalAdvance(text()) <= contentsRect().width()) return true;
    if (e->type() == QEvent::ToolTip) setToolTip(text());
    return QLabel::event(e);
}
