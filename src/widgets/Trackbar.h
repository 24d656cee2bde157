#pragma once
// A slider that behaves and reports like the platform trackbar the receivers were designed with:
// scroll codes instead of values, the minimum at the left or the top, and keys that move it the
// trackbar's way (Left/Up and Page Up decrease, Right/Down and Page Down increase).

#include <QSlider>

namespace nbtv {

class Trackbar : public QSlider {
    Q_OBJECT
  public:
    // The trackbar's scroll codes.
    enum Code {
        LineUp = 0,
        LineDown = 1,
        PageUp = 2,
        PageDown = 3,
        ThumbPosition = 4,
        ThumbTrack = 5,
        Top = 6,
        Bottom = 7,
        EndTrack = 8,
    };

    Trackbar(Qt::Orientation orientation, QWidget* parent = nullptr);

  signals:
    // Every movement: the code and the position the trackbar reports with it (the new position
    // for ThumbTrack and ThumbPosition; the current position otherwise).
    void scrolled(int code, int position);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

  private:
    void onAction(int action);
    void step(int code, int target);
    bool keyScrolled_ = false;
};

} // namespace nbtv
