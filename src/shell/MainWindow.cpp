#include "shell/MainWindow.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTimer>

#include "core/FineTuneScale.h"
#include "core/NumberText.h"
#include "core/PressTarget.h"
#include "dialogs/CompressionDialog.h"
#include "dialogs/Dialogs.h"
#include "display/Display.h"
#include "enhance/EnhancedReceiver.h"
#include "session/ReceiveSession.h"
#include "shell/DesktopTools.h"
#include "shell/TerminationSignals.h"
#include "widgets/Controls.h"
#include "widgets/FitText.h"
#include "widgets/Trackbar.h"
#include "widgets/Warning.h"

namespace nbtv {

namespace {

// The client area: controls sit at their client-pixel positions in it, and every left-button
// press in it (the drawing areas let presses through) goes to the window's click handling.
class ClientArea : public QWidget {
  public:
    ClientArea(MainWindow& window) : QWidget(&window), window_(window) {}

  protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) {
            const QPoint at = event->position().toPoint();
            window_.onLeftButtonDown(at.x(), at.y());
        }
    }

  private:
    MainWindow& window_;
};

const QString noDevice = QStringLiteral("No suitable device found");
const QString colourGuessText =
    QString::fromUtf8("colours: a guess \u2014 Rotate colours if they look wrong");

} // namespace

MainWindow::MainWindow(const ReceiverProfile& profile, std::unique_ptr<WaveIn> source,
                       QWidget* parent)
    : QMainWindow(parent), profile_(profile), session_(profile), receiver_(session_.receiver()),
      tuner_(session_.tuner()),
      source_(std::move(source)), dialogs_{receiver_.settings(), profile_,
                                           [this] { return capture_->listDevices(); },
                                           [this] { restartCapture(); }} {
    setObjectName("mainWindow");
    setWindowTitle(QString::fromStdString(profile.title));
    QIcon icon;
    for (const char* file : {":/icons/nbtv-16.png", ":/icons/nbtv-32.png", ":/icons/nbtv.svg"}) {
        icon.addFile(QString::fromLatin1(file));
    }
    setWindowIcon(icon);

    client_ = new ClientArea(*this);
    client_->setObjectName("clientArea");
    setCentralWidget(client_);
    createControls();
    auto* bar = new WrappingMenuBar(this);
    setMenuBar(bar);
    createMenus();
    bar->wrapTo(profile.clientWidth);

    // The client area measures the profile's size without the menu bar; the menu bar then
    // takes its height from it. A second row of menus adds its height to the window's, so the
    // client area below it keeps the size it has under one row.
    const int secondRow = bar->secondRow() != nullptr ? bar->secondRow()->sizeHint().height() : 0;
    resize(profile.clientWidth, profile.clientHeight + secondRow);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(profile.clientWidth / 2, profile.clientHeight / 2));
    }

    SoundCapture::BlockHandlers handlers;
    handlers.analyse = [this](std::span<const std::int16_t> block) {
        session_.analyseBlock(block);
    };
    handlers.rest = [this] { finishBlock(); };
    capture_ = std::make_unique<SoundCapture>(receiver_.settings(), *source_, handlers);

    AviRecorder::View view;
    view.setStatus = [this](const QString& text) { setStatus(text); };
    view.recordingChanged = [this] { showRecordButton(); };
    view.pictureImage = [this] { return pictureView_->image(); };
    recorder_ = std::make_unique<AviRecorder>(receiver_.settings(), profile_, view, this);
    // A recording that ends before its first frame leaves no file behind.
    frameFile_.setRemoveEmptyFile(true);
    connect(capture_.get(), &SoundCapture::deviceLost, this, &MainWindow::onDeviceLost);
    connect(capture_.get(), &SoundCapture::deviceReturned, this, &MainWindow::onDeviceReturned);

    enhanced_ = std::make_unique<EnhancedWorker>(profile_);
    session_.setEnhancedPath(enhanced_.get());
    connect(enhanced_.get(), &EnhancedWorker::pictureReady, this,
            [this](const EnhancedPicture& picture) { session_.enhancedPictureReady(picture); });
    session_.setPictureListener([this](const SessionPicture& picture) { showPicture(picture); });

    audio_ = std::make_unique<AudioRecording>(profile_.sampleRate);
    audio_->setFailureHandler([this](const std::string& error) {
        showAudioRecording();
        showWarning(this, "Error", QString::fromStdString(error));
    });
    session_.addInputTap(audio_.get());

    terminationSignals_ = new TerminationSignals(this);
    connect(terminationSignals_, &TerminationSignals::received, this,
            &MainWindow::onTerminationSignal);
}

