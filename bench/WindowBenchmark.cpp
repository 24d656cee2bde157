// The whole handling of one block in the nbtv48 window, drawing included (offscreen), and the
// resident memory of the running window.

#include <benchmark/benchmark.h>

#include <QApplication>

#include <fstream>
#include <string>

#include "profiles/ReceiverProfile.h"
#include "shell/BandView.h"
#include "shell/MainWindow.h"
#include "shell/ProgramEntry.h"
#include "support/ScriptedWaveIn.h"
#include "tx/TestCard.h"
#include "tx/Transmitter.h"

namespace {

double residentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0.0;
}

void BM_WindowBlock(benchmark::State& state) {
    const nbtv::ReceiverProfile& profile = nbtv::nbtv48Profile();
    nbtv::TransmitOptions options;
    options.frames = 2;
    options.channel.snrDb = 30.0;
    const auto samples =
        nbtv::transmit(profile, nbtv::makeTestCard(nbtv::TestCardKind::Bars, 48, 48), options);
    nbtv::MainWindow window(
        profile, std::make_unique<nbtv::test::ScriptedWaveIn>(std::vector<std::int16_t>{}, true));
    window.show();
    QCoreApplication::processEvents();
    const std::size_t blocks = samples.size() / 768;
    std::size_t block = 0;
    for (auto _ : state) {
        window.receiver().analyseBlock(std::span(samples).subspan(block * 768, 768));
        window.finishBlock();
        block = (block + 1) % blocks;
    }
    state.counters["rss_MB"] = residentMegabytes();
}
BENCHMARK(BM_WindowBlock)->Unit(benchmark::kMicrosecond);

// What the band view adds to a block: its spectrum, a waterfall row (at the fastest scroll
// speed) and the repaint of both areas. The target is under 1 ms a block.
void BM_BandViewBlock(benchmark::State& state) {
    const nbtv::ReceiverProfile& profile = nbtv::nbtv48Profile();
    nbtv::TransmitOptions options;
    options.frames = 1;
    options.channel.snrDb = 30.0;
    const auto samples =
        nbtv::transmit(profile, nbtv::makeTestCard(nbtv::TestCardKind::Bars, 48, 48), options);
    nbtv::ReceiveSession session(profile);
    nbtv::BandView view(session, {});
    view.show();
    QCoreApplication::processEvents();
    const std::size_t blocks = samples.size() / 768;
    std::size_t block = 0;
    for (auto _ : state) {
        view.input(std::span(samples).subspan(block * 768, 768));
        view.repaint();
        block = (block + 1) % blocks;
    }
}
BENCHMARK(BM_BandViewBlock)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    nbtv::registerResources();
    nbtv::applyDesktopLook(app);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
