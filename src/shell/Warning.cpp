#include "shell/Warning.h"

#include <QDialog>

#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <algorithm>

#include "shell/DialogUnits.h"

namespace nbtv {

namespace {

WarningFunction& currentFunction() {
    static WarningFunction function = showWarningWindow;
    return function;
}

} // namespace

void showWarning(QWidget* owner, const QString& caption, const QString& text) {
    currentFunction()(owner, caption, text);
}

WarningFunction setWarningFunction(WarningFunction function) {
    WarningFunction previous = std::move(currentFunction());
    currentFunction() = std::move(function);
    return previous;
}

void showWarningWindow(QWidget* owner, const QString& caption, const QString& text) {
    QDialog window(owner, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                              Qt::WindowCloseButtonHint);
    window.setObjectName("warningWindow");
    window.setWindowTitle(caption);
    const DialogUnits units(window.font());
    window.setFixedSize(units.width(260), units.height(30));

    auto* label = new QLabel(text, &window);
    label->setObjectName("warningText");
    label->setGeometry(0, 0, units.width(260), units.height(20));
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    // 14 points: the pixel height is (pixels per logical inch x 14) / 72, truncated.
    QFont font("Arial");
    font.setPixelSize(std::max(1, window.logicalDpiY() * 14 / 72));
    font.setWeight(QFont::Normal);
    label->setFont(font);
    label->setAutoFillBackground(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, Qt::red);
    palette.setColor(QPalette::WindowText, Qt::white);
    label->setPalette(palette);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        window.move(area.center() - QPoint(window.width() / 2, window.height() / 2));
    }
    window.exec();
}

} // namespace nbtv