MainWindow::~MainWindow() {
    shutdown();
    bandView_.reset();
    session_.removeInputTap(audio_.get());
}

void MainWindow::createControls() {
    for (const ControlLayout& c : profile_.controls) {
        QWidget* w = nullptr;
        const QString text = QString::fromStdString(c.text);
        switch (c.kind) {
        case ControlKind::DrawingArea: {
            auto* view = new SurfaceView(c.id, c.width, c.height, client_);
            if (c.id == ids::pictureView) {
                pictureView_ = view;
            } else if (c.id == ids::pilotScope) {
                pilotScope_ = view;
            } else if (c.id == ids::monitorStrip) {
                monitorStrip_ = view;
            }
            w = view;
            break;
        }
        case ControlKind::ToggleButton: {
            auto* button = new QPushButton(text, client_);
            button->setCheckable(true);
            button->setFocusPolicy(Qt::NoFocus);
            connect(button, &QPushButton::clicked, this,
                    [this, id = c.id] { dispatchCommand(id); });
            w = button;
            break;
        }
        case ControlKind::SunkenLabel: {
            auto* label = new QLabel(text, client_);
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            w = label;
            break;
        }
        case ControlKind::GroupBox:
            w = new QGroupBox(text, client_);
            break;
        case ControlKind::RadioButton: {
            auto* radio = new RadioButton(text, client_);
            radio->setFocusPolicy(Qt::NoFocus);
            connect(radio, &QRadioButton::clicked, this,
                    [this, id = c.id] { dispatchCommand(id); });
            w = radio;
            break;
        }
        case ControlKind::CheckBox: {
            auto* box = new CheckBox(text, client_);
            box->setFocusPolicy(Qt::NoFocus);
            connect(box, &QCheckBox::clicked, this, [this, id = c.id] { dispatchCommand(id); });
            w = box;
            break;
        }
        case ControlKind::Slider: {
            auto* slider = new Trackbar(Qt::Horizontal, client_);
            slider->setRange(0, fineTuneScale::sliderMaximum);
            slider->setValue(fineTuneScale::sliderCentre);
            slider->setSingleStep(1);
            slider->setPageStep(fineTuneScale::sliderMaximum / 5); // a trackbar's page: a fifth
            connect(slider, &Trackbar::scrolled, this, &MainWindow::onFineTuneScrolled);
            w = slider;
            break;
        }
        case ControlKind::Label:
            w = new QLabel(text, client_);
            break;
        }
        setControlId(w, c.id);
        w->setGeometry(c.x, c.y, c.width, c.height);
        if (c.id == ids::statusLabel) {
            qobject_cast<QLabel*>(w)->setWordWrap(true); // a long status goes on to its second line
        }
        fitCaption(w);
        controls_.push_back(w);
    }
    if (auto* colour = qobject_cast<QRadioButton*>(control(ids::colour))) {
        colour->setChecked(true);
    }
}

void MainWindow::addMenuEntries(QMenu* menu, const std::vector<MenuEntry>& entries) {
    for (const MenuEntry& entry : entries) {
        if (entry.text.empty()) {
            menu->addSeparator();
        } else if (!entry.items.empty()) {
            addMenuEntries(menu->addMenu(QString::fromStdString(entry.text)), entry.items);
        } else {
            QAction* a = menu->addAction(QString::fromStdString(entry.text));
            a->setData(entry.id);
            a->setCheckable(entry.checkable);
            connect(a, &QAction::triggered, this, [this, id = entry.id] { dispatchCommand(id); });
            actions_.push_back(a);
        }
    }
}

