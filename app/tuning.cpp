#include "app/tuning.h"

#include <iterator>

#include <QCoreApplication>

#include "engine/quality_table.h"
#include "engine/target.h"

namespace {

constexpr double kLookDistances[] = {0.0, tramblix::kVisuallyLosslessDistance, tramblix::kHighDistance,
                                     tramblix::kGoodDistance};
constexpr int kLooks = static_cast<int>(std::size(kLookDistances));

}  // namespace

double TargetLookDistance(int index)
{
    return index > 0 && index < kLooks ? kLookDistances[index] : 0.0;
}

int TargetLookIndex(double distance)
{
    for (int index = 1; index < kLooks; ++index)
        if (kLookDistances[index] == distance)
            return index;
    return 0;
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
