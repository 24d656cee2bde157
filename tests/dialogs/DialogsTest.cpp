// The settings dialogs and the help and about windows, driven with real clicks and keys while
// they run their own loops.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <climits>
#include <functional>
#include <utility>
#include <vector>

#include "core/ReceiverSettings.h"
#include "dialogs/DialogRules.h"
#include "dialogs/Dialogs.h"
#include "profiles/ReceiverProfile.h"
#include "widgets/Controls.h"
#include "widgets/DialogUnits.h"
#include "widgets/FitText.h"
#include "widgets/Trackbar.h"
#include "widgets/Warning.h"

// Readable failure messages for the Qt values compared below.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QPoint& p, std::ostream* os) {
    *os << p.x() << ',' << p.y();
}
inline void PrintTo(const QSize& s, std::ostream* os) {
    *os << s.width() << 'x' << s.height();
}
inline void PrintTo(const QRect& r, std::ostream* os) {
    *os << r.x() << ',' << r.y() << ' ' << r.width() << 'x' << r.height();
}

namespace nbtv {
namespace {

// Settings and a context that records restarts and warnings instead of capturing.
struct Fixture {
    ReceiverSettings settings = entrySettings(nbtv48Profile());
    QStringList devices{"Line In", "Microphone", "Stereo Mix"};
    std::vector<int> restartBlockLengths;
    std::vector<QString> warnings;
    WarningFunction previous =
        setWarningFunction([this](QWidget*, const QString& caption, const QString& text) {
            warnings.push_back(caption + "|" + text);
        });
    DialogContext context{settings, nbtv48Profile(), [this] { return devices; },
                          [this] { restartBlockLengths.push_back(settings.blockLength); }};
    ~Fixture() { setWarningFunction(previous); }
};

QWidget* window(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String(name) && w->isVisible()) {
            return w;
        }
    }
    return nullptr;
}

template <class T = QWidget>
T* control(QWidget* parent, int id) {
    for (T* child : parent->findChildren<T*>()) {
        if (controlId(child) == id) {
            return child;
        }
    }
    ADD_FAILURE() << "no control " << id;
    return nullptr;
}

void expectControls(QWidget* parent, std::vector<std::pair<int, QRect>> expected) {
    for (const auto& [id, rect] : expected) {
        if (QWidget* c = control(parent, id)) {
            EXPECT_EQ(c->geometry(), rect) << id;
        }
    }
}

using Step = std::function<void(QWidget*)>;

// Runs `steps` one after the other from the event loop, each on the window `name` (or the
// active modal window), while the code under test runs its own loop. A missing window or a
// watchdog fails the test and closes every window instead of letting it hang.
class Script {
  public:
    Script(const char* name, std::vector<Step> steps) : name_(name), steps_(std::move(steps)) {
        QTimer::singleShot(0, &anchor_, [this] { next(); });
        QTimer::singleShot(60000, &anchor_, [this] { abandon("stayed open"); });
    }
    ~Script() { EXPECT_EQ(done_, steps_.size()) << "steps left"; }

  private:
    void next() {
        QWidget* target = name_ != nullptr ? window(name_) : QApplication::activeModalWidget();
        if (target == nullptr) {
            abandon("is missing");
            return;
        }
        steps_[done_++](target);
        if (done_ < steps_.size()) {
            QTimer::singleShot(0, &anchor_, [this] { next(); });
        }
    }
    void abandon(const char* what) {
        ADD_FAILURE() << (name_ != nullptr ? name_ : "modal window") << ' ' << what << " at step "
                      << done_;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            w->close();
        }
    }
    const char* name_;
    std::vector<Step> steps_;
    std::size_t done_ = 0;
    QObject anchor_;
};

void click(QWidget* parent, int id) {
    if (auto* b = control<QAbstractButton>(parent, id)) {
        QTest::mouseClick(b, Qt::LeftButton);
    }
}
void key(QWidget* parent, int id, Qt::Key k) {
    if (QWidget* c = control(parent, id)) {
        QTest::keyClick(c, k);
    }
}
// Presses on the middle of a slider (its thumb at mid-range) and drags it by `by`.
void drag(QWidget* slider, QPoint by) {
    const QPoint at = slider->rect().center();
    QTest::mousePress(slider, Qt::LeftButton, {}, at);
    QTest::mouseMove(slider, at + by);
    QTest::mouseRelease(slider, Qt::LeftButton, {}, at + by);
}
QPoint centred(const QRect& area, int w, int h) {
    return area.topLeft() + QPoint((area.width() - w) / 2, (area.height() - h) / 2);
}
QRect screen() {
    return QApplication::primaryScreen()->geometry();
}

