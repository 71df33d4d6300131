// Slider change to new output in the compare window: the time from a LiveEncoder request to the
// output (and then its measured look) arriving on the GUI thread, against the bare engine call
// the request runs (CompressBuffer at the same level) in the same process.
//   bench_live [PHOTO...]   (default: the 12 MP corpus photos)

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>

#include "app/live_encoder.h"
#include "engine/compress.h"
#include "engine/file_io.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::vector<std::string> photos;
    for (int i = 1; i < argc; ++i)
        photos.emplace_back(argv[i]);
    if (photos.empty())
        for (const char* name : {"42_IndexError.jpg", "Xiaomi_Mi_9T_KeyError.jpg"})
            photos.push_back(std::string(TRAMBLIX_CORPUS_DIR) + "/photos/" + name);

    std::printf("%-28s %5s %9s %9s %9s %6s\n", "photo", "level", "engine s", "shown s", "look s", "ratio");
    for (const std::string& photo : photos) {
        std::vector<std::uint8_t> input;
        if (tramblix::ReadWholeFile(photo, input) != tramblix::ReadStatus::Ok) {
            std::fprintf(stderr, "cannot read %s\n", photo.c_str());
            return 1;
        }
        LiveEncoder live;
        QEventLoop loop;
        Clock::time_point start;
        double shown = 0, measured = 0;
        QObject::connect(&live, &LiveEncoder::encoded, [&] { shown = Seconds(start); });
        QObject::connect(&live, &LiveEncoder::measured, [&] {
            measured = Seconds(start);
            loop.quit();
        });
        live.Request(QString::fromStdString(photo), {.level = 5});  // warm-up: the file read once
        loop.exec();
        for (int level : {6, 7, 8}) {
            std::vector<std::uint8_t> output;
            const Clock::time_point bare = Clock::now();
            tramblix::CompressBuffer(input, static_cast<tramblix::CompressionLevel>(level), output, 0);
            const double engine = Seconds(bare);
            start = Clock::now();
            live.Request(QString::fromStdString(photo), {.level = level});
            loop.exec();
            const std::string name = photo.substr(photo.find_last_of('/') + 1);
            std::printf("%-28s %5d %9.3f %9.3f %9.3f %6.2f\n", name.c_str(), level, engine, shown, measured,
                        shown / engine);
        }
    }
    return 0;
}
