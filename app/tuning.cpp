#include "app/tuning.h"

#include <QCoreApplication>

#include "engine/quality_table.h"
#include "engine/target.h"

double TargetLookDistance(int index)
{
    constexpr double kDistances[] = {0.0, tramblix::kVisuallyLosslessDistance, tramblix::kHighDistance,
                                     tramblix::kGoodDistance};
    return index > 0 && index < 4 ? kDistances[index] : 0.0;
}

tramblix::EngineOptions EngineOptionsFor(const Tuning& tuning)
{
    tramblix::EngineOptions options;
    options.encoder = tuning.encoder == 1 ? tramblix::Encoder::Efficient : tramblix::Encoder::Standard;
    options.lossless = tuning.lossless;
    options.stripMetadata = tuning.strip;
    options.keepFileDates = tuning.keepDates;
    if (!options.lossless)
        options.targetDistance = TargetLookDistance(tuning.targetLook);
    return options;
}

QString LevelText(int level)
{
    return QCoreApplication::translate("Tuning", "Level %1 (quality %2)")
        .arg(level)
        .arg(tramblix::QualityForLevel(static_cast<tramblix::CompressionLevel>(level)));
}

QString AiLevelText(int strength)
{
    return strength == 0 ? QCoreApplication::translate("Tuning", "AI level 0 (off)")
                         : QCoreApplication::translate("Tuning", "AI level %1").arg(strength);
}
