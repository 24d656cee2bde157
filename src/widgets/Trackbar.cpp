#include "widgets/Trackbar.h"

#include <QKeyEvent>
#include <QWheelEvent>

#include <cstdlib>

namespace nbtv {

Trackbar::Trackbar(Qt::Orientation orientation, QWidget* parent) : QSlider(orientation, parent) {
    // A vertical trackbar has its minimum at the top.
    setInvertedAppearance(orientation == Qt::Vertical);
    setTracking(true);
    connect(this, &QSlider::actionTriggered, this, &Trackbar::onAction);
    connect(this, &QSlider::sliderMoved, this,
            [this](int position) { emit scrolled(ThumbTrack, position); });
    connect(this, &QSlider::sliderReleased, this, [this] {
        emit scrolled(ThumbPosition, sliderPosition());
        emit scrolled(EndTrack, sliderPosition());
    });
}

void Trackbar::onAction(int action) {
    // Clicks on the channel page towards the click. actionTriggered comes before the value is
    // stored, so the position is read from sliderPosition().
    int code = -1;
    switch (action) {
    case QAbstractSlider::SliderPageStepAdd:
        code = PageDown;
        break;
    case QAbstractSlider::SliderPageStepSub:
        code = PageUp;
        break;
    case QAbstractSlider::SliderSingleStepAdd:
        code = LineDown;
        break;
    case QAbstractSlider::SliderSingleStepSub:
        code = LineUp;
        break;
    case QAbstractSlider::SliderToMinimum:
        code = Top;
        break;
    case QAbstractSlider::SliderToMaximum:
        code = Bottom;
        break;
    default:
        return;
    }
    setValue(sliderPosition());
    emit scrolled(code, value());
}

void Trackbar::keyPressEvent(QKeyEvent* event) {
    int code = -1;
    int target = value();
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Up:
        code = LineUp;
        target -= singleStep();
        break;
    case Qt::Key_Right:
    case Qt::Key_Down:
        code = LineDown;
        target += singleStep();
        break;
    case Qt::Key_PageUp:
        code = PageUp;
        target -= pageStep();
        break;
    case Qt::Key_PageDown:
        code = PageDown;
        target += pageStep();
        break;
    case Qt::Key_Home:
        code = Top;
        target = minimum();
        break;
    case Qt::Key_End:
        code = Bottom;
        target = maximum();
        break;
    default:
        QSlider::keyPressEvent(event);
        return;
    }
    step(code, target);
    keyScrolled_ = true;
    event->accept();
}

void Trackbar::step(int code, int target) {
    {
        const QSignalBlocker quiet(this); // the code is the report, not actionTriggered
        setValue(target);
    }
    emit scrolled(code, value());
}

void Trackbar::wheelEvent(QWheelEvent* event) {
    // One line per notch: forward moves towards the minimum, as the trackbar does.
    const int notches = event->angleDelta().y() / 120;
    for (int i = 0; i < std::abs(notches); ++i) {
        step(notches > 0 ? LineUp : LineDown,
             value() + (notches > 0 ? -singleStep() : singleStep()));
    }
    if (notches != 0) {
        emit scrolled(EndTrack, value());
    }
    event->accept();
}

void Trackbar::keyReleaseEvent(QKeyEvent* event) {
    if (keyScrolled_ && !event->isAutoRepeat()) {
        keyScrolled_ = false;
        emit scrolled(EndTrack, value());
    }
    QSlider::keyReleaseEvent(event);
}

} // namespace nbtv
