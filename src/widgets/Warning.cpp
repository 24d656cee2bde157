#include "widgets/Warning.h"

#include <QDialog>

#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QStringList>
#include <QTextLayout>
#include <algorithm>

#include "widgets/DialogUnits.h"

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

namespace {

// The text in lines that fit `width`: broken between words where it can, inside a word (a long
// path) where it must; its own line breaks kept.
QString wrapped(const QString& text, const QFont& font, int width) {
    QStringList lines;
    for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
        QTextLayout layout(paragraph, font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        bool any = false;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            lines << paragraph.mid(line.textStart(), line.textLength()).trimmed();
            any = true;
        }
        layout.endLayout();
        if (!any) {
            lines << QString();
        }
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

void showWarningWindow(QWidget* owner, const QString& caption, const QString& text) {
    QDialog window(owner, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                              Qt::WindowCloseButtonHint);
    window.setObjectName("warningWindow");
    window.setWindowTitle(caption);
    const DialogUnits units(window.font());
    const int width = units.width(260);

    // 14 points: the pixel height is (pixels per logical inch x 14) / 72, truncated.
    QFont font("Arial");
    font.setPixelSize(std::max(1, window.logicalDpiY() * 14 / 72));
    font.setWeight(QFont::Normal);
    const QFontMetrics metrics(font);

    // A text that fits one line of the label shows as it is; a longer one is wrapped inside the
    // window's width and the window grows downwards to hold it, up to the screen's height.
    QString shown = text;
    int labelHeight = units.height(20);
    int windowHeight = units.height(30);
    if (text.contains(QLatin1Char('\n')) || metrics.horizontalAdvance(text) > width) {
        shown = wrapped(text, font, width);
        const int needed =
            metrics
                .boundingRect(QRect(0, 0, width, 1 << 20), Qt::AlignHCenter | Qt::AlignTop, shown)
                .height();
        labelHeight = std::max(labelHeight, needed);
        windowHeight = labelHeight + windowHeight - units.height(20);
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            windowHeight = std::min(windowHeight, screen->availableGeometry().height());
        }
    }
    window.setFixedSize(width, windowHeight);

    auto* label = new QLabel(shown, &window);
    label->setObjectName("warningText");
    label->setGeometry(0, 0, width, labelHeight);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
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
