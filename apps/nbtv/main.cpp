// nbtv: the command-line tool of the receivers. Encodes test signals with the transmitter and
// decodes recorded audio with the receive core into pictures.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"

namespace {

const char* const usage =
    "usage: nbtv encode --program NAME [--mono] [--card bars|ramp|detail|IMAGE] [--frames N]\n"
    "                   [--snr DB] [--freq-offset HZ] [--rate-error F] [--seed N] -o OUT.wav\n"
    "       nbtv decode --program NAME [--mono] [--fine-tune HZ] [--rate-offset F]\n"
    "                   [--noise-filter off|light|medium|heavy] [--brightness N] [--contrast N]\n"
    "                   [--phase-click X] [--surface] [--frame-file FILE] -o DIR IN\n"
    "programs: nbtv48, nbtv96, nbtv96rggb (colour only: no --mono)\n"
    "--frame-file also writes every picture surface as a record of a .tv frame file\n";

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(usage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "encode") {
            return nbtv::cli::runEncode(args);
        }
        if (command == "decode") {
            return nbtv::cli::runDecode(args);
        }
        throw nbtv::cli::UsageError("unknown command '" + command + "' (encode or decode)");
    } catch (const nbtv::cli::UsageError& e) {
        std::fprintf(stderr, "nbtv: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nbtv: %s\n", e.what());
        return 1;
    }
}