TEST(SoundCardDialog, ListsDevicesAndAppliesTheSelectionOrMinusOne) {
    Fixture f;
    const Step step = [&](QWidget* d) {
        EXPECT_EQ(d->windowTitle(), "Current soundcard =  0");
        EXPECT_EQ(d->geometry().size(), QSize(210, 114));
        EXPECT_EQ(d->pos(), centred(screen(), 210, 114));
        EXPECT_EQ(d->windowFlags() & (Qt::Tool | Qt::WindowStaysOnTopHint),
                  Qt::Tool | Qt::WindowStaysOnTopHint);
        EXPECT_EQ(d->parentWidget(), nullptr);
        expectControls(d, {{1601, {0, 0, 210, 90}}, {1602, {75, 92, 60, 20}}});
        auto* list = control<QListWidget>(d, 1601);
        ASSERT_TRUE(list && list->count() == 3);
        EXPECT_EQ(list->item(2)->text(), "Stereo Mix");
        click(d, 1602); // nothing selected
        EXPECT_EQ(f.settings.deviceIndex, -1);
        EXPECT_EQ(d->windowTitle(), "New soundcard = -1");
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(list->item(2)).center());
        click(d, 1602);
        EXPECT_EQ(f.settings.deviceIndex, 2);
        EXPECT_EQ(d->windowTitle(), "New soundcard =  2");
    };
    Script script(soundCardDialogName, {step, [](QWidget* d) { d->close(); }});
    runSoundCardDialog(f.context);
    EXPECT_EQ(f.restartBlockLengths.size(), 2u);
    EXPECT_TRUE(f.warnings.empty());
    EXPECT_EQ(window(soundCardDialogName), nullptr);
}

TEST(SoundCardDialog, WarnsOncePerOpeningWithoutDevices) {
    Fixture f;
    f.devices.clear();
    for (std::size_t opening = 1; opening <= 2; ++opening) {
        Script script(soundCardDialogName, {[](QWidget* d) { d->close(); }});
        runSoundCardDialog(f.context);
        ASSERT_EQ(f.warnings.size(), opening);
        EXPECT_EQ(f.warnings.back(), "WARNING|You have no audio input devices!");
    }
}

TEST(SoundCardDialog, LeavesOtherWindowsUsable) {
    Fixture f;
    QPushButton other("Other");
    other.show();
    int clicks = 0;
    QObject::connect(&other, &QPushButton::clicked, [&] { ++clicks; });
    Script script(soundCardDialogName, {[&](QWidget* d) {
                      EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
                      QTest::mouseClick(other.windowHandle(), Qt::LeftButton, {},
                                        other.rect().center());
                      d->close();
                  }});
    runSoundCardDialog(f.context);
    EXPECT_EQ(clicks, 1);
}

TEST(CalibrationDialog, SliderWritesOffsetLiveAndSetsBlockLength) {
    Fixture f;
    const Step opened = [&](QWidget* d) {
        EXPECT_EQ(d->windowTitle(), "Soundcard samplerate offset =  0%");
        EXPECT_EQ(d->geometry().size(), QSize(250, 80));
        EXPECT_EQ(d->pos(), centred(screen(), 250, 80));
        expectControls(d, {{1604, {20, 45, 100, 20}}, {1606, {130, 45, 100, 20}}});
        auto* slider = control<Trackbar>(d, 1605);
        ASSERT_TRUE(slider);
        EXPECT_EQ(slider->parentWidget()->geometry(), QRect(0, 10, 250, 27)); // with its edge
        EXPECT_EQ(slider->value(), 1000);
        click(d, 1604);
        EXPECT_EQ(f.settings.blockLength, 768);
        QTest::mousePress(slider, Qt::LeftButton, {}, slider->rect().center());
        QTest::mouseMove(slider, slider->rect().center() + QPoint(40, 0));
        EXPECT_GT(slider->value(), 1000); // written while the thumb moves
        EXPECT_EQ(f.settings.sampleRateOffset, (slider->value() - 1000) / 50000.0);
        EXPECT_EQ(
            d->windowTitle(),
            QString("Soundcard samplerate offset =  %1%").arg((slider->value() - 1000) / 500.0));
        QTest::mouseRelease(slider, Qt::LeftButton, {}, slider->rect().center());
    };
    const Step ends = [&](QWidget* d) {
        key(d, 1605, Qt::Key_End);
        EXPECT_DOUBLE_EQ(f.settings.sampleRateOffset, 0.02);
        EXPECT_EQ(d->windowTitle(), "Soundcard samplerate offset =  2%");
        click(d, 1604);
        key(d, 1605, Qt::Key_Home);
        EXPECT_DOUBLE_EQ(f.settings.sampleRateOffset, -0.02);
        EXPECT_EQ(d->windowTitle(), "Soundcard samplerate offset = -2%");
        click(d, 1604);
        key(d, 1605, Qt::Key_PageDown);
        d->close(); // the close box keeps the offset
    };
    Script script(calibrationDialogName, {opened, ends});
    runCalibrationDialog(f.context);
    EXPECT_EQ(f.restartBlockLengths, (std::vector<int>{768, 752, 783}));
    EXPECT_DOUBLE_EQ(f.settings.sampleRateOffset, -0.012);
}

