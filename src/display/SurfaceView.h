#pragma once
// A drawing area of the main window: a child widget with an off-screen image of its own size,
// from which it repaints itself. Presses pass through to the window beneath.

#include <QImage>
#include <QWidget>

namespace nbtv {

class SurfaceView : public QWidget {
    Q_OBJECT
  public:
    SurfaceView(int id, int width, int height, QWidget* parent);

    int id() const { return id_; }
    QImage& image() { return image_; }
    const QImage& image() const { return image_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int id_;
    QImage image_; // Format_RGB32, black at start
};

} // namespace nbtv
