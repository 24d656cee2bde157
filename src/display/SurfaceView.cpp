#include "display/SurfaceView.h"

#include <QPaintEvent>
#include <QPainter>
#include <QString>

namespace nbtv {

SurfaceView::SurfaceView(int id, int width, int height, QWidget* parent)
    : QWidget(parent), id_(id), image_(width, height, QImage::Format_RGB32) {
    image_.fill(Qt::black);
    setObjectName(QString("id%1").arg(id));
    setProperty("controlId", id);
    // The window reads presses in its own client coordinates (fine tune, frame phase), so
    // they must fall through this control.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    // The image covers the whole control: no background fill, hence no flicker.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    resize(width, height);
}

void SurfaceView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRect area = event->rect();
    if (!image_.rect().contains(area)) {
        painter.fillRect(area, Qt::black); // a control laid out larger than its image
    }
    painter.drawImage(area.topLeft(), image_, area);
}

} // namespace nbtv
