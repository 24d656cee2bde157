#include "display/Display.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QRect>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "picture/PilotScopeTraces.h"

namespace nbtv {

namespace {

constexpr QRgb black = qRgb(0, 0, 0);
constexpr QRgb cyan = qRgb(0, 255, 255);
constexpr QRgb red = qRgb(255, 0, 0);
constexpr QRgb yellow = qRgb(255, 255, 0);

// Points of a trace, x = 1..scopePoints; the marker and centre lines span the same x.
constexpr int scopePoints = static_cast<int>(ScopeTrace{}.size()) - 1;

// The caption's top-left corner in the scope.
constexpr int captionX = 20;
constexpr int captionY = 200;

constexpr qsizetype bytesPerPixel = sizeof(std::uint32_t);

// A rectangle of a surface as an image over the surface's own pixels, without copying. Being
// an image of its own, smooth scaling clamps at its edges instead of blending in its
// surroundings.
QImage regionImage(const PixelSurface& surface, const QRect& area) {
    const std::size_t first = static_cast<std::size_t>(area.y()) * surface.width + area.x();
    return QImage(reinterpret_cast<const uchar*>(surface.pixels.data() + first), area.width(),
                  area.height(), surface.width * bytesPerPixel, QImage::Format_RGB32);
}

// Copies as much of the surface's top-left as the image holds, a row at a time; both store a
// pixel as the same 32-bit value, so the rows copy as they are.
void copyTopLeft(const PixelSurface& surface, QImage& image) {
    const int width = std::min(surface.width, image.width());
    const int height = std::min(surface.height, image.height());
    if (width <= 0 || height <= 0) {
        return;
    }
    uchar* target = image.bits();
    const qsizetype stride = image.bytesPerLine();
    const std::size_t rowBytes = static_cast<std::size_t>(width) * bytesPerPixel;
    for (int y = 0; y < height; ++y) {
        std::memcpy(target + y * stride,
                    &surface.pixels[static_cast<std::size_t>(y) * surface.width], rowBytes);
    }
}

// A one-pixel line on row y from x0 up to but not including x1, clipped to the image.
void horizontalLine(QImage& image, int x0, int x1, int y, QRgb colour) {
    if (y < 0 || y >= image.height()) {
        return;
    }
    const int from = std::max(x0, 0);
    const int to = std::min(x1, image.width());
    if (from >= to) {
        return;
    }
    QRgb* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    std::fill(row + from, row + to, colour);
}

void drawCaption(QImage& image, const std::string& caption) {
    QFont font(QStringLiteral("Liberation Sans")); // metric twin of Arial
    font.setStyleHint(QFont::SansSerif);
    // 8 points at the 96 dots per inch the window is laid out for, whatever the screen reports,
    // so the caption keeps its size inside the fixed 100-pixel scope.
    font.setPixelSize(11);
    // Plain white on black, like the bitmap text of the window's default font.
    font.setStyleStrategy(QFont::NoAntialias);

    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.setBackground(Qt::black);
    painter.setBackgroundMode(Qt::OpaqueMode);
    // Text is placed by its baseline: the top of the character cell goes at captionY.
    const int baseline = captionY + QFontMetrics(font).ascent();
    painter.drawText(QPoint(captionX, baseline), QString::fromStdString(caption));
}

} // namespace

void drawPicture(SurfaceView& view, const PixelSurface& pictureSurface,
                 const ReceiverProfile& profile, int bigPicture) {
    QImage& image = view.image();
    if (bigPicture != 0 && profile.bigPictureView) {
        const PixelRect& crop = profile.geometry.pictureCrop;
        const QRect area =
            QRect(crop.x0, crop.y0, crop.width, crop.height)
                .intersected(QRect(0, 0, pictureSurface.width, pictureSurface.height));
        if (area.isEmpty()) {
            return;
        }
        // A square as high as the surface, centred: (35, 0), 219 x 219 in nbtv48. The bands
        // beside it keep what the last natural-size picture left there.
        const int side = pictureSurface.height;
        const QRect target((pictureSurface.width - side + 1) / 2, 0, side, side);
        QPainter painter(&image);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        // Averages neighbouring pixels when scaling, as halftone stretching does.
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, regionImage(pictureSurface, area));
    } else if (profile.stretchedPictureHeight > 0) {
        // The whole surface stretched to the profile's height, averaged as halftone does; what
        // falls below the view is cut off.
        QPainter painter(&image);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(0, 0, pictureSurface.width, profile.stretchedPictureHeight),
                          surfaceImage(pictureSurface));
    } else {
        copyTopLeft(pictureSurface, image);
    }
    view.repaint();
}

void drawPilotScope(SurfaceView& view, const PictureStore& store, const ReceiverProfile& profile,
                    const ReceiverSettings& settings) {
    QImage& image = view.image();
    image.fill(black);

    const PilotScopeGeometry& scope = profile.scope;
    const std::vector<ScopeTrace> traces = pilotScopeTraces(profile, store, settings.colourMode);
    const std::size_t count = std::min(traces.size(), scope.baselines.size());
    const int width = image.width();
    const int height = image.height();
    for (std::size_t t = 0; t < count; ++t) {
        for (int x = 1; x <= scopePoints && x < width; ++x) {
            // 64 bits: a saturated trace value would overflow the subtraction.
            const std::int64_t y = std::int64_t{scope.baselines[t]} - traces[t][x];
            if (y >= 0 && y < height) {
                reinterpret_cast<QRgb*>(image.scanLine(static_cast<int>(y)))[x] = cyan;
            }
        }
    }
    // The centre line goes last of the two, so at the default marker only yellow shows.
    horizontalLine(image, 1, scopePoints, settings.pilotMarker, red);
    horizontalLine(image, 1, scopePoints, scope.centreLine, yellow);
    if (!scope.caption.empty()) {
        drawCaption(image, scope.caption);
    }
    view.repaint();
}

void showMonitorStrip(SurfaceView& view, const PixelSurface& monitorSurface) {
    copyTopLeft(monitorSurface, view.image());
    view.repaint();
}

QImage surfaceImage(const PixelSurface& surface) {
    return QImage(reinterpret_cast<const uchar*>(surface.pixels.data()), surface.width,
                  surface.height, surface.width * bytesPerPixel, QImage::Format_RGB32);
}

} // namespace nbtv