TEST(CalibrationDialog, CancelRestoresTheOpeningOffsetButKeepsBlockLength) {
    Fixture f;
    f.settings.sampleRateOffset = sampleRateOffsetAt(1007);
    Script script(calibrationDialogName, {[&](QWidget* d) {
                      EXPECT_EQ(control<Trackbar>(d, 1605)->value(), 1007);
                      key(d, 1605, Qt::Key_End);
                      click(d, 1604);
                      key(d, 1605, Qt::Key_Home);
                      click(d, 1606);
                  }});
    runCalibrationDialog(f.context);
    EXPECT_EQ(f.settings.sampleRateOffset, sampleRateOffsetAt(1007));
    EXPECT_EQ(f.settings.blockLength, 752);
    EXPECT_EQ(window(calibrationDialogName), nullptr);
}

TEST(CalibrationDialog, EveryPositionComesBackWhenReopened) {
    for (int position = 0; position <= 2000; ++position) {
        ASSERT_EQ(calibrationPosition(sampleRateOffsetAt(position)), position);
    }
}

TEST(PictureDialog, SlidersAreInvertedAndDefaultsRestore) {
    Fixture f;
    f.settings.brightness = 100;
    f.settings.contrast = 200;
    const QPointer<QDialog> d = openPictureDialog(f.context);
    ASSERT_TRUE(d && d->isVisible()); // returned at once, open
    EXPECT_EQ(d->objectName(), pictureDialogName);
    EXPECT_EQ(d->windowTitle(), "Picture");
    EXPECT_EQ(d->geometry().size(), QSize(120, 155));
    EXPECT_EQ(d->pos(), QPoint(10, 10));
    EXPECT_FALSE(d->windowIcon().isNull());
    expectControls(d, {{423, {20, 20, 24, 100}},
                       {424, {75, 20, 25, 100}},
                       {1701, {0, 125, 60, 30}},
                       {1, {60, 125, 60, 30}}});
    auto* brightness = control<Trackbar>(d, 423);
    auto* contrast = control<Trackbar>(d, 424);
    ASSERT_TRUE(brightness && contrast);
    EXPECT_EQ(brightness->value(), 156);
    EXPECT_EQ(contrast->value(), 56);
    for (QLabel* label : d->findChildren<QLabel*>()) {
        EXPECT_TRUE(captionFits(label, label->font())) << label->text().toStdString();
    }

    QTest::keyClick(brightness, Qt::Key_Home); // top
    QTest::keyClick(contrast, Qt::Key_End);    // bottom
    EXPECT_EQ(f.settings.brightness, 256);
    EXPECT_EQ(f.settings.contrast, 0);
    QTest::keyClick(brightness, Qt::Key_Down);
    QTest::keyClick(contrast, Qt::Key_PageUp);
    EXPECT_EQ(f.settings.brightness, 255);
    EXPECT_EQ(f.settings.contrast, 51);

    click(d, 1701);
    EXPECT_EQ(f.settings.brightness, 128);
    EXPECT_EQ(f.settings.contrast, 128);
    EXPECT_EQ(contrast->value(), 128);
    drag(brightness, {0, -20}); // up raises
    EXPECT_GT(f.settings.brightness, 128);
    EXPECT_EQ(f.settings.brightness, 256 - brightness->value());

    click(d, 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(d.isNull());
}

TEST(FrameRateDialog, AppliesRoundedRatesOfAtLeastOne) {
    Fixture f;
    const std::vector<std::pair<const char*, int>> cases = {
        {"0", 1},    {"-5", 1},         {"abc", 1},
        {"0.4", 1},  {"25", 25},        {"2.5", 2},
        {"7fps", 7}, {"1e30", INT_MAX}, {"99999999999999999999", INT_MAX}};
    std::vector<Step> steps{[](QWidget* d) {
        const DialogUnits u(d->font());
        EXPECT_EQ(d->geometry().size(), QSize(u.width(100), u.height(64)));
        EXPECT_EQ(d->pos(), centred(QApplication::primaryScreen()->availableGeometry(),
                                    u.width(100), u.height(64)));
        auto units = [&u](int x, int y, int w, int h) {
            return QRect(u.width(x), u.height(y), u.width(w), u.height(h));
        };
        expectControls(d, {{436, units(10, 10, 20, 14)},
                           {437, units(10, 30, 30, 14)},
                           {1, units(45, 30, 30, 14)}});
        EXPECT_EQ(control<QLineEdit>(d, 436)->text(), "10");
    }};
    auto type = [](QWidget* d, const char* text) {
        if (QWidget* box = control(d, 436)) {
            QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier); // typing replaces all
            QTest::keyClicks(box, text);
        }
    };
    for (const auto& [typed, rate] : cases) {
        const QString shown = rate == 1 ? " 1" : typed;
        steps.push_back([&f, type, typed = typed, rate = rate, shown](QWidget* d) {
            type(d, typed);
            click(d, 437);
            EXPECT_EQ(f.settings.aviFrameRate, rate) << typed;
            EXPECT_EQ(QString::fromStdString(f.settings.aviFrameRateText), shown) << typed;
            EXPECT_EQ(control<QLineEdit>(d, 436)->text(), shown) << typed;
        });
    }
    steps.push_back([type](QWidget* d) {
        type(d, "50"); // typed, not applied
        click(d, 1);
    });
    Script script(frameRateDialogName, steps);
    runFrameRateDialog(f.context);
    EXPECT_EQ(f.settings.aviFrameRate, INT_MAX);
    EXPECT_EQ(window(frameRateDialogName), nullptr);
}

