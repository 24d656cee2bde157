#pragma once
// Controls that act like the platform controls the receivers were designed with.

#include <QCheckBox>
#include <QRadioButton>
#include <QWidget>

namespace nbtv {

// Tags a control with its command identifier (several controls may share one).
void setControlId(QWidget* control, int id);
// The identifier of a control, 0 for none.
int controlId(const QObject* control);

// Radio button and check box that react to a click anywhere on their rectangle, not only on the
// indicator and the text.
class RadioButton : public QRadioButton {
    Q_OBJECT
  public:
    using QRadioButton::QRadioButton;

  protected:
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

class CheckBox : public QCheckBox {
    Q_OBJECT
  public:
    using QCheckBox::QCheckBox;

  protected:
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

} // namespace nbtv
