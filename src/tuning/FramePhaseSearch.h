#pragma once
// Finds where the fields of a frame begin and which field is which colour, from the line values
// of whole frames folded over the frame period (so the fold is the mean picture of every field,
// side by side, in the order they go on air).
//
// The boundary. Where one field ends and the next begins the left edge of one picture meets the
// right edge of the next: every line steps there, at exactly one column, whatever it shows. A
// vertical edge of the scene also steps many lines, but it slants and bends, stops part way up
// and leaves lines with a larger step a pixel or two away. So each line votes for the column of
// its largest step nearby (its step there over the largest within a few pixels, lines whose
// steps stay in the noise voting little), and the column most lines vote for wins. A scene's
// horizontal structures also carry on across its vertical edges (the profile down the picture
// changes level there but keeps its shape), while at the seam the profiles either side belong
// to the two edges of the picture: how little they correlate adds to the vote. In colour the
// seam also trades every line's colour for the next field's, a step of the colour (the part of
// the fields' steps that differs between them) that a change of brightness in the scene does
// not make: a robust count of the lines whose colour steps adds to the vote. In nbtv96rggb the
// red/blue field carries two colours on the two carriers of every pair, the green field one
// picture on all: a square wave over the frame that marks the boundary too. The pilots swing a
// whole number of times a field, and our transmitter starts every field as they rise through
// their centre: the swing's phase puts the boundary at one of a few columns (one swing apart,
// five a field in nbtv48), and the picture only has to choose among them. A transmitter that
// places its swing otherwise is learnt from the first picture whose seam stands out on its own.
// The weights were chosen on the training half of the photographs (tests/data/photos);
// bench/FramePhaseStudy.cpp measures them.
//
// The colour order. In nbtv96rggb the square wave tells which field is the red/blue one. Which
// of three fields is red has no cue in the signal: it comes from the colours natural pictures
// have. Each order of the fields gives every pixel a hue; the order under which the hues are the
// most common in photographs (weighted by how coloured the pixel is) wins, and how far it leads
// the next is its confidence. A grey picture gives no lead: its order is a guess, and does not
// matter much either.

#include <array>
#include <optional>
#include <vector>

#include "demod/BlockTypes.h"
#include "profiles/ReceiverProfile.h"

namespace nbtv {

struct ReceiverProfile;

// Which weights a search uses: one field a frame, three colour fields, or the two of nbtv96rggb.
enum FrameKind { monoFrame, rgbFrame, rggbFrame, frameKindCount };

// How the boundary cues add up: the line vote counts 1.
struct BoundaryWeights {
    double colourStep = 0.0;  // the robust count of lines whose colour steps
    double alternation = 0.0; // nbtv96rggb: the pair structure's square wave (0..1)
    double continuity = 0.0;  // how unlike each other the lines' profiles either side are
    double swing = 0.0;       // a column where the pilots' swing puts a field's start
};

// The weights chosen on the training photographs, per frame kind.
BoundaryWeights learnedBoundaryWeights(FrameKind kind);

// Hue bins of the colour prior, and the natural logarithm of each hue's share of the colour in
// the training photographs: bin i holds the hue angles from -pi + 2 pi i / n on.
inline constexpr int hueBins = 36;
const std::array<double, hueBins>& naturalHueLog();
// The bin of the hue of (r, g, b), and its strength (the distance from grey).
int hueBin(double r, double g, double b, double& strength);

// Columns from the pilots' upward zero crossing to the first column of a field, as our
// transmitter sends them (in the search's count of columns, which the discriminator's reference
// sets).
inline constexpr double swingFieldStart = 0.5;
// One swing of the pilots in the search's columns (a third of a 256-sample hop each).
inline constexpr double swingColumns = pilotSwingPeriod * 3.0 / 256.0;

// A boundary that the picture alone puts this far above any other a block away is right (on the
// training photographs it always was): it tells where this transmitter starts its fields against
// the swing.
inline constexpr double clearBoundaryMargin = 0.3;

// A colour order whose score leads the next by less than this is a guess (chosen on the training
// photographs: below it the order was right on 25 of 112 searches, above it on 206 of 208).
inline constexpr double colourGuessMargin = 0.3;

struct FramePhaseResult {
    bool found = false;
    int boundary = 0;   // column phase (modulo the field width) of a field's first column
    int frameStart = 0; // column phase (modulo the frame width) of the frame's first field
    // The boundary's score less the best score a block or more away: how clearly it stands out.
    double boundaryMargin = 0.0;
    // The chosen colour order's score less the next best's; 0 when there is no choice (mono).
    double colourMargin = 0.0;
    // The colour order is a guess (a small margin).
    bool colourGuess = false;
    // The picture alone put the boundary clearly: the columns from the pilots' upward zero
    // crossing to it (modulo one swing), where this transmitter starts its fields.
    std::optional<double> swingOffsetSeen;
};

class FramePhaseSearch {
  public:
    void start(const ReceiverProfile& profile, bool mono);
    // Where the transmitter starts its fields against the pilots' swing (columns after the upward
    // zero crossing); kept by start and clear, as it belongs to the transmitter.
    void setSwingOffset(double columns) { swingOffset_ = columns; }
    double swingOffset() const { return swingOffset_; }
    // Forgets the columns gathered so far (the tuning moved them), keeps searching.
    void clear();
    void stop() { active_ = false; }
    bool active() const { return active_; }
    FrameKind kind() const { return mono_ ? monoFrame : rggb_ ? rggbFrame : rgbFrame; }
    // Whole frames gathered since the start or the last clear.
    double frames() const;

