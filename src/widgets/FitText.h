#pragma once
// Captions that fit their controls. The controls keep the rectangles and texts they were
// designed with; where a caption is wider than the room its control gives it (the platform the
// receivers were designed on had a narrower 8-point font), the caption's font is condensed
// horizontally just enough. A label that wraps may use its lines as well.

#include <QMenuBar>
#include <QWidget>

namespace nbtv {

// The room the control gives its caption, in its own pixels.
QRect captionRoom(const QWidget* control);
// The caption of the control (button text, label text, group title).
QString caption(const QWidget* control);
// Whether `font` draws the control's caption inside its room.
bool captionFits(const QWidget* control, const QFont& font);
// Gives the control the widest condensing of its parent's font in which its caption fits.
void fitCaption(QWidget* control);

// A menu bar whose menus wrap onto a second row when they do not fit the window's width, as
// the menu bar of the platform the receivers were designed on does, instead of hiding behind an
// extension button. The first row is the bar itself; the menus that do not fit move to a bar of
// their own below it, inside this one's rectangle.
class WrappingMenuBar : public QMenuBar {
    Q_OBJECT
  public:
    explicit WrappingMenuBar(QWidget* parent = nullptr);
    // Moves the menus that do not fit `width` to the second row (in order), once every menu
    // has been added.
    void wrapTo(int width);
    // The second row, or nullptr while everything fits on the first.
    QMenuBar* secondRow() const { return second_; }
    // The height of the first row.
    int firstRowHeight() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    int heightForWidth(int width) const override;

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    int secondRowHeight() const;
    QMenuBar* second_ = nullptr;
};

} // namespace nbtv