void MainWindow::createMenus() {
    QMenuBar* bar = menuBar();
    std::vector<MenuEntry> entries = profile_.menuBar;
    const auto help = std::find_if(entries.begin(), entries.end(),
                                   [](const MenuEntry& e) { return e.text == "&Help"; });
    entries.insert(help, enhanceMenu());
    for (const MenuEntry& entry : entries) {
        if (entry.items.empty()) {
            QAction* a = bar->addAction(QString::fromStdString(entry.text));
            a->setData(entry.id);
            connect(a, &QAction::triggered, this, [this, id = entry.id] { dispatchCommand(id); });
            actions_.push_back(a);
        } else {
            addMenuEntries(bar->addMenu(QString::fromStdString(entry.text)), entry.items);
        }
    }
}

std::vector<QWidget*> MainWindow::controls(int id) const {
    std::vector<QWidget*> found;
    for (QWidget* w : controls_) {
        if (controlId(w) == id) {
            found.push_back(w);
        }
    }
    return found;
}

QWidget* MainWindow::control(int id) const {
    for (QWidget* w : controls_) {
        if (controlId(w) == id) {
            return w;
        }
    }
    return nullptr;
}

QAction* MainWindow::action(int id) const {
    for (QAction* a : actions_) {
        if (a->data().toInt() == id) {
            return a;
        }
    }
    return nullptr;
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!initialised_) {
        initialised_ = true;
        // The window's initialisation event: handled as soon as the window is up.
        QTimer::singleShot(0, this, &MainWindow::initialiseReceiver);
    }
}

void MainWindow::initialiseReceiver() {
    ReceiverSettings& s = receiver_.settings();
    resetReceiverSettings(s, profile_);
    // The controls follow the settings just reset (a restart after a device change or a
    // calibration must not leave them showing other values).
    if (auto* filter = qobject_cast<QCheckBox*>(control(ids::noiseFilter))) {
        filter->setChecked(false);
        filter->setText("Noise filter (light)");
        fitCaption(filter);
    }
    if (auto* big = qobject_cast<QCheckBox*>(control(ids::bigPicture))) {
        big->setChecked(false);
    }
    if (auto* colour = qobject_cast<QRadioButton*>(control(ids::colour))) {
        colour->setChecked(true);
    }
    if (auto* slider = qobject_cast<QSlider*>(control(ids::fineTuneSlider))) {
        slider->setValue(fineTuneScale::sliderCentre);
    }
    for (int id : {ids::positiveReadout, ids::negativeReadout}) {
        if (auto* readout = qobject_cast<QLabel*>(control(id))) {
            readout->clear();
        }
    }
    lossReported_ = false;
    session_.restartEnhanced(); // a restarted capture is a new signal
    if (!capture_->open()) {
        const QString reason = source_->lastError();
        showWarning(this, "WARNING", reason.isEmpty() ? noDevice : reason);
    }
}

void MainWindow::finishBlock() {
    const BlockOutcome outcome = session_.completeBlock();
    ++blocksHandled_;
    applyTuning(outcome.tuning);
    showColourGuess();
    if (outcome.frameCompleted) {
        ++framesCompleted_;
    }
    drawPilotScope(*pilotScope_, receiver_.pictures(), profile_, receiver_.settings());
    showMonitorStrip(*monitorStrip_, receiver_.monitorSurface());
    emit blockHandled(outcome.frameCompleted);
}

// The picture that counts, ordinary or enhanced: into the view and into the recording.
void MainWindow::showPicture(const SessionPicture& picture) {
    if (shutDown_ || (picture.enhanced && !picture.complete)) {
        return; // an enhanced picture with white gaps helps no one watching
    }
    drawPicture(*pictureView_, picture.surface, profile_, receiver_.settings().bigPicture);
    if (picture.enhanced) {
        ++enhancedShown_;
    }
    writeFrame(picture.surface);
}