    // The nine columns of a block whose first column is `firstColumn`; columns are counted in
    // time order, columnsPerBlock a block. `shiftBins` moves every tone by that much (values
    // sin(2 pi e) of tones e bins from their bin's centre), as a tune that much higher would
    // have demodulated them.
    void addBlock(const DemodulatedBlock& values, long firstColumn, double shiftBins = 0.0);

    FramePhaseResult result() const { return result(learnedBoundaryWeights(kind())); }
    FramePhaseResult result(const BoundaryWeights& weights) const;

    // The boundary score of every column phase (modulo the field width), as result() weighs it,
    // and its cues, for the study of their weights: the line vote, the colour-step count and
    // the alternation and the continuity, each less its median over the phases (the alternation
    // as it is).
    std::vector<double> boundaryScores() const {
        return boundaryScores(learnedBoundaryWeights(kind()));
    }
    std::vector<double> boundaryScores(const BoundaryWeights& weights) const;
    struct Cues {
        std::vector<double> vote, colourStep, alternation, continuity;
        std::vector<double> swing; // 1 within a column of where the swing puts a field's start
        double swingColumn = 0.0;  // the pilots' upward zero crossing (see pilotSwing)
        double swingStrength = 0.0;
    };
    Cues boundaryCues() const;
    // The colour prior's score of each frame start at a boundary ([h]: the frame starts h fields
    // after the boundary); empty unless three colour fields.
    std::vector<double> colourScores(int boundary) const;
    // The frame start that the alternation gives for a boundary (nbtv96rggb), and its strength.
    int alternationStart(int boundary, double* strength = nullptr) const;
    // The pilots' swing over the fold: the column phase (modulo one swing, in columns) where it
    // rises through zero, and its amplitude over the noise of the fold's means (0: no swing).
    struct Swing {
        double column = 0.0;
        double period = swingColumns;
        double strength = 0.0;
    };
    Swing pilotSwing() const;
    // The swing cue of every column phase of a field of `width` columns: 1 within a column of
    // swing.column + offset + whole swings, else 0; all 0 for a swing too weak to trust.
    static std::vector<double> swingCue(const Swing& swing, double offset, int width);

  private:
    void addColumn(const float* bins, long t, double shiftBins);
    std::vector<double> meanFold() const;
    double noiseVariance() const;
    std::vector<double> alternationSwing(const std::vector<double>& mean) const;

    const ReceiverProfile* profile_ = nullptr;
    bool active_ = false;
    bool mono_ = false;
    bool rggb_ = false;
    int fieldWidth_ = 0;
    int period_ = 0; // frame width in columns
    std::vector<int> bins_;
    std::vector<double> sum_; // the values folded over the frame, [phase * bins + k]
    std::vector<double> squares_;
    std::vector<int> count_;
    std::vector<int> pilots_;
    std::vector<double> pilotSum_; // the pilots' mean value folded, [phase]
    double swingOffset_ = swingFieldStart;
    long columns_ = 0;
};

} // namespace nbtv
