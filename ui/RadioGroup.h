// A titled group of radio buttons with an item index (-1 = none) and a tag,
// the way the main window's settings choices are written.
#pragma once
#include <QButtonGroup>
#include <QGroupBox>
#include <QStringList>
#include <QVector>

class QRadioButton;
class QBoxLayout;

class RadioGroup : public QGroupBox {
    Q_OBJECT
public:
    RadioGroup(const QString& title, const QStringList& items, QWidget* parent = nullptr,
               Qt::Orientation orientation = Qt::Vertical);

    int itemIndex() const { return index_; }
    // Selects an item from the program. Like a click, a change of index
    // raises clicked(); handlers that must not react to the program's own
    // settings check the selection lock.
    void setItemIndex(int index);
    void setItems(const QStringList& items);
    QRadioButton* button(int index) const;

    int tag = 0;

signals:
    void clicked();
    // The user clicked the item that was already selected.
    void reclicked();

private:
    void onButton(int id);

    QStringList items_;
    QButtonGroup group_;
    QVector<QRadioButton*> buttons_;
    QBoxLayout* layout_ = nullptr;
    int index_ = -1;
};