void MainWindow::onDeviceLost() {
    if (lossReported_ || shutDown_) {
        return;
    }
    lossReported_ = true;
    showWarning(this, "WARNING", noDevice);
}

// Capture resumed after a loss. The status line says so, unless it shows a recording's count
// (which stays after the recording ends); a later loss warns again.
void MainWindow::onDeviceReturned(const QString& name) {
    lossReported_ = false;
    if (shutDown_ || statusShowsRecording_) {
        return;
    }
    if (auto* label = qobject_cast<QLabel*>(control(ids::statusLabel))) {
        label->setText(QStringLiteral("Sound input back: ") + name);
        fitCaption(label);
    }
}

// Handled in the event loop, also inside a dialog's: the program ends as by "&Exit".
void MainWindow::onTerminationSignal(int signalNumber) {
    if (shutDown_) {
        return;
    }
    emit terminationRequested(signalNumber);
    close();
}

void MainWindow::onLeftButtonDown(int x, int y) {
    const PressTarget target = pressTarget(profile_, x, y);
    if (target.kind == PressTarget::Kind::PilotScope) {
        const int position = receiver_.pressPilotScope(target.position);
        if (auto* slider = qobject_cast<QSlider*>(control(ids::fineTuneSlider))) {
            const QSignalBlocker quiet(slider);
            slider->setValue(position);
        }
        const QString text = QString::fromStdString(numberText(receiver_.settings().fineTuneHz, 7));
        if (profile_.fineTuneClickInCaption) {
            setWindowTitle(text);
        } else {
            setFineTuneReadouts(text + "Hz");
        }
    } else if (target.kind == PressTarget::Kind::Monitor &&
               receiver_.pressMonitor(target.position)) {
        client_->setCursor(Qt::CrossCursor);
    }
}

void MainWindow::onFineTuneScrolled(int code, int position) {
    int p = 0;
    if (code == Trackbar::ThumbTrack) {
        p = position;
    } else if (code == Trackbar::ThumbPosition || code == Trackbar::EndTrack) {
        return;
    } else {
        p = qobject_cast<QSlider*>(control(ids::fineTuneSlider))->value();
    }
    ReceiverSettings& s = receiver_.settings();
    moveFineTuneSlider(s, profile_, p);
    setFineTuneReadouts(profile_.sliderReadout == FineTuneReadoutForm::Plain
                            ? QString::fromStdString(numberText(s.fineTuneHz, 7)) + "Hz"
                            : fineTuneReadout(s.fineTuneHz));
}

void MainWindow::setFineTuneReadouts(const QString& text) {
    auto* positive = qobject_cast<QLabel*>(control(ids::positiveReadout));
    auto* negative = qobject_cast<QLabel*>(control(ids::negativeReadout));
    const bool notNegative = receiver_.settings().fineTuneHz >= 0.0f;
    if (positive != nullptr && negative != nullptr) {
        positive->setText(notNegative ? text : QString());
        negative->setText(notNegative ? QString() : text);
    }
}

QString fineTuneReadout(float fineTuneHz) {
    // At least two integer digits and two decimals: 05.53, -00.07, 00.00.
    const double v = static_cast<double>(fineTuneHz);
    return QString::asprintf(v < 0.0 ? "%06.2f Hz" : "%05.2f Hz", v);
}

void MainWindow::selectColourMode(int mode) {
    receiver_.settings().colourMode = mode;
    if (auto* colour = qobject_cast<QRadioButton*>(control(ids::colour))) {
        colour->setChecked(mode == 1);
    }
    if (auto* mono = qobject_cast<QRadioButton*>(control(ids::mono))) {
        mono->setChecked(mode == 0);
    }
}

