// The files' texts in the window: their conversion for display and typing,
// and the refusal of characters the files cannot hold.
#pragma once
#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <QValidator>
#include <algorithm>
#include <optional>
#include <string>

#include "storage/codepage.h"

// Texts in the settings files (descriptions) are bytes of the Windows-1252
// code page, one byte a character. Every byte shows as its character, so
// showing a text and taking it back gives every byte again.
inline QString shown_text(const std::string& bytes) {
    const std::u32string text = corvell::cp1252_to_u32(bytes);
    return QString::fromUcs4(text.data(), static_cast<qsizetype>(text.size()));
}

// The first character of `text` that a description in the files cannot
// hold: one outside the code page, or a zero, which ends a field.
inline std::optional<char32_t> first_unstorable(const QString& text) {
    for (char32_t c : text.toStdU32String()) {
        if (c == 0 || !corvell::cp1252_from_unicode(c)) return c;
    }
    return std::nullopt;
}

// The bytes of a text that first_unstorable accepts.
inline std::string typed_text(const QString& text) { return corvell::cp1252_from_u32(text.toStdU32String()); }

// What the user is told when a character is refused.
inline QString unstorable_hint(char32_t c) { return QString::fromStdString(corvell::unstorable_text(c)); }

// Shows in `hint` which character was refused and why.
inline void show_refusal(QLabel* hint, char32_t c) {
    hint->setText(unstorable_hint(c));
    hint->show();
}

// Refuses every edit (a key, a paste, a drop) that would put a character
// into a description box that the files cannot hold, so nothing is ever
// replaced behind the user's back; the refused character is kept for the
// hint. The box's inputRejected signal follows a refusal.
class DescriptionValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& text, int&) const override {
        refused_ = first_unstorable(text);
        return refused_ ? Invalid : Acceptable;
    }
    // The character of the last refusal; none after an accepted edit (a
    // refusal for the box's length only).
    std::optional<char32_t> refused() const { return refused_; }

private:
    mutable std::optional<char32_t> refused_;
};

// A description box shows a text read from a file whole even when it is
// longer than a description may be (the next save shortens it and says
// so); otherwise it takes at most the 32 characters (bytes) a description
// holds.
inline int description_max_length(const QString& shown) {
    return std::max(static_cast<int>(corvell::kDescriptionLimit), static_cast<int>(shown.size()));
}

// Gives a description box its validator, and shows in `hint` which
// character was refused and why, until the next edit that the box takes
// (the text holds nothing the files cannot).
inline void refuse_unstorable(QLineEdit* box, QLabel* hint) {
    auto* validator = new DescriptionValidator(box);
    box->setValidator(validator);
    QObject::connect(box, &QLineEdit::inputRejected, hint, [validator, hint] {
        if (const auto c = validator->refused()) show_refusal(hint, *c);
    });
    QObject::connect(box, &QLineEdit::textEdited, hint, [hint](const QString& text) {
        if (!hint->isHidden() && !first_unstorable(text)) hint->hide();
    });
}

// The line under description boxes that shows refusals; hidden until one.
inline QLabel* make_refusal_hint(const char* name, QWidget* parent) {
    auto* hint = new QLabel(parent);
    hint->setObjectName(QString::fromLatin1(name));
    hint->setTextFormat(Qt::PlainText);
    hint->setWordWrap(true);
    hint->setStyleSheet("color: #a00000;");
    hint->hide();
    return hint;
}
