// The help notes and the about window: fixed texts on a coloured background, owned by the main
// window and modal to it.

#include <QColor>
#include <QLabel>
#include <QMainWindow>
#include <QPalette>

#include "dialogs/DialogRules.h"
#include "dialogs/DialogWindows.h"
#include "dialogs/Dialogs.h"
#include "profiles/ReceiverProfile.h"
#include "widgets/Controls.h"
#include "widgets/DialogUnits.h"

namespace nbtv {

namespace {

// A rectangle in dialog units.
struct Units {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct TextWindow {
    const char* objectName;
    QString caption;
    Units size;
    QColor background;
    Units titleRect;
    Units bodyRect;
    Qt::Alignment bodyAlignment;
    QString title;
    QString body;
};

QRect pixels(const DialogUnits& units, const Units& rect) {
    return {units.width(rect.x), units.height(rect.y), units.width(rect.width),
            units.height(rect.height)};
}

// The owner's client area: below the menu bar of a main window.
QPoint clientOrigin(const QWidget* owner) {
    if (owner == nullptr) {
        return {};
    }
    if (const auto* main = qobject_cast<const QMainWindow*>(owner); main && main->centralWidget()) {
        return main->centralWidget()->mapToGlobal(QPoint(0, 0));
    }
    return owner->mapToGlobal(QPoint(0, 0));
}

QLabel* addLabel(QDialog* window, int id, const QString& text, const QRect& rect,
                 Qt::Alignment alignment) {
    auto* label = new QLabel(text, window);
    setControlId(label, id);
    label->setTextFormat(Qt::PlainText);
    label->setGeometry(rect);
    // Static text wraps at word boundaries and starts at the top.
    label->setAlignment(alignment | Qt::AlignTop);
    label->setWordWrap(true);
    label->setAutoFillBackground(true);
    return label;
}

void showTextWindow(QWidget* owner, const TextWindow& text) {
    auto* window = new QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    window->setObjectName(QString::fromLatin1(text.objectName));
    window->setWindowTitle(text.caption);
    window->setWindowIcon(owner != nullptr ? owner->windowIcon() : programIcon());
    window->setWindowModality(Qt::WindowModal);
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, text.background);
    window->setPalette(palette);
    window->setAutoFillBackground(true);

    const DialogUnits units(window->font());
    window->setFixedSize(units.width(text.size.width), units.height(text.size.height));
    window->move(clientOrigin(owner) + QPoint(units.width(text.size.x), units.height(text.size.y)));

    QLabel* title =
        addLabel(window, 10001, text.title, pixels(units, text.titleRect), Qt::AlignHCenter);
    addLabel(window, 10002, text.body, pixels(units, text.bodyRect), text.bodyAlignment);

    // The title font lives with its label, so it goes when the window is deleted.
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(titleFontPixelSize(window->logicalDpiY()));
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    title->setFont(font);

    runUntilClosed(window);
}

} // namespace

void showHelp(QWidget* owner, const ReceiverProfile& profile) {
    const ProgramTexts& texts = programTexts(profile.name);
    showTextWindow(owner, {helpWindowName,
                           QStringLiteral("HELP notes"),
                           {100, 50, 270, 115},
                           QColor(255, 255, 223),
                           {0, 5, 270, 15},
                           {5, 20, 260, 90},
                           Qt::AlignLeft,
                           QStringLiteral("Morvane"),
                           texts.helpLines.join(QLatin1Char('\n'))});
}

void showAbout(QWidget* owner, const ReceiverProfile& profile) {
    const ProgramTexts& texts = programTexts(profile.name);
    showTextWindow(owner, {aboutWindowName,
                           QStringLiteral("About Morvane"),
                           {100, 50, 150, 85},
                           QColor(159, 220, 220),
                           {0, 5, 150, 35},
                           {0, 35, 150, 60},
                           Qt::AlignHCenter,
                           texts.colourLine + QStringLiteral("\nNBTV receiver"),
                           texts.versionLine + QLatin1Char('\n') + texts.dateLine});
}

} // namespace nbtv
