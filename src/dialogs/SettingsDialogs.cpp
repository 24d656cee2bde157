// The sound-card, calibration, picture and frame-rate dialogs.

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>

#include "core/NumberText.h"
#include "core/ReceiverSettings.h"
#include "dialogs/DialogRules.h"
#include "dialogs/DialogWindows.h"
#include "dialogs/Dialogs.h"
#include "widgets/Controls.h"
#include "widgets/DialogUnits.h"
#include "widgets/FitText.h"
#include "widgets/Trackbar.h"
#include "widgets/Warning.h"

namespace nbtv {

namespace {

QString number(double value) {
    return QString::fromStdString(numberText(value));
}

QPushButton* addButton(QWidget* parent, const QString& text, int id, const QRect& rect,
                       bool wrap = false) {
    QPushButton* button = wrap ? new WrapButton(text, parent) : new QPushButton(text, parent);
    setControlId(button, id);
    button->setGeometry(rect);
    // A plain window's push button ignores Enter; Space clicks it.
    button->setAutoDefault(false);
    return button;
}

QLabel* addLabel(QWidget* parent, const QString& text, const QRect& rect) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(rect);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    fitCaption(label);
    return label;
}

QRect unitRect(const DialogUnits& units, int x, int y, int width, int height) {
    return {units.width(x), units.height(y), units.width(width), units.height(height)};
}

bool readsSliderPosition(int code) {
    switch (code) {
    case Trackbar::LineUp:
    case Trackbar::LineDown:
    case Trackbar::PageUp:
    case Trackbar::PageDown:
    case Trackbar::Top:
    case Trackbar::Bottom:
        return true;
    default:
        return false;
    }
}

QString calibrationCaption(double sampleRateOffset) {
    return QStringLiteral("Soundcard samplerate offset = ") + number(100.0 * sampleRateOffset) +
           QStringLiteral("%");
}

} // namespace

void runSoundCardDialog(DialogContext& context) {
    ReceiverSettings& settings = context.settings;
    auto* dialog = new SettingsDialog(soundCardDialogName, QStringLiteral("Select soundcard"));
    // The pixel sizes of these dialogs are given to the client area: counted with the frame
    // and title bar, the lowest controls would be cut off.
    dialog->setFixedSize(210, 114);
    dialog->move(centredIn(screenArea(), dialog->size()));

    auto* list = new QListWidget(dialog);
    setControlId(list, 1601);
    list->setGeometry(0, 0, 210, 90);
    list->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QPushButton* apply = addButton(dialog, QStringLiteral("Apply"), 1602, {75, 92, 60, 20});

    dialog->setWindowTitle(QStringLiteral("Current soundcard = ") + number(settings.deviceIndex));
    QObject::connect(apply, &QPushButton::clicked, dialog, [&context, &settings, dialog, list] {
        // The selected entry, as the list reports it: -1 when nothing is selected, which the
        // capture takes as the preferred device.
        const QList<QListWidgetItem*> selected = list->selectedItems();
        settings.deviceIndex = selected.isEmpty() ? -1 : list->row(selected.first());
        dialog->setWindowTitle(QStringLiteral("New soundcard = ") + number(settings.deviceIndex));
        context.restartCapture();
    });

    // In device order, unsorted: a list position is the device number.
    list->addItems(context.listDevices());
    if (list->count() == 0) {
        showWarning(QApplication::activeWindow(), QStringLiteral("WARNING"),
                    QStringLiteral("You have no audio input devices!"));
    }
    runUntilClosed(dialog);
}

void runCalibrationDialog(DialogContext& context) {
    ReceiverSettings& settings = context.settings;
    auto* dialog = new SettingsDialog(calibrationDialogName, QStringLiteral("calibrate soundcard"));
    dialog->setFixedSize(250, 80);
    dialog->move(centredIn(screenArea(), dialog->size()));

    // The slider's static edge is a thin sunken frame around it, inside its rectangle.
    auto* edge = new QFrame(dialog);
    edge->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    edge->setLineWidth(1);
    edge->setGeometry(0, 10, 250, 27);
    auto* slider = new Trackbar(Qt::Horizontal, edge);
    setControlId(slider, 1605);
    slider->setGeometry(edge->contentsRect());
    slider->setTickPosition(QSlider::NoTicks);
    slider->setRange(0, calibrationRange);
    slider->setSingleStep(1);
    slider->setPageStep(calibrationRange / 5); // the trackbar's page: a fifth of the range
    QPushButton* set =
        addButton(dialog, QStringLiteral("Set calibration"), 1604, {20, 45, 100, 20});
    QPushButton* cancel = addButton(dialog, QStringLiteral("Cancel"), 1606, {130, 45, 100, 20});

    const double openedOffset = settings.sampleRateOffset;
    dialog->setWindowTitle(calibrationCaption(settings.sampleRateOffset));
    slider->setValue(calibrationPosition(settings.sampleRateOffset));

    // Every movement takes effect at the next block, so the user sees it in the picture.
    QObject::connect(slider, &Trackbar::scrolled, dialog,
                     [&settings, dialog, slider](int code, int position) {
                         if (code == Trackbar::ThumbTrack) {
                             settings.sampleRateOffset = sampleRateOffsetAt(position);
                         } else if (readsSliderPosition(code)) {
                             settings.sampleRateOffset = sampleRateOffsetAt(slider->value());
                         }
                         dialog->setWindowTitle(calibrationCaption(settings.sampleRateOffset));
                     });
    QObject::connect(set, &QPushButton::clicked, dialog, [&context, &settings] {
        settings.blockLength = calibratedBlockLength(settings.sampleRateOffset);
        context.restartCapture();
    });
    QObject::connect(cancel, &QPushButton::clicked, dialog, [&settings, dialog, openedOffset] {
        settings.sampleRateOffset = openedOffset;
        dialog->close();
    });
    runUntilClosed(dialog);
}