void MainWindow::dispatchCommand(int id) {
    ReceiverSettings& s = receiver_.settings();
    auto setFilter = [&](NoiseFilterWeights weights, const char* caption) {
        s.noiseFilterWeights = weights;
        if (auto* box = qobject_cast<QCheckBox*>(control(ids::noiseFilter))) {
            box->setText(caption);
            fitCaption(box);
        }
    };
    switch (id) {
    case ids::noiseFilter:
        s.noiseFilterOn = -s.noiseFilterOn;
        break;
    case ids::lightFilter:
        setFilter(lightFilter, "Noise filter (light)");
        break;
    case ids::mediumFilter:
        setFilter(mediumFilter, "Noise filter (medium)");
        break;
    case ids::heavyFilter:
        setFilter(heavyFilter, "Noise filter (heavy)");
        break;
    case ids::colour:
        selectColourMode(1);
        break;
    case ids::mono:
        selectColourMode(0);
        break;
    case ids::recordButton:
        toggleRecording();
        break;
    case ids::bigPicture:
        s.bigPicture = s.bigPicture == 0 ? 1 : 0;
        break;
    case ids::frameRate:
        runFrameRateDialog(dialogs_);
        break;
    case ids::audioProperties:
        startDesktopTool(DesktopTool::SoundSettings);
        break;
    case ids::adjustInput:
        startDesktopTool(DesktopTool::RecordingLevels);
        break;
    case ids::help:
        showHelp(this, profile_);
        break;
    case ids::about:
        showAbout(this, profile_);
        break;
    case ids::exitCommand:
        close();
        break;
    case ids::enhancedPicture:
        toggleEnhancedPicture();
        break;
    case ids::automaticFineTune:
    case ids::automaticCalibration:
        toggleAutomatic(id);
        break;
    case ids::findFramePhase:
        tuner_.findFramePhase();
        showColourGuess();
        break;
    case ids::rotateColours:
        AutoTuner::rotateColours(receiver_.tunerAccess());
        tuner_.coloursChosen();
        showColourGuess();
        break;
    case ids::selectSoundcard:
        runSoundCardDialog(dialogs_);
        break;
    case ids::calibrateSoundcard:
        runCalibrationDialog(dialogs_);
        break;
    case ids::pictureAdjust:
        openPictureDialog(dialogs_);
        break;
    case ids::recordAudio:
        toggleAudioRecording();
        break;
    case ids::recordAudioAsWav:
        audio_->setFormat(audio_->format() == AudioFormat::Wav ? AudioFormat::Flac
                                                               : AudioFormat::Wav);
        showAudioRecording();
        break;
    case ids::replayLastMinute:
        replayLastMinute();
        break;
    case ids::saveLastMinute:
        saveLastMinute();
        break;
    case ids::bandView:
        if (!bandView_) {
            bandView_ = std::make_unique<BandView>(session_, [this] { showFineTune(); });
        }
        bandView_->show();
        bandView_->raise();
        break;
    default:
        break;
    }
}

bool MainWindow::startAudioRecording(const QString& path, QString& error) {
    std::string reason;
    const bool ok = audio_->startFile(QFile::encodeName(path).toStdString(), reason);
    error = QString::fromStdString(reason);
    showAudioRecording();
    return ok;
}

void MainWindow::toggleAudioRecording() {
    if (audio_->recording()) {
        audio_->stop();
    } else if (std::string error; !audio_->start(error)) {
        showAudioRecording();
        showWarning(this, "Error", QString::fromStdString(error));
        return;
    }
    showAudioRecording();
}

// The menu's check marks follow the recording and its format.
void MainWindow::showAudioRecording() {
    if (QAction* a = action(ids::recordAudio)) {
        a->setChecked(audio_->recording());
    }
    if (QAction* a = action(ids::recordAudioAsWav)) {
        a->setChecked(audio_->format() == AudioFormat::Wav);
    }
}

// The last minute goes through the whole road again with the settings in use now: the picture
// view and a running recording take its pictures as they take live ones.
int MainWindow::replayLastMinute() {
    const int frames = session_.replayHistory();
    framesCompleted_ += frames;
    showFineTune();
    drawPilotScope(*pilotScope_, receiver_.pictures(), profile_, receiver_.settings());
    showMonitorStrip(*monitorStrip_, receiver_.monitorSurface());
    return frames;
}

