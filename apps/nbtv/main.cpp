// nbtv: the command-line tool of the receivers. Encodes test signals with the transmitter and
// decodes recorded audio with the receive core into pictures.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "ConvertInfo.h"
#include "io/AtomicFile.h"

namespace {

const char* const toolUsage =
    "usage: nbtv COMMAND [OPTIONS]\n"
    "       nbtv --help | --version\n"
    "commands:\n"
    "  encode   a test card, image, video or image sequence through the transmitter into WAV\n"
    "  transmit the same live to a sound-card output, keying the transmitter through Hamlib\n"
    "  decode   recorded audio through the receiver into PNG pictures, an AVI or a .tv file\n"
    "  convert  a .tv frame file to PNG pictures or an AVI, and back\n"
    "  info     what an audio, AVI or .tv file holds and which program it suits\n"
    "programs: nbtv48, nbtv96, nbtv96rggb (colour only: no --mono)\n"
    "'nbtv COMMAND --help' describes a command's options.\n"
    "exit status: 0 done, 1 the work failed, 2 the command line is wrong\n";

const char* const convertUsage =
    "usage: nbtv convert [--codec NAME] [--fps N] [--overwrite] IN OUT\n"
    "  IN.tv  -> OUT folder (picture-0001.png ...) or OUT.avi (--codec, default raw; --fps "
    "1..1000,\n"
    "            default 10)\n"
    "  folder of PNGs, or any video -> OUT.tv\n"
    "A truncated or damaged record is reported and the whole ones before it converted.\n"
    "OUT must not exist (a folder: must hold no pictures) unless --overwrite (-y) is given;\n"
    "a folder is made when missing.\n";

const char* const infoUsage =
    "usage: nbtv info FILE|-\n"
    "  audio: format, rate, channels, length and which program's pilots it carries\n"
    "  AVI: codec, size, the frames really there, rate; .tv: records, and whether the last\n"
    "  is truncated or damaged. FILE may be a pipe; - reads standard input.\n";

const char* const encodeUsage =
    "usage: nbtv encode --program NAME [--mono] [--card CARD] [--frames N]\n"
    "                   [--snr DB] [--freq-offset HZ] [--rate-error F] [--seed N]\n"
    "                   [--fading two-path|flat [--delay MS] [--doppler HZ]]\n"
    "                   [--drift HZ_PER_MIN] [--wobble HZ [--wobble-period S]]\n"
    "                   [--crashes PER_S] [--interferer HZ[:DB] [--keyed]]\n"
    "                   [--passband LO-HI] [--agc] [--overwrite] -o OUT.wav\n"
    "Writes 16-bit mono PCM WAV at the program's sample rate.\n"
    "  --program NAME      nbtv48, nbtv96 or nbtv96rggb\n"
    "  --mono              one mono field a frame (not nbtv96rggb)\n"
    "  --card CARD         a test card (bars, ramp, detail; default bars), an image file, a\n"
    "                      video file or numbered images (frame-%03d.png): one picture a frame\n"
    "  --frames N          frames to send, 1 to 10000 (default 4 for a still, else every\n"
    "                      picture once; a sequence repeats from its start)\n"
    "  --snr DB            add white noise at this signal-to-noise ratio\n"
    "  --freq-offset HZ    move every tone, as a mistuned radio does\n"
    "  --rate-error F      record as a sound card running at (1 - F) times its rate\n"
    "  --seed N            seed of every random step (default 1)\n"
    "  --fading KIND       the path fades: two-path (a second path --delay MS later, default\n"
    "                      1) or flat; --doppler HZ is the fading's spread (default 0.5)\n"
    "  --drift HZ_PER_MIN  the radio's oscillator drifts, moving every tone steadily\n"
    "  --wobble HZ         and swings by HZ over --wobble-period S (default 10)\n"
    "  --crashes PER_S     static crashes at random moments, PER_S a second on average\n"
    "  --interferer HZ[:DB] a carrier at HZ, DB relative to the signal (default 0);\n"
    "                      --keyed sends it as Morse\n"
    "  --passband LO-HI    a receiver's audio filter from LO to HI Hz (e.g. 300-2700), after\n"
    "                      the noise\n"
    "  --agc               a receiver's automatic gain control, after the passband\n"
    "  -o OUT.wav          the WAV file to write (- for standard output)\n"
    "  --overwrite, -y     replace OUT.wav if it exists (never the card, a folder or a device)\n";

const char* const transmitUsage =
    "usage: nbtv transmit --program NAME [--mono] [--card CARD] [--frames N | --seconds S]\n"
    "                     [--device NAME | --loopback] [--level DB] [--snr DB]\n"
    "                     [--freq-offset HZ] [--rate-error F] [--seed N]\n"
    "                     [--rig MODEL [--rig-port PORT]] [--ptt-port DEVICE --ptt RTS|DTR]\n"
    "                     [--ptt-lead MS] [-o SENT.wav [--overwrite]] [--quiet]\n"
    "       nbtv transmit --list-devices\n"
    "Sends live, in real time, until the card ends, the limit is reached or Ctrl-C.\n"
    "  --program NAME      nbtv48, nbtv96 or nbtv96rggb\n"
    "  --mono              one mono field a frame (not nbtv96rggb)\n"
    "  --card CARD         bars, ramp, detail (default bars), an image, a video, numbered\n"
    "                      images (frame-%03d.png), camera or /dev/videoN, or screen\n"
    "  --frames N          frames to send; --seconds S: seconds to send (a video repeats)\n"
    "  --device NAME       the output (name or description from --list-devices; default:\n"
    "                      the sound server's default output)\n"
    "  --loopback          send to the output nbtv_loopback, made when missing, whose sound\n"
    "                      a receiver records from the input \"NBTV loopback\"\n"
    "  --level DB          the peak below full scale, -60 to 0 (default -3)\n"
    "  --snr, --freq-offset, --rate-error, --seed   impairments, as for encode\n"
    "  --rig MODEL         key the transmitter by CAT through Hamlib (rigctl --list; 1: dummy)\n"
    "  --rig-port PORT     the rig's serial device or host:port\n"
    "  --ptt-port DEVICE   key by a serial line instead: --ptt RTS or --ptt DTR\n"
    "  --ptt-lead MS       wait after keying before the first sample (default 0)\n"
    "  -o SENT.wav         record what was sent (written at the end, also after Ctrl-C)\n"
    "  --overwrite, -y     replace SENT.wav if it exists\n"
    "The transmitter is released after the last sample has been played, and on any error\n"
    "or signal. The last line counts frames, seconds and underruns.\n";

const char* const decodeUsage =
    "usage: nbtv decode --program NAME [OPTIONS] [-o DIR] [--avi FILE] [--tv FILE] IN\n"
    "Receives IN (any audio file FFmpeg reads, a pipe, or - for standard input) into pictures.\n"
    "  --program NAME      nbtv48, nbtv96 or nbtv96rggb\n"
    "  -o DIR              every picture as DIR/picture-0001.png, ... (DIR is made if missing)\n"
    "  --surface           PNG pictures of the whole 288 x 219 picture surface\n"
    "  --avi FILE          every picture surface into an AVI file, as the programs record it\n"
    "  --codec NAME        the AVI codec (default raw): raw, ffv1, huffyuv, utvideo, png,\n"
    "                      zmbv, mjpeg, mpeg4, h264-422, h264-444\n"
    "  --fps N             the AVI frame rate, 1 to 1000 (default 10)\n"
    "  --tv FILE           every picture surface as a record of a frame file\n"
    "                      (--frame-file FILE is the same)\n"
    "  --raw               IN is raw 16-bit mono little-endian at the program's rate\n"
    "  --quiet             no progress line and no summary\n"
    "  --mono              receive one mono field (not nbtv96rggb)\n"
    "  --fine-tune HZ      fine tuning (-3 undoes --freq-offset 3)\n"
    "  --rate-offset F     sound card rate calibration (undoes --rate-error F)\n"
    "  --noise-filter off|light|medium|heavy\n"
    "  --brightness N      0 to 256 (default 128)\n"
    "  --contrast N        0 to 256 (default 128)\n"
    "  --phase-click X     press the monitor strip at x = X before the first block (the\n"
    "                      frame phase), as in the window\n"
    "  --scope-click Y     press the pilot scope at y = Y (the fine tune of that row)\n"
    "  --enhanced          the enhanced picture: every carrier fitted per column on air\n"
    "  --denoise           with --enhanced, shrink the noise along each field and\n"
    "                      make a still picture of the last four frames\n"
    "  --auto              tune, calibrate and find the frame phase automatically; the\n"
    "                      last line says what was found\n"
    "  --overwrite, -y     replace existing outputs (never IN, a folder or a device)\n"
    "At least one of -o, --avi and --tv is needed. A progress line shows on a terminal.\n"
    "Outputs appear only when whole; an interrupted decode leaves no partial file.\n";

bool asksForHelp(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") {
            return false;
        }
        if (arg == "--help" || arg == "-h") {
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(toolUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    if (args[0] == "--version") {
        std::printf("nbtv %s\n", NBTV_VERSION);
        return 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    // Ctrl-C, a terminal closed or a kill: no temporary file is left behind.
    nbtv::removeTemporariesOnSignals();
    try {
        if (command == "encode") {
            if (asksForHelp(args)) {
                std::fputs(encodeUsage, stdout);
                return 0;
            }
            return nbtv::cli::runEncode(args);
        }
        if (command == "transmit") {
            if (asksForHelp(args)) {
                std::fputs(transmitUsage, stdout);
                return 0;
            }
            return nbtv::cli::runTransmit(args);
        }
        if (command == "decode") {
            if (asksForHelp(args)) {
                std::fputs(decodeUsage, stdout);
                return 0;
            }
            return nbtv::cli::runDecode(args);
        }
        if (command == "convert") {
            if (asksForHelp(args)) {
                std::fputs(convertUsage, stdout);
                return 0;
            }
            return nbtv::cli::runConvert(args);
        }
        if (command == "info") {
            if (asksForHelp(args)) {
                std::fputs(infoUsage, stdout);
                return 0;
            }
            return nbtv::cli::runInfo(args);
        }
        throw nbtv::cli::UsageError(
            "unknown command '" + command +
            "' (encode, transmit, decode, convert or info; nbtv --help lists them)");
    } catch (const nbtv::cli::UsageError& e) {
        std::fprintf(stderr, "nbtv: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nbtv: %s\n", e.what());
        return 1;
    }
}