TEST(FrameRateDialog, PlainDecimalReading) {
    EXPECT_EQ(plainDecimalValue("  12.5xyz"), 12.5);
    EXPECT_EQ(plainDecimalValue(".5"), 0.5);
    EXPECT_EQ(plainDecimalValue("+7"), 7.0);
    EXPECT_EQ(plainDecimalValue("-3e2x"), -300.0);
    EXPECT_EQ(plainDecimalValue("4e"), 4.0);
    EXPECT_EQ(plainDecimalValue("0x10"), 0.0);
    EXPECT_EQ(plainDecimalValue("inf"), 0.0);
    EXPECT_EQ(plainDecimalValue("."), 0.0);
    EXPECT_EQ(frameRateEntry("1e999").rate, INT_MAX);
    EXPECT_EQ(frameRateEntry("-1e999").rate, 1);
}

struct TextWindow {
    bool help;
    const char* program;
    QColor background;
    QSize size;
    QRect title, body;
    QString titleText;
    QStringList bodyLines;
};

// Opens the window for an owner main window, checks it, and checks it is gone afterwards.
void checkTextWindow(const TextWindow& e) {
    QMainWindow owner;
    owner.menuBar()->addMenu("&Help");
    auto* button = new QPushButton("Owner");
    owner.setCentralWidget(button);
    owner.show();
    int ownerClicks = 0;
    QObject::connect(button, &QPushButton::clicked, [&] { ++ownerClicks; });
    Script script(nullptr, {[&](QWidget* w) {
                      const DialogUnits u(w->font());
                      auto units = [&u](QRect r) {
                          return QRect(u.width(r.x()), u.height(r.y()), u.width(r.width()),
                                       u.height(r.height()));
                      };
                      EXPECT_EQ(w->objectName(), e.help ? helpWindowName : aboutWindowName);
                      EXPECT_EQ(w->windowTitle(), e.help ? "HELP notes" : "About Morvane");
                      EXPECT_EQ(w->parentWidget(), &owner);
                      EXPECT_EQ(w->windowModality(), Qt::WindowModal);
                      EXPECT_EQ(w->geometry().size(), units(QRect(QPoint(), e.size)).size());
                      EXPECT_EQ(w->pos(), button->mapToGlobal(QPoint(0, 0)) +
                                              QPoint(u.width(100), u.height(50)));
                      const QImage image = w->grab().toImage();
                      EXPECT_EQ(image.pixelColor(w->width() - 1, w->height() - 1), e.background);
                      expectControls(w, {{10001, units(e.title)}, {10002, units(e.body)}});
                      auto* title = control<QLabel>(w, 10001);
                      auto* body = control<QLabel>(w, 10002);
                      ASSERT_TRUE(title && body);
                      EXPECT_EQ(title->text(), e.titleText);
                      EXPECT_EQ(body->text().split('\n'), e.bodyLines);
                      EXPECT_TRUE(title->alignment() & Qt::AlignHCenter);
                      EXPECT_EQ(bool(body->alignment() & Qt::AlignHCenter), !e.help);
                      for (const QWidget* x :
                           {w, static_cast<QWidget*>(title), static_cast<QWidget*>(body)}) {
                          EXPECT_EQ(x->palette().color(QPalette::Window), e.background);
                          EXPECT_EQ(x->palette().color(QPalette::WindowText),
                                    QApplication::palette().color(QPalette::WindowText));
                      }
                      const QFont font = title->font();
                      EXPECT_EQ(font.family(), "Arial");
                      EXPECT_EQ(font.pixelSize(), 14 * w->logicalDpiY() / 72);
                      EXPECT_EQ(font.weight(), QFont::Normal);
                      EXPECT_FALSE(font.italic() || font.underline() || font.strikeOut());
                      EXPECT_EQ(body->font(), w->font());
                      // The owner takes no input meanwhile.
                      QTest::mouseClick(owner.windowHandle(), Qt::LeftButton, {},
                                        button->mapTo(&owner, button->rect().center()));
                      w->close();
                  }});
    ReceiverProfile profile = nbtv48Profile();
    profile.name = e.program;
    (e.help ? showHelp : showAbout)(&owner, profile);
    EXPECT_EQ(ownerClicks, 0);
    EXPECT_EQ(owner.findChild<QDialog*>(), nullptr); // deleted, with its title font
}

