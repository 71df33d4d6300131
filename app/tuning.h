#pragma once

#include <QString>

#include "engine/compress.h"

// What an options row (a tab's or the compare window's) asks of the engine: the level, the AI
// level and the options, as a run takes them.
struct Tuning {
    int level = 5;
    int strength = 0;
    tramblix::EngineOptions engine{};
};

// The butteraugli distance of a "Target look" choice (index 0, Off: none, the level decides), and
// back: the choice of a distance, Off for one no choice names.
double TargetLookDistance(int index);
int TargetLookIndex(double distance);

// A level slider's value with the JPEG quality it means: "Level 5 (quality 50)".
QString LevelText(int level);
// An AI level slider's value: "AI level 0 (off)", "AI level 3".
QString AiLevelText(int strength);