void MainWindow::saveLastMinute() {
    std::string name;
    std::string error;
    if (!audio_->save(session_.history().samples(), name, error)) {
        showWarning(this, "Error", QString::fromStdString(error));
        return;
    }
    if (statusShowsRecording_ && receiver_.settings().recording == 1) {
        return; // the status line counts the recording's frames
    }
    if (auto* label = qobject_cast<QLabel*>(control(ids::statusLabel))) {
        label->setText(QStringLiteral("Last minute saved to ") + QString::fromStdString(name));
        fitCaption(label);
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    shutdown();
    QMainWindow::closeEvent(event);
}

void MainWindow::setStatus(const QString& text) {
    statusShowsRecording_ = true;
    if (auto* label = qobject_cast<QLabel*>(control(ids::statusLabel))) {
        if (label->text() != text) {
            label->setText(text);
            fitCaption(label);
        }
    }
    if (statusShowsGuess_) {
        // The recording takes the status line: the guess moves to the menu item.
        statusShowsGuess_ = false;
        if (QAction* a = action(ids::rotateColours)) {
            a->setText(colourGuessText);
        }
    }
}

// When the frame-phase search's colour order is only a guess the window says so, exactly
// "colours: a guess — Rotate colours if they look wrong": on the status line while no
// recording's text holds it, else as the text of the Enhance menu's "Rotate colours" item
// (which it still is). Rotate colours or a new search takes it away.
void MainWindow::showColourGuess() {
    const bool guess = tuner_.colourGuess();
    if (guess == colourGuessShown_ || shutDown_) {
        return;
    }
    colourGuessShown_ = guess;
    auto* label = qobject_cast<QLabel*>(control(ids::statusLabel));
    QAction* item = action(ids::rotateColours);
    if (guess) {
        if (!statusShowsRecording_ && label != nullptr) {
            label->setText(colourGuessText);
            statusShowsGuess_ = true;
        } else if (item != nullptr) {
            item->setText(colourGuessText);
        }
        return;
    }
    if (statusShowsGuess_ && label != nullptr && label->text() == colourGuessText) {
        label->clear();
    }
    statusShowsGuess_ = false;
    if (item != nullptr) {
        item->setText(QStringLiteral("Rotate colours"));
    }
}

// The push-like button shows the recording state: pressed, "Close file", while a recording
// runs; "Record" otherwise, also after a failed start or a write failure that ended it.
void MainWindow::showRecordButton() {
    if (auto* button = qobject_cast<QPushButton*>(control(ids::recordButton))) {
        const bool recording = receiver_.settings().recording == 1;
        button->setText(recordButtonCaption(recording));
        button->setChecked(recording);
    }
}

// The enhanced picture takes the ordinary one's place in the view and in recordings; it follows
// a little later, when the fit has passed the frame's end.
void MainWindow::toggleEnhancedPicture() {
    session_.setEnhanced(!session_.enhanced());
    if (QAction* a = action(ids::enhancedPicture)) {
        a->setChecked(session_.enhanced());
    }
}

void MainWindow::toggleAutomatic(int id) {
    const bool fine = id == ids::automaticFineTune;
    const bool on = !(fine ? tuner_.fineTune() : tuner_.calibration());
    if (fine) {
        tuner_.setFineTune(on);
    } else {
        tuner_.setCalibration(on);
    }
    if (QAction* a = action(id)) {
        a->setChecked(on);
    }
}

// The slider, its readouts and the pilot-scope marker show a fine tune as after a user's move.
void MainWindow::showFineTune() {
    const ReceiverSettings& s = receiver_.settings();
    if (auto* slider = qobject_cast<QSlider*>(control(ids::fineTuneSlider))) {
        const QSignalBlocker quiet(slider);
        slider->setValue(fineTuneControls(s.fineTuneHz, profile_).sliderPosition);
    }
    setFineTuneReadouts(profile_.sliderReadout == FineTuneReadoutForm::Plain
                            ? QString::fromStdString(numberText(s.fineTuneHz, 7)) + "Hz"
                            : fineTuneReadout(s.fineTuneHz));
}

void MainWindow::applyTuning(const AutoTuneChange& change) {
    if (change.fineTune) {
        showFineTune();
    }
    if (change.blockLength) {
        // The new block length takes a capture restart, as "Set calibration" does; the restart
        // resets the fine tune, which the automatic one then puts back.
        const float fineTune = receiver_.settings().fineTuneHz;
        const bool keep = tuner_.fineTune();
        if (receiver_.settings().recording == 1) {
            toggleRecording();
        }
        capture_->restartCapture([this, fineTune, keep] {
            initialiseReceiver();
            if (keep) {
                writeFineTune(receiver_.settings(), profile_, fineTune);
                showFineTune();
            }
        });
    }
}

void MainWindow::writeFrame(const PixelSurface& surface) {
    if (profile_.recording == RecordingKind::Avi) {
        recorder_->writeFrame();
        return;
    }
    ReceiverSettings& s = receiver_.settings();
    if (s.recording != 1) {
        return;
    }
    std::string error;
    if (!frameFile_.append(surface, error)) {
        // The writer is idle again with every whole record kept.
        s.recording = 0;
        s.framesSaved = 0;
        showRecordButton();
        showWarning(this, "Error", QString::fromStdString(error));
        return;
    }
    s.framesSaved = frameFile_.framesSaved();
    setStatus(QString::fromStdString(frameFileStatus(s.framesSaved, frameFile_.fileName())));
}

void MainWindow::toggleRecording() {
    ReceiverSettings& s = receiver_.settings();
    if (profile_.recording == RecordingKind::FrameFile) {
        if (s.recording == 0) {
            std::string error;
            if (frameFile_.start(profile_.frameFilePrefix, error)) {
                setStatus(QString::fromStdString(frameFileStatus(0, frameFile_.fileName())));
                s.framesSaved = 0;
                s.recording = 1;
                showRecordButton();
            } else {
                showRecordButton();
                showWarning(this, "Error", QString::fromStdString(error));
            }
        } else {
            frameFile_.stop();
            s.recording = 0;
            s.framesSaved = 0;
            showRecordButton();
        }
        return;
    }
    if (s.recording == 0) {
        recorder_->startRecording();
        if (s.streamReady == 1) {
            setRecordingState("Recording: ");
        }
    } else {
        recorder_->stopRecording();
        s.framesSaved = 0;
        setRecordingState("Finished:");
    }
    showRecordButton();
}

void MainWindow::setRecordingState(const QString& text) {
    if (!profile_.recordingStateLabel) {
        return;
    }
    // Placed at the first recording, left of the status label; keeps its last text.
    auto* label = qobject_cast<QLabel*>(control(ids::recordingState));
    if (label == nullptr) {
        label = new QLabel(client_);
        setControlId(label, ids::recordingState);
        label->setGeometry(5, 398, 85, 14);
        label->show();
        controls_.push_back(label);
    }
    label->setText(text);
    fitCaption(label);
}

void MainWindow::restartCapture() {
    // A recording open now is finished before the restart resets the recorder's state.
    if (receiver_.settings().recording == 1) {
        toggleRecording();
    }
    capture_->restartCapture([this] { initialiseReceiver(); });
}

void MainWindow::shutdown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    // Leaving while recording finishes the file first, so every frame written so far stays; a
    // recording still being set up (its compression dialog open) ends without a file.
    if (recorder_ && receiver_.settings().recording == 1) {
        toggleRecording();
    } else if (recorder_ && profile_.recording == RecordingKind::Avi) {
        recorder_->stopRecording();
    }
    if (capture_) {
        capture_->shutdown();
    }
    if (audio_) {
        audio_->stop(); // the file gets its length and checksum
    }
    if (bandView_) {
        bandView_->close();
    }
    // The device dialogs end with the window; so do the picture and frame-rate dialogs, which
    // would otherwise write into the settings of a window that is gone.
    for (QWidget* w : QApplication::topLevelWidgets()) {
        const QString name = w->objectName();
        if (name == soundCardDialogName || name == calibrationDialogName ||
            name == pictureDialogName || name == frameRateDialogName ||
            name == compressionDialogName) {
            w->close();
        }
    }
}

} // namespace nbtv