TEST(HelpWindow, ShowsTheNotesOfEachProgram) {
    const QStringList nbtv48 = programTexts("nbtv48").helpLines;
    ASSERT_EQ(nbtv48.size(), 7);
    EXPECT_EQ(nbtv48[3], "    (one in three chance of getting colours correct by trial and error)");
    EXPECT_EQ(nbtv48[6], "6. Basic picture is 48 x 48 pixels oversampled by a factor of three");
    const QStringList nbtv96 = programTexts("nbtv96").helpLines;
    ASSERT_EQ(nbtv96.size(), 6);
    EXPECT_EQ(nbtv96[2], "3. Click the mouse on the dotted frame line in monitor screen");
    const QStringList rggb = programTexts("nbtv96rggb").helpLines;
    ASSERT_EQ(rggb.size(), 7);
    for (int i = 0; i < 7; ++i) {
        EXPECT_TRUE(rggb[i].startsWith(QString::number(i + 1) + ". ")) << i;
    }
    EXPECT_EQ(rggb[3],
              "4. Click the mouse on the left edge of the \"good\" frame in monitor screen");
    for (const auto& [program, lines] : {std::pair{"nbtv48", nbtv48}, std::pair{"nbtv96", nbtv96},
                                         std::pair{"nbtv96rggb", rggb}}) {
        checkTextWindow({true,
                         program,
                         QColor(255, 255, 223),
                         {270, 115},
                         {0, 5, 270, 15},
                         {5, 20, 260, 90},
                         "Morvane",
                         lines});
    }
}

TEST(AboutWindow, ShowsVersionAndColourLineOfEachProgram) {
    const QColor teal(159, 220, 220);
    const QSize size(150, 85);
    const QRect title(0, 5, 150, 35), body(0, 35, 150, 60);
    checkTextWindow({false,
                     "nbtv48",
                     teal,
                     size,
                     title,
                     body,
                     "Multicarrier RGB colour\nNBTV receiver",
                     {"Version 2.0 Build 12.07.08", "This version:July 2008"}});
    checkTextWindow({false,
                     "nbtv96",
                     teal,
                     size,
                     title,
                     body,
                     "Multicarrier RGB/MONO\nNBTV receiver",
                     {"Version 2.0 Build 12.07.08", "This version:July 2008"}});
    checkTextWindow({false,
                     "nbtv96rggb",
                     teal,
                     size,
                     title,
                     body,
                     "Multicarrier RGGB colour\nNBTV receiver",
                     {"Version 2.0 Build 16.09.07", "This version:September 2007"}});
}

TEST(HelpWindow, TitleFontHeightFollowsTheScreen) {
    EXPECT_EQ(titleFontPixelSize(96), 18);
    EXPECT_EQ(titleFontPixelSize(120), 23);
}

} // namespace
} // namespace nbtv
