#include "widgets/FitText.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>

#include <algorithm>

#include "core/Conversions.h"

namespace nbtv {

namespace {

// Condensing down to this keeps the parent's size; below it the size goes down too, to the
// smallest size, and then the condensing down to the narrowest that still reads as text.
constexpr int mildestStretch = 75;
constexpr int smallestPixels = 9;
constexpr int narrowestStretch = 50;

QStyleOptionButton buttonOption(const QAbstractButton* button) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    option.icon = button->icon();
    option.iconSize = button->iconSize();
    return option;
}

} // namespace

QRect captionRoom(const QWidget* control) {
    QStyle* style = control->style();
    if (const auto* radio = qobject_cast<const QRadioButton*>(control)) {
        const QStyleOptionButton option = buttonOption(radio);
        return style->subElementRect(QStyle::SE_RadioButtonContents, &option, radio);
    }
    if (const auto* box = qobject_cast<const QCheckBox*>(control)) {
        const QStyleOptionButton option = buttonOption(box);
        return style->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
    }
    if (const auto* button = qobject_cast<const QPushButton*>(control)) {
        const QStyleOptionButton option = buttonOption(button);
        const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
        return style->subElementRect(QStyle::SE_PushButtonContents, &option, button)
            .adjusted(margin / 2, 0, -margin / 2, 0);
    }
    if (const auto* label = qobject_cast<const QLabel*>(control)) {
        const int margin = label->margin();
        return label->contentsRect().adjusted(margin, margin, -margin, -margin);
    }
    if (const auto* group = qobject_cast<const QGroupBox*>(control)) {
        // The title may run along the whole top edge, less the frame's corners.
        const int inset = style->pixelMetric(QStyle::PM_LayoutLeftMargin, nullptr, group);
        return group->rect().adjusted(inset, 0, -inset, 0);
    }
    return control->rect();
}

QString caption(const QWidget* control) {
    if (const auto* button = qobject_cast<const QAbstractButton*>(control)) {
        return button->text();
    }
    if (const auto* label = qobject_cast<const QLabel*>(control)) {
        return label->text();
    }
    if (const auto* group = qobject_cast<const QGroupBox*>(control)) {
        return group->title();
    }
    return {};
}

bool captionFits(const QWidget* control, const QFont& font) {
    const QString text = caption(control);
    if (text.isEmpty()) {
        return true;
    }
    const QRect room = captionRoom(control);
    const QFontMetrics metrics(font);
    const auto* label = qobject_cast<const QLabel*>(control);
    if (label != nullptr && label->wordWrap()) {
        const QRect used = metrics.boundingRect(room, Qt::TextWordWrap | label->alignment(), text);
        return used.width() <= room.width() && used.height() <= room.height();
    }
    // A button's mnemonic marker takes no room.
    const QString shown = qobject_cast<const QAbstractButton*>(control) != nullptr
                              ? QString(text).remove(QLatin1Char('&'))
                              : text;
    return metrics.horizontalAdvance(shown) <= room.width() &&
           metrics.height() <= room.height() + 2;
}

namespace {

// The widest condensing of `font` in which the caption fits, down to `narrowest`; 0 for none.
int fittingStretch(const QWidget* control, QFont font, int narrowest) {
    font.setStretch(100);
    if (captionFits(control, font)) {
        return 100;
    }
    // A first guess from the widths, then narrower a step at a time.
    const int need = std::max(1, QFontMetrics(font).horizontalAdvance(caption(control)));
    int stretch =
        std::clamp(truncateToInt(100.0 * captionRoom(control).width() / need), narrowest, 99);
    for (font.setStretch(stretch); !captionFits(control, font); font.setStretch(stretch)) {
        if (--stretch < narrowest) {
            return 0;
        }
    }
    return stretch;
}

} // namespace

void fitCaption(QWidget* control) {
    const QFont base =
        control->parentWidget() != nullptr ? control->parentWidget()->font() : control->font();
    QFont font = base;
    // Condensed a little at the parent's size; where that is not enough, smaller as well, down
    // to the smallest size still read at a glance.
    const int basePixels = QFontInfo(base).pixelSize();
    int stretch = fittingStretch(control, font, mildestStretch);
    for (int pixels = basePixels - 1; stretch == 0 && pixels >= smallestPixels; --pixels) {
        font.setPixelSize(pixels);
        stretch = fittingStretch(control, font,
                                 pixels == smallestPixels ? narrowestStretch : mildestStretch);
    }
    if (stretch == 0) {
        stretch = narrowestStretch; // as near as it gets
    }
    if (stretch == 100 && font == base) {
        control->setFont(base);
        return;
    }
    font.setStretch(stretch);
    control->setFont(font);
}

WrappingMenuBar::WrappingMenuBar(QWidget* parent) : QMenuBar(parent) {
    setNativeMenuBar(false);
}

void WrappingMenuBar::wrapTo(int width) {
    // The probe measures each prefix of the menus as one row of a bar alone.
    QMenuBar probe;
    probe.setFont(font());
    QList<QAction*> all = actions();
    if (second_ != nullptr) {
        all += second_->actions();
    }
    qsizetype fitting = 0;
    for (QAction* a : all) {
        probe.addAction(a);
        if (probe.sizeHint().width() > width && fitting > 0) {
            break;
        }
        ++fitting;
    }
    for (qsizetype i = 0; i < all.size(); ++i) {
        QMenuBar* row = i < fitting ? static_cast<QMenuBar*>(this) : nullptr;
        if (row == nullptr) {
            if (second_ == nullptr) {
                second_ = new QMenuBar(this);
                second_->setObjectName(QStringLiteral("secondMenuRow"));
                second_->setNativeMenuBar(false);
            }
            row = second_;
        }
        removeAction(all[i]);
        if (second_ != nullptr) {
            second_->removeAction(all[i]);
        }
        row->addAction(all[i]);
    }
    if (second_ != nullptr) {
        second_->setVisible(!second_->actions().isEmpty());
    }
    updateGeometry();
}

int WrappingMenuBar::firstRowHeight() const {
    return QMenuBar::heightForWidth(width());
}

int WrappingMenuBar::secondRowHeight() const {
    if (second_ == nullptr || second_->actions().isEmpty()) {
        return 0;
    }
    return second_->sizeHint().height();
}

QSize WrappingMenuBar::sizeHint() const {
    return QMenuBar::sizeHint() + QSize(0, secondRowHeight());
}

QSize WrappingMenuBar::minimumSizeHint() const {
    return QMenuBar::minimumSizeHint() + QSize(0, secondRowHeight());
}

int WrappingMenuBar::heightForWidth(int width) const {
    return QMenuBar::heightForWidth(width) + secondRowHeight();
}

void WrappingMenuBar::resizeEvent(QResizeEvent* event) {
    QMenuBar::resizeEvent(event);
    if (second_ != nullptr) {
        const int first = QMenuBar::heightForWidth(event->size().width());
        second_->setGeometry(0, first, event->size().width(), secondRowHeight());
    }
}

} // namespace nbtv