QDialog* openPictureDialog(DialogContext& context) {
    ReceiverSettings& settings = context.settings;
    auto* dialog = new SettingsDialog(pictureDialogName, QStringLiteral("Picture"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowIcon(programIcon());
    dialog->setFixedSize(120, 155);
    dialog->move(10, 10);

    addLabel(dialog, QStringLiteral("Brightness"), {10, 5, 50, 14});
    addLabel(dialog, QStringLiteral("Contrast"), {70, 5, 40, 14});
    auto addSlider = [dialog](int id, const QRect& rect, int level) {
        auto* slider = new Trackbar(Qt::Vertical, dialog);
        setControlId(slider, id);
        slider->setGeometry(rect);
        slider->setTickPosition(QSlider::NoTicks);
        slider->setRange(0, 256);
        slider->setSingleStep(1);
        slider->setPageStep(256 / 5);
        // The top of a slider is the highest level.
        slider->setValue(256 - level);
        return slider;
    };
    Trackbar* brightness = addSlider(423, {20, 20, 24, 100}, settings.brightness);
    Trackbar* contrast = addSlider(424, {75, 20, 25, 100}, settings.contrast);
    QPushButton* defaults =
        addButton(dialog, QStringLiteral("Default settings"), 1701, {0, 125, 60, 30}, true);
    QPushButton* ok = addButton(dialog, QStringLiteral("OK"), 1, {60, 125, 60, 30}, true);

    auto follow = [&settings](Trackbar* slider, int ReceiverSettings::*level) {
        QObject::connect(slider, &Trackbar::scrolled, slider,
                         [&settings, slider, level](int code, int position) {
                             if (code == Trackbar::ThumbTrack) {
                                 settings.*level = 256 - position;
                             } else if (readsSliderPosition(code)) {
                                 settings.*level = 256 - slider->value();
                             }
                         });
    };
    follow(brightness, &ReceiverSettings::brightness);
    follow(contrast, &ReceiverSettings::contrast);
    QObject::connect(defaults, &QPushButton::clicked, dialog, [&settings, brightness, contrast] {
        settings.brightness = 128;
        settings.contrast = 128;
        brightness->setValue(256 - 128);
        contrast->setValue(256 - 128);
    });
    QObject::connect(ok, &QPushButton::clicked, dialog, &QWidget::close);
    QObject::connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
    dialog->show();
    return dialog;
}

void runFrameRateDialog(DialogContext& context) {
    ReceiverSettings& settings = context.settings;
    auto* dialog = new SettingsDialog(frameRateDialogName, QStringLiteral("Save AVI frame rate"));
    const DialogUnits units(dialog->font());
    dialog->setFixedSize(units.width(100), units.height(64));
    dialog->move(centredIn(workArea(), dialog->size()));

    auto* box = new QLineEdit(QString::fromStdString(settings.aviFrameRateText), dialog);
    setControlId(box, 436);
    box->setGeometry(unitRect(units, 10, 10, 20, 14));
    addLabel(dialog, QStringLiteral("New frame rate"), unitRect(units, 40, 12, 50, 14));
    QPushButton* apply =
        addButton(dialog, QStringLiteral("Apply"), 437, unitRect(units, 10, 30, 30, 14));
    QPushButton* ok = addButton(dialog, QStringLiteral("OK"), 1, unitRect(units, 45, 30, 30, 14));
    // A dialog box's Enter means "OK"; a focused button takes Enter itself.
    apply->setAutoDefault(true);
    ok->setAutoDefault(true);
    ok->setDefault(true);

    QObject::connect(apply, &QPushButton::clicked, dialog, [&settings, box] {
        const FrameRateEntry entry = frameRateEntry(box->text().toStdString());
        settings.aviFrameRate = entry.rate;
        settings.aviFrameRateText = entry.text;
        box->setText(QString::fromStdString(entry.text));
    });
    QObject::connect(ok, &QPushButton::clicked, dialog, &QWidget::close);
    runUntilClosed(dialog);
}

} // namespace nbtv
