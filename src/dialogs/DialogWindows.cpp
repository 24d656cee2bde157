#include "dialogs/DialogWindows.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QScreen>
#include <QStyleOptionButton>
#include <QStylePainter>

namespace nbtv {

SettingsDialog::SettingsDialog(const char* objectName, const QString& caption)
    : QDialog(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QString::fromLatin1(objectName));
    setWindowTitle(caption);
    // Closing the main window ends the program even while a dialog is open.
    setAttribute(Qt::WA_QuitOnClose, false);
}

void SettingsDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void WrapButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString label = option.text;
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    painter.drawItemText(area, Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic, palette(),
                         isEnabled(), label, QPalette::ButtonText);
}

void runUntilClosed(QDialog* dialog) {
    QPointer<QDialog> guard(dialog);
    QEventLoop loop;
    QObject::connect(dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    QObject::connect(dialog, &QObject::destroyed, &loop, &QEventLoop::quit);
    dialog->show();
    if (guard && guard->isVisible()) {
        loop.exec(QEventLoop::DialogExec);
    }
    delete guard.data();
}

QPoint centredIn(const QRect& area, const QSize& size) {
    return area.topLeft() +
           QPoint((area.width() - size.width()) / 2, (area.height() - size.height()) / 2);
}

QRect screenArea() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect();
}

QRect workArea() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

QIcon programIcon() {
    QIcon icon;
    for (const char* file : {":/icons/nbtv-16.png", ":/icons/nbtv-32.png", ":/icons/nbtv.svg"}) {
        icon.addFile(QString::fromLatin1(file));
    }
    return icon;
}

} // namespace nbtv
